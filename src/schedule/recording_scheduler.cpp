#include "schedule/recording_scheduler.h"

#include <algorithm>
#include <cstring>

#include "output/block_file_writer.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/event_follow.h"
#include "schedule/reservation_match.h"
#include "schedule/scheduled_recording.h"
#include "schedule/schedule_file.h"
#include "schedule/schedule_texts.h"
#include "ts/output_filter.h"

namespace pelkan {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Seconds before its file opens that a reservation is prepared (the tuner set): 30 s before its
// start with the default start margin.
constexpr int64_t kPrepareAhead = 30 - kDefaultMarginBefore;
// A recording that is not cut short runs through the second after its end, as the heartbeat
// comes: it ends at the first tick this many seconds past the end.
constexpr int64_t kEndSlack = 2;
constexpr uint32_t kBlockSize = 0x100000;
// How long (schedule clock seconds) the status bar tells that a recording failed.
constexpr int64_t kFailureShownSeconds = 60;

bool IsByEvent(const ScheduleItem& item) {
  return (item.flags & SI_BY_EVENT) != 0;
}

MjdTime TimeOf(int64_t instant) {
  return MjdTime{static_cast<uint32_t>(instant / 86400), static_cast<uint32_t>(instant % 86400)};
}

using platform::Sjis;

}  // namespace

std::unique_ptr<RecordingWriter> SchedulerHost::CreateWriter() {
  return std::make_unique<BlockFileWriter>(kBlockSize);
}

RecordingScheduler::RecordingScheduler(SchedulerHost* host) : host_(host) {}

RecordingScheduler::~RecordingScheduler() {
  Lock lock(mutex_);
  running_.clear();
  alive_.reset();
}

void RecordingScheduler::ReceivePacket(const uint8_t* data, uint32_t length) {
  Lock lock(mutex_);
  for (const auto& r : running_) r->Write(data, length, pat_programs_);
}

void RecordingScheduler::OnProgramList(const ProgramListEntry* entries, uint32_t count) {
  Lock lock(mutex_);
  pat_programs_.assign(entries, entries + (entries == nullptr ? 0 : count));
}

void RecordingScheduler::OnComponentList(uint16_t service_id, const ComponentEntry* entries, uint32_t count) {
  Lock lock(mutex_);
  std::vector<ComponentEntry>& list = components_[service_id];
  list.assign(entries, entries + (entries == nullptr ? 0 : count));
  for (const auto& r : running_) r->Refilter(components_);
}

void RecordingScheduler::BreakStream() {
  Lock lock(mutex_);
  stream_broken_ = true;
  for (const auto& r : running_) {
    if (r->recording) r->recording->BeginGap();
  }
}

void RecordingScheduler::ResumeStream() {
  Lock lock(mutex_);
  stream_broken_ = false;
  for (const auto& r : running_) {
    if (r->recording) r->recording->EndGap();
  }
}

void RecordingScheduler::OnStreamReset(uint16_t stream_id) {
  Lock lock(mutex_);
  stream_id_ = stream_id;
  components_.clear();
  pat_programs_.clear();
}

void RecordingScheduler::SetNetworkId(uint16_t network_id) {
  Lock lock(mutex_);
  network_id_ = network_id;
}

void RecordingScheduler::PostClock(MjdTime now) {
  {
    Lock lock(mutex_);
    last_clock_ = now;
  }
  std::weak_ptr<int> alive = alive_;
  host_->Post([alive, this, now] {
    if (!alive.expired()) Tick(now);
  });
}

void RecordingScheduler::Tick(MjdTime now) {
  // A tick that arrives while an overlap question is on screen would work on a list whose
  // repetition is still undecided: skip it, the next heartbeat comes soon.
  if (question_pending_.load()) return;
  Advance(now);
  std::string why;
  {
    Lock lock(mutex_);
    why = AwakeReasonLocked(now);
  }
  host_->KeepAwake(why);
}

std::string RecordingScheduler::AwakeReasonLocked(MjdTime now) const {
  auto reason = [](const ScheduleItem& item, const std::string& opened_path) {
    if (IsByEvent(item) && !GetText(item.title).empty()) return platform::SjisToUtf8(GetText(item.title));
    if (!opened_path.empty()) return opened_path;
    const std::optional<std::string> path = BuildOutputPath(item);
    return platform::SjisToUtf8(path ? *path : GetText(item.directory));
  };
  if (!running_.empty()) return reason(running_.front()->item, running_.front()->opened_path);
  const int64_t t = Instant(now);
  for (const ScheduleItem& item : reservations_) {
    // From two minutes before its start, or earlier when its start margin is longer than the usual.
    const int64_t from = std::min(ItemStart(item), ItemRecordStart(item) + kDefaultMarginBefore) - kAwakeAheadSeconds;
    if (HasStart(item) && from <= t && ItemRecordEnd(item) + 1 - t >= 0) {
      return reason(item, std::string());
    }
  }
  return std::string();
}

void RecordingScheduler::Advance(MjdTime now) {
  Outcomes out;
  {
    Lock lock(mutex_);
    if (reservations_.empty() && running_.empty()) return;
    const int64_t t = Instant(now);
    NoteCaptureLocked(now);
    FollowLocked(t);
    EndLocked(t, &out);
    ExpireLocked(t, &out);
    FollowLocked(t);
    StartLocked(now, &out);
    ResolveOneLocked();
    if (spans_generation_ != generation_) FollowLocked(t);  // the list the plan is shown for
    // The windows hear of a plan that the following moved (a programme running over, say).
    std::vector<PlanLine> plan = MakePlan(RequestsLocked());
    const auto same = [](const PlanLine& a, const PlanLine& b) {
      return a.verdict == b.verdict && a.start == b.start && a.end == b.end && a.by == b.by &&
             a.head_by == b.head_by && a.tail_by == b.tail_by;
    };
    if (!std::equal(plan.begin(), plan.end(), last_plan_.begin(), last_plan_.end(), same)) {
      last_plan_ = std::move(plan);
      Changed();
    }
  }
  WriteReports();
  for (const RecordingFailure& f : out.failures) host_->OnRecordingFailed(f);
  for (const FinishedRecording& ended : out.ended) host_->OnReservationEnded(ended);
  for (const ScheduleItem& item : out.repetitions) StoreItem(item, -1);
}

int RecordingScheduler::IndexOfLocked(const ScheduledRecording& r) const {
  for (size_t i = 0; i < reservations_.size(); ++i) {
    if (!IsSameReservation(r.origin, reservations_[i])) continue;
    // Two alike reservations each have their own recording.
    bool taken = false;
    for (const auto& other : running_) {
      if (other.get() == &r) break;
      if (IsSameReservation(other->origin, reservations_[i])) taken = true;
    }
    if (!taken) return static_cast<int>(i);
  }
  return -1;
}

ScheduledRecording* RecordingScheduler::RunningOfLocked(int index) const {
  for (const auto& r : running_) {
    if (IndexOfLocked(*r) == index) return r.get();
  }
  return nullptr;
}

void RecordingScheduler::FollowLocked(int64_t t) {
  spans_.clear();
  spans_.resize(reservations_.size());
  std::map<uint16_t, EventStore::PresentFollowing> pf;
  for (size_t i = 0; i < reservations_.size(); ++i) {
    const ScheduleItem& entry = reservations_[i];
    if (!IsByEvent(entry) || !HasStart(entry)) continue;
    ScheduledRecording* r = RunningOfLocked(static_cast<int>(i));
    ScheduleItem item = r != nullptr ? r->item : entry;
    // Only what is near (or already on air) is followed tick by tick; the rest keeps its told time.
    if (r == nullptr && ItemRecordStart(item) - t > kFollowAhead) continue;
    FollowFacts facts;
    facts.now = t;
    facts.follow_limit = follow_limit_;
    ProgrammeEvent ev{};
    if (host_->LookupProgramme(item.network_id, item.stream_id, item.service_id, item.event_id, &ev)) {
      facts.event = ev;
      if (r != nullptr && TakeOverEvent(&item, ev, false)) {
        r->item.start_day = item.start_day;
        r->item.start_second = item.start_second;
        r->item.duration = item.duration;
        r->item.programme_kind = item.programme_kind;
        r->item.programme_version = item.programme_version;
      }
    }
    auto [it, inserted] = pf.try_emplace(item.service_id);
    if (inserted) it->second = host_->LookupPresentFollowing(item.service_id);
    facts.pf = it->second;
    if (!facts.pf.known && IsOpenEnded(facts.event.value_or(ev)) && r != nullptr) {
      ProgrammeEvent on_air{};
      if (host_->LookupProgrammeAt(item.service_id, TimeOf(t), &on_air)) facts.on_air = on_air;
    }
    FollowState& state = follow_[FollowKey(item)];
    FollowSpan span = FollowEvent(item, &state, facts);
    if (r == nullptr || !r->recording) {
      for (std::string& note : span.notes) state.unreported.emplace_back(t, std::move(note));
    } else {
      for (const auto& [when, note] : state.unreported) r->NoteFollow(when, note);
      state.unreported.clear();
      for (const std::string& note : span.notes) r->NoteFollow(t, note);
      r->NoteProgramme(ItemStart(item), IsOpenEnded(facts.event.value_or(ev)) && !state.off_air_at
                                            ? 0
                                            : state.off_air_at.value_or(ItemEnd(item)),
                       t);
    }
    spans_[i] = std::move(span);
  }
  spans_generation_ = generation_;
}

std::vector<PlanRequest> RecordingScheduler::RequestsLocked() const {
  std::vector<PlanRequest> requests;
  requests.reserve(reservations_.size());
  for (size_t i = 0; i < reservations_.size(); ++i) {
    const ScheduleItem& item = reservations_[i];
    PlanRequest request = PlanRequestOf(item);
    if (i < spans_.size() && spans_[i]) {
      request = PlanRequestOf(item, spans_[i]->start, spans_[i]->end);
      if (spans_[i]->gone && !spans_[i]->given_up) request.known = false;
    }
    // A recording holds the tuner from the moment it began.
    if (const ScheduledRecording* r = RunningOfLocked(static_cast<int>(i)); r != nullptr && r->recording) {
      request.start = std::min(request.start, r->opened_at);
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

void RecordingScheduler::EndLocked(int64_t t, Outcomes* out) {
  const std::vector<PlanLine> lines = MakePlan(RequestsLocked());
  // Ends are decided over the plan of this moment, then carried out (each changes the list).
  struct End {
    ScheduledRecording* r;
    RecordingEnd how;
    std::optional<RecordingFailure> failure;
    std::string reason;
  };
  std::vector<End> ends;
  for (const auto& owned : running_) {
    ScheduledRecording* r = owned.get();
    const int index = IndexOfLocked(*r);
    if (!r->recording) {
      // Still preparing: dropped when its reservation left the list, lost the tuner or its time
      // passed meanwhile (it then expires unrecorded).
      const PlanLine* line = index >= 0 ? &lines[static_cast<size_t>(index)] : nullptr;
      const bool lost = line == nullptr || r->stop_requested || line->verdict == PlanVerdict::kNone ||
                        t - line->end >= kEndSlack;
      if (lost) ends.push_back({r, RecordingEnd::kComplete, std::nullopt, std::string()});
      continue;
    }
    // A recording whose file cannot be written, or whose disk is nearly full, stops at once.
    if (std::optional<RecordingFailure> f = r->CheckStop(*host_)) {
      const RecordingEnd how =
          f->reason == RecordingFailure::Reason::kLowDisk ? RecordingEnd::kLowDisk : RecordingEnd::kWriteFailed;
      ends.push_back({r, how, std::move(f), std::string()});
      continue;
    }
    if (index < 0 || r->stop_requested) {
      ends.push_back({r, RecordingEnd::kComplete, std::nullopt, std::string()});
      continue;
    }
    const size_t i = static_cast<size_t>(index);
    const PlanLine& line = lines[i];
    const std::vector<ScheduleItem>& items = reservations_;
    if (i < spans_.size() && spans_[i] && spans_[i]->given_up) {
      ends.push_back({r, RecordingEnd::kGivenUp, std::nullopt, *spans_[i]->given_up});
    } else if (line.verdict == PlanVerdict::kNone || (line.tail_by >= 0 && t >= line.end)) {
      // Another reservation takes the tuner now.
      const int by = line.verdict == PlanVerdict::kNone ? line.by : line.tail_by;
      std::string winner = by >= 0 ? PlanWinnerName(items[static_cast<size_t>(by)]) : std::string();
      ends.push_back({r, RecordingEnd::kCutByPlan, std::nullopt, platform::BroadcastToUtf8(winner)});
    } else if (t - line.end >= kEndSlack && line.verdict != PlanVerdict::kUnknown) {
      if (r->recording->InGap()) {
        ends.push_back({r, RecordingEnd::kTunerLost, std::nullopt,
                        "the tuner dropped out and was not back by the reservation's end"});
      } else {
        ends.push_back({r, RecordingEnd::kComplete, std::nullopt, std::string()});
      }
    }
  }
  for (End& e : ends) EndRecordingLocked(t, e.r, e.how, std::move(e.failure), e.reason, out);
}

void RecordingScheduler::EndRecordingLocked(int64_t t, ScheduledRecording* r, RecordingEnd how,
                                            std::optional<RecordingFailure> failure, const std::string& reason,
                                            Outcomes* out) {
  const int index = IndexOfLocked(*r);
  const bool recorded = r->recording != nullptr;
  if (recorded && !IsByEvent(r->item)) r->NoteProgramme(ItemStart(r->item), ItemEnd(r->item), t);
  std::optional<RecordingSummary> summary;
  if (recorded) {
    if (!reason.empty() && r->recording->report() != nullptr) r->recording->report()->SetEndReason(reason);
    summary = r->Close(*host_, how, &failure, &unwritten_);
  }
  if (failure) {
    failure->item = r->item;
    SetItemState(&failure->item, ST_ERROR);
    failure->path = r->opened_path;
    failure_status_ =
        Sjis(failure->reason == RecordingFailure::Reason::kLowDisk ? "予約録画エラー(ディスク容量不足)"
                                                                   : "予約録画エラー(書き込み失敗)");
    failure_until_ = t + kFailureShownSeconds;
  }
  const ScheduleItem copy = r->item;
  const bool deleted = r->stop_requested;
  std::erase_if(running_, [r](const auto& owned) { return owned.get() == r; });
  ++generation_;
  if (!recorded) {
    // A preparation only: its reservation waits again (or is gone already).
    if (index >= 0) SetItemState(&reservations_[static_cast<size_t>(index)], ST_WAITING);
    Changed();
    return;
  }
  const uint32_t state =
      failure || how == RecordingEnd::kGivenUp || how == RecordingEnd::kTunerLost ? ST_ERROR : ST_FINISHED;
  if (index >= 0) {
    RetireLocked(state, index, &out->repetitions, std::move(summary));
  } else {
    // Its reservation has left the list meanwhile (removed by another process): still a recording.
    ScheduleItem done = copy;
    SetItemState(&done, state);
    finished_.push_back(done);
    finished_summaries_.push_back(std::move(summary));
    finished_why_.emplace_back();
    Changed();
  }
  std::string why = reason;
  if (how == RecordingEnd::kCutByPlan) why = "cut short for " + (reason.empty() ? "another reservation" : reason);
  if (failure) why = RecordingFailureReason(*failure);
  if (deleted) why = "deleted while it was recorded";
  finished_why_.back() = why;
  out->ended.push_back({finished_.back(), finished_summaries_.back(), std::move(why)});
  if (failure) out->failures.push_back(std::move(*failure));
}

void RecordingScheduler::ExpireLocked(int64_t t, Outcomes* out) {
  for (size_t i = 0; i < reservations_.size();) {
    const ScheduleItem& entry = reservations_[i];
    if (RunningOfLocked(static_cast<int>(i)) != nullptr) {
      ++i;
      continue;
    }
    // An entry that can never be recorded must not stay in the way of the others.
    uint32_t mark = 0;
    if (ItemProblem(entry) != nullptr) {
      mark = ST_ERROR;
    } else if (HasStart(entry)) {
      const std::optional<FollowSpan>& span = i < spans_.size() ? spans_[i] : std::nullopt;
      const int64_t end = span ? span->end : ItemRecordEnd(entry);
      if (span && span->gone) {
        // Gone from the tables before it started: marked as such while its time lasts.
        if (ItemState(entry) != ST_GONE) {
          SetItemState(&reservations_[i], ST_GONE);
          ++generation_;
          Changed();
        }
        if (t - ItemRecordEnd(entry) >= kEndSlack) mark = ST_GONE;
      } else if (span && span->given_up) {
        mark = ST_ERROR;
      } else if (t - end >= kEndSlack) {
        mark = ST_ERROR;  // its time passed without it being recorded
      } else if (ItemState(entry) == ST_GONE) {
        SetItemState(&reservations_[i], ST_WAITING);  // back in the tables
        ++generation_;
        Changed();
      }
    }
    if (mark == 0) {
      ++i;
      continue;
    }
    follow_.erase(FollowKey(entry));
    const std::optional<FollowSpan>& span = i < spans_.size() ? spans_[i] : std::nullopt;
    std::string why = mark == ST_GONE                ? "the programme is gone from the broadcast's tables"
                      : span && span->given_up       ? *span->given_up
                      : ItemProblem(entry) != nullptr ? std::string(ItemProblem(entry))
                                                      : "not recorded in its time";
    RetireLocked(mark, static_cast<int>(i), &out->repetitions);
    finished_why_.back() = why;
    out->ended.push_back({finished_.back(), std::nullopt, std::move(why)});
    if (i < spans_.size()) spans_.erase(spans_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void RecordingScheduler::StartLocked(MjdTime now, Outcomes* out) {
  const int64_t t = Instant(now);
  const std::vector<PlanRequest> requests = RequestsLocked();
  const std::vector<PlanLine> lines = MakePlan(requests);
  for (size_t i = 0; i < reservations_.size(); ++i) {
    const PlanLine& line = lines[i];
    if (line.verdict != PlanVerdict::kWhole && line.verdict != PlanVerdict::kPart) continue;
    ScheduleItem& entry = reservations_[i];
    if (ItemState(entry) == ST_GONE) continue;
    ScheduledRecording* r = RunningOfLocked(static_cast<int>(i));
    if (r != nullptr && r->recording) continue;
    if (line.start - kPrepareAhead - t >= 0) continue;
    // Another stream still being recorded holds the tuner (it ends at its own tick).
    bool tuner_busy = false;
    for (const auto& other : running_) {
      if (other.get() == r || !other->recording) continue;
      const int j = IndexOfLocked(*other);
      if (j >= 0 && !SharesTuner(requests[i], requests[static_cast<size_t>(j)])) tuner_busy = true;
    }
    if (r == nullptr) {
      auto prepared = std::make_unique<ScheduledRecording>();
      prepared->origin = entry;
      prepared->tuning = requests[i].tuning;
      SetItemState(&entry, ST_PREPARING);
      prepared->item = entry;
      r = prepared.get();
      running_.push_back(std::move(prepared));
      ++generation_;
      Changed();
    }
    // The tuner moves ahead of the start only while no other stream is recorded.
    if (!tuner_busy) Tune(entry, r->tuning);
    // The file opens at the first tick after the start of its span (5 s before the programme with
    // the default margin).
    if (tuner_busy || line.start - t >= 0) continue;
    Tune(entry, r->tuning);
    if (entry.flags & SI_SERVICE_LIMIT) r->Limit({ServiceIdOfText(GetText(entry.service_id_text))}, components_);
    r->output_path = BuildOutputPath(entry);
    r->opened_at = t;
    if (std::optional<RecordingFailure> f = r->Open(*host_, entry, now)) {
      // The user hears why, and the reservation ends in the finished list as an error.
      failure_status_ = Sjis("予約録画エラー(ファイル作成失敗)");
      failure_until_ = t + kFailureShownSeconds;
      std::erase_if(running_, [r](const auto& owned) { return owned.get() == r; });
      RetireLocked(ST_ERROR, static_cast<int>(i), &out->repetitions);
      finished_why_.back() = RecordingFailureReason(*f);
      out->ended.push_back({finished_.back(), std::nullopt, finished_why_.back(), true});
      out->failures.push_back(std::move(*f));
      return;  // the list changed: the others start at the next tick
    }
    // A tuner away at the start: the recording waits for it, in a gap from its first byte.
    if (stream_broken_) r->recording->BeginGap();
    SetItemState(&entry, ST_RECORDING);
    r->item.flags = entry.flags;
    if (line.head_lost > 0 && line.head_by >= 0) {
      r->NoteFollow(t, "started late: the tuner was held by " +
                           platform::BroadcastToUtf8(PlanWinnerName(reservations_[static_cast<size_t>(line.head_by)])));
    }
    if (!IsByEvent(entry)) r->NoteProgramme(ItemStart(entry), ItemEnd(entry), t);
    ++generation_;
    Changed();
  }
  // Date-time recordings note where their programme ends as they pass it.
  for (const auto& owned : running_) {
    if (owned->recording && !IsByEvent(owned->item)) {
      owned->NoteProgramme(ItemStart(owned->item), ItemEnd(owned->item), t);
    }
  }
}

void RecordingScheduler::Tune(const ScheduleItem& entry, const std::string& tuning) {
  if (tuning.empty() || (tuned_ && *tuned_ == tuning)) return;
  const uint32_t caps = host_->DeviceCapabilities();
  if ((entry.flags & SI_CHANNEL_VALUE) && (caps & 1)) host_->SetChannel(entry.channel_value);
  if ((entry.flags & SI_CHANNEL_STRING) && (caps & 2)) host_->SendString(GetText(entry.channel_string));
  tuned_ = tuning;
}

std::string RecordingScheduler::FollowKey(const ScheduleItem& item) {
  return std::to_string(item.network_id) + ":" + std::to_string(item.stream_id) + ":" +
         std::to_string(item.service_id) + ":" + std::to_string(item.event_id);
}

void RecordingScheduler::ResolveOneLocked() {
  for (size_t i = 0; i < reservations_.size(); ++i) {
    ScheduleItem entry = reservations_[i];
    if (!IsByEvent(entry) || RunningOfLocked(static_cast<int>(i)) != nullptr) continue;
    ProgrammeEvent ev{};
    if (!host_->LookupProgramme(entry.network_id, entry.stream_id, entry.service_id, entry.event_id, &ev) ||
        !TakeOverEvent(&entry, ev, true))
      continue;
    // A known event only moves its own entry: no overlap question.
    StoreLocked(entry, static_cast<int>(i));
    return;
  }
}

bool RecordingScheduler::IsActiveLocked(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= reservations_.size()) return false;
  const ScheduledRecording* r = RunningOfLocked(index);
  if (r == nullptr) return false;
  const uint32_t state = ItemState(reservations_[static_cast<size_t>(index)]);
  return state == ST_PREPARING || state == ST_RECORDING;
}

bool RecordingScheduler::FindOverlapLocked(const ScheduleItem& item, int skip) const {
  if (!(item.flags & SI_BY_TIME)) return false;
  for (size_t i = 0; i < reservations_.size(); ++i) {
    if (static_cast<int>(i) == skip) continue;
    const ScheduleItem& e = reservations_[i];
    if (!HasStart(e)) continue;
    if (ItemsOverlap(item, e)) return true;
  }
  return false;
}

void RecordingScheduler::StoreLocked(const ScheduleItem& item, int index) {
  if (index < 0) {
    reservations_.push_back(item);
  } else {
    reservations_[static_cast<size_t>(index)] = item;
  }
  std::stable_sort(reservations_.begin(), reservations_.end(), CompareItems);
  ++generation_;
  Changed();
}

bool RecordingScheduler::RetireLocked(uint32_t mark, int index, std::vector<ScheduleItem>* repetitions,
                                      std::optional<RecordingSummary> summary) {
  if (index < 0 || static_cast<size_t>(index) >= reservations_.size()) return false;
  if (IsActiveLocked(index)) return false;
  ScheduleItem copy = reservations_[static_cast<size_t>(index)];
  const uint32_t bits = mark == SI_DELETED ? SI_DELETED : (mark & 0x7F) << 24;
  copy.flags = (copy.flags & kItemStateClearMask) | bits;
  if (mark != SI_DELETED) {
    finished_.push_back(copy);
    finished_summaries_.push_back(std::move(summary));
    finished_why_.emplace_back();
  }
  reservations_.erase(reservations_.begin() + index);
  ++generation_;
  int64_t step = 0;
  if (copy.flags & SI_DAILY) {
    step = 86400;
  } else if (copy.flags & SI_WEEKLY) {
    step = 7 * 86400;
  }
  if (step != 0) {
    copy.flags &= kItemStateClearMask;
    MjdTime start{copy.start_day, copy.start_second};
    AddSeconds(&start, step);
    copy.start_day = start.date;
    copy.start_second = start.seconds;
    repetitions->push_back(copy);
  }
  Changed();
  return true;
}

bool RecordingScheduler::Ask() {
  question_pending_.store(true);
  const bool yes = host_->ConfirmOverlap();
  question_pending_.store(false);
  return yes;
}

void RecordingScheduler::Changed() {
  std::weak_ptr<int> alive = alive_;
  SchedulerHost* host = host_;
  host_->Post([alive, host] {
    if (!alive.expired()) host->OnScheduleChanged();
  });
}

std::string RecordingScheduler::GetScheduleStatus() {
  Lock lock(mutex_);
  if (!running_.empty()) {
    // Several recordings of one stream: their bytes together, the free space of the first.
    uint64_t bytes = 0;
    const Recording* first = nullptr;
    for (const auto& r : running_) {
      if (!r->recording) continue;
      bytes += r->recording->BytesWritten();
      if (first == nullptr) first = r->recording.get();
    }
    if (first != nullptr) return schedule_status::Recording(bytes, first->FreeSpace());
    return schedule_status::Preparing();
  }
  if (!failure_status_.empty() && Instant(last_clock_) < failure_until_) return failure_status_;
  if (reservations_.empty() || last_clock_.date == 0) return std::string();
  const ScheduleItem& first = reservations_[0];
  if (!HasStart(first)) return schedule_status::WaitingForEvent();
  return schedule_status::UntilStart(ItemStart(first) - Instant(last_clock_));
}

void RecordingScheduler::SetDefaultDirectory(std::string_view dir) {
  Lock lock(mutex_);
  default_directory_.assign(dir.substr(0, std::min(dir.size(), kPathSize - 1)));
}

std::vector<PlanLine> RecordingScheduler::Plan() {
  return PlannedReservations().lines;
}

RecordingScheduler::PlannedList RecordingScheduler::PlannedReservations() {
  Lock lock(mutex_);
  // The spans followed at the last tick, when the list has not been re-sorted since.
  if (spans_.size() != reservations_.size() || spans_generation_ != generation_) spans_.clear();
  PlannedList out;
  out.items = reservations_;
  out.requests = RequestsLocked();
  out.lines = MakePlan(out.requests);
  return out;
}

void RecordingScheduler::SetDefaultMargins(uint16_t before, uint16_t after) {
  Lock lock(mutex_);
  default_margin_before_ = std::min(before, kMaxMarginSeconds);
  default_margin_after_ = std::min(after, kMaxMarginSeconds);
}

std::pair<uint16_t, uint16_t> RecordingScheduler::DefaultMargins() {
  Lock lock(mutex_);
  return {default_margin_before_, default_margin_after_};
}

void RecordingScheduler::SetFollowLimit(uint32_t seconds) {
  Lock lock(mutex_);
  follow_limit_ = std::min(seconds, kMaxRecordSeconds);
}

std::string RecordingScheduler::DefaultDirectory() {
  Lock lock(mutex_);
  return default_directory_;
}

void RecordingScheduler::LoadSchedule(const std::string& path) {
  Lock lock(mutex_);
  std::optional<std::vector<ScheduleItem>> list = file_.Load(path, &load_warnings_);
  if (!list) return;
  reservations_ = std::move(*list);
  ++generation_;
  Changed();
}

bool RecordingScheduler::ScheduleFileUnreadable() {
  Lock lock(mutex_);
  return file_.unreadable();
}

bool RecordingScheduler::SaveSchedule(const std::string& path) {
  {
    Lock lock(mutex_);
    // Another file: taken as the base of the merge, so that it ends up holding this list.
    if (!path.empty() && path != file_.path()) file_.Rebase(path);
    if (file_.path().empty()) return false;
  }
  return SyncSchedule(10000) == SyncResult::kDone;
}

bool RecordingScheduler::LockScheduleFile(uint32_t wait_ms) {
  std::string path;
  {
    Lock lock(mutex_);
    if (file_.locked()) return true;
    path = file_.path();
  }
  if (path.empty()) return false;
  auto held = platform::FileLock::Acquire(path, wait_ms);
  if (!held) return false;
  Lock lock(mutex_);
  file_.Hold(std::move(held));
  return true;
}

void RecordingScheduler::UnlockScheduleFile() {
  std::unique_ptr<platform::FileLock> held;
  Lock lock(mutex_);
  held = file_.Release();
}

RecordingScheduler::SyncResult RecordingScheduler::SyncSchedule(uint32_t wait_ms) {
  ReservationFile::Snapshot base;
  std::vector<ScheduleItem> ours;
  uint64_t generation;
  bool have_lock;
  {
    Lock lock(mutex_);
    if (file_.path().empty()) return SyncResult::kDone;
    base = file_.snapshot();
    ours = reservations_;
    generation = generation_;
    have_lock = file_.locked();
  }
  ReservationFile::Outcome out = ReservationFile::Merge(base, ours, have_lock, wait_ms);
  const std::string& path = base.path;
  if (out.kept_aside && out.kept_aside->empty()) {
    bool tell;
    {
      Lock lock(mutex_);
      tell = file_.FirstAsideFailure();
    }
    if (tell) host_->OnScheduleFileKeptAside(path, std::string());
    return out.result;
  }
  if (out.merged) {
    Lock lock(mutex_);
    if (path == file_.path()) {
      file_.Synced(path, out);
      std::vector<ScheduleItem> merged = std::move(*out.merged);
      if (generation_ != generation) {
        // The list changed during the file work: that change is kept on top of the merge.
        merged = MergeSchedule(ours, reservations_, merged);
        std::stable_sort(merged.begin(), merged.end(), CompareItems);
      }
      if (FormatSchedule(merged) != FormatSchedule(reservations_) || merged.size() != reservations_.size()) {
        ApplyMergedLocked(std::move(merged));
      }
    }
  }
  if (out.kept_aside) host_->OnScheduleFileKeptAside(path, *out.kept_aside);
  return out.result;
}

void RecordingScheduler::ApplyMergedLocked(std::vector<ScheduleItem> merged) {
  reservations_ = std::move(merged);
  ++generation_;
  // A recording whose reservation another process removed ends at the next tick, as a deletion;
  // one still preparing is dropped then (nothing recorded yet).
  Changed();
}

int RecordingScheduler::CheckOverlap(const ScheduleItem& item, int skip) {
  bool overlap;
  {
    Lock lock(mutex_);
    overlap = FindOverlapLocked(item, skip);
  }
  return !overlap || Ask() ? 1 : 0;
}

int RecordingScheduler::StoreItem(const ScheduleItem& item, int index) {
  for (;;) {
    uint64_t generation;
    {
      Lock lock(mutex_);
      if (index < -1 || (index >= 0 && static_cast<size_t>(index) >= reservations_.size())) return 0;
      if (!FindOverlapLocked(item, index)) {
        StoreLocked(item, index);
        return 1;
      }
      generation = generation_;
    }
    // The question waits for the user without the lock: the processing thread keeps recording.
    if (!Ask()) return 0;
    Lock lock(mutex_);
    if (generation_ == generation) {
      StoreLocked(item, index);
      return 1;
    }
    // The list changed while the question was open: what the user agreed to may no longer hold.
  }
}

int RecordingScheduler::RetireItem(uint32_t mark, int index) {
  std::vector<ScheduleItem> repetitions;
  {
    Lock lock(mutex_);
    if (!RetireLocked(mark, index, &repetitions)) return 0;
  }
  for (const ScheduleItem& item : repetitions) StoreItem(item, -1);
  return 1;
}

bool RecordingScheduler::IsActiveItem(int index) {
  Lock lock(mutex_);
  return IsActiveLocked(index);
}

int RecordingScheduler::DeleteItem(int index, bool keep_series) {
  std::vector<ScheduleItem> repetitions;
  {
    Lock lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= reservations_.size()) return 0;
    if (ScheduledRecording* r = RunningOfLocked(index)) {
      if (r->recording) {
        // Ends at the next tick and goes to the finished list.
        r->stop_requested = true;
        return 1;
      }
      // Still preparing: nothing recorded yet, so the preparation is simply cancelled.
      std::erase_if(running_, [r](const auto& owned) { return owned.get() == r; });
    }
    if (!RetireLocked(SI_DELETED, index, &repetitions)) return 0;
  }
  if (keep_series) {
    for (const ScheduleItem& item : repetitions) StoreItem(item, -1);
  }
  return 1;
}

int RecordingScheduler::FindItem(const ScheduleItem& item) {
  Lock lock(mutex_);
  return FindReservation(reservations_, item);
}

int RecordingScheduler::ReplaceItem(const ScheduleItem& original, const ScheduleItem& edited) {
  for (;;) {
    uint64_t generation;
    {
      Lock lock(mutex_);
      const int index = FindReservation(reservations_, original);
      if (index < 0 || IsActiveLocked(index)) return -1;
      if (!FindOverlapLocked(edited, index)) {
        StoreLocked(edited, index);
        return 1;
      }
      generation = generation_;
    }
    if (!Ask()) return 0;
    Lock lock(mutex_);
    if (generation_ == generation) {
      StoreLocked(edited, FindReservation(reservations_, original));
      return 1;
    }
  }
}

void RecordingScheduler::StopRecording() {
  std::vector<RecordingFailure> failures;
  {
    Lock lock(mutex_);
    if (running_.empty()) return;
    for (const auto& r : running_) {
      const int index = IndexOfLocked(*r);
      // The rest of the file is written now; the user hears of a failure there too.
      std::optional<RecordingFailure> failure;
      r->Close(*host_, RecordingEnd::kCaptureEnded, &failure, &unwritten_);
      if (index >= 0) SetItemState(&reservations_[static_cast<size_t>(index)], ST_WAITING);
      if (failure) failures.push_back(std::move(*failure));
    }
    running_.clear();
    ++generation_;
    Changed();
  }
  WriteReports();
  for (const RecordingFailure& f : failures) host_->OnRecordingFailed(f);
}

void RecordingScheduler::NoteCaptureLocked(MjdTime now) {
  std::vector<uint16_t> services;
  for (const auto& entry : components_) services.push_back(entry.first);
  for (const auto& r : running_) {
    if (!r->recording) continue;
    r->recording->NoteServices(
      services, [this](uint16_t service) { return platform::BroadcastToUtf8(host_->ServiceName(service)); },
      [this, now](uint16_t service) -> std::optional<std::string> {
        ProgrammeEvent ev{};
        if (!host_->LookupProgrammeAt(service, now, &ev)) return std::nullopt;
          return platform::BroadcastToUtf8(std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
        });
  }
}

void RecordingScheduler::WriteReports() {
  std::vector<std::unique_ptr<Recording>> ended;
  {
    Lock lock(mutex_);
    ended.swap(unwritten_);
  }
  for (const auto& recording : ended) {
    const std::string report = recording->ReportPath();
    if (recording->WriteReport() || report.empty()) continue;
    // A report that could not be written is not named as if it were there.
    Lock lock(mutex_);
    for (std::optional<RecordingSummary>& summary : finished_summaries_) {
      if (summary && summary->report_path == report) summary->report_path.clear();
    }
  }
}

void RecordingScheduler::ClearFinished() {
  Lock lock(mutex_);
  finished_.clear();
  finished_summaries_.clear();
  finished_why_.clear();
  Changed();
}

std::vector<ScheduleItem> RecordingScheduler::Reservations() {
  Lock lock(mutex_);
  return reservations_;
}

std::vector<std::string> RecordingScheduler::LoadWarnings() {
  Lock lock(mutex_);
  return load_warnings_;
}

std::vector<ScheduleItem> RecordingScheduler::Finished() {
  Lock lock(mutex_);
  return finished_;
}

std::vector<FinishedRecording> RecordingScheduler::FinishedRecordings() {
  Lock lock(mutex_);
  std::vector<FinishedRecording> out;
  out.reserve(finished_.size());
  for (size_t i = 0; i < finished_.size(); ++i) out.push_back({finished_[i], finished_summaries_[i], finished_why_[i]});
  return out;
}

std::optional<ScheduleItem> RecordingScheduler::ActiveItem() {
  Lock lock(mutex_);
  if (running_.empty()) return std::nullopt;
  return running_.front()->item;
}

std::vector<std::string> RecordingScheduler::ActiveOutputPaths() {
  Lock lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& r : running_) {
    if (r->recording) paths.push_back(r->opened_path);
  }
  return paths;
}

std::string RecordingScheduler::ActiveOutputPath() {
  Lock lock(mutex_);
  for (const auto& r : running_) {
    if (r->recording) return r->opened_path;
  }
  return std::string();
}

std::vector<uint16_t> RecordingScheduler::ComputeExcludedPids(std::span<const uint16_t> kept) {
  Lock lock(mutex_);
  return PidsOfOtherServices(components_, kept);
}

}  // namespace pelkan
