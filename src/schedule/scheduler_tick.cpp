#include "schedule/scheduler_tick.h"

#include <algorithm>
#include <cstring>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/recording_path.h"
#include "schedule/schedule_texts.h"

namespace pelkan {
namespace {

// Seconds before its file opens that a reservation is prepared (the tuner set): 30 s before its
// start with the default start margin.
constexpr int64_t kPrepareAhead = 30 - kDefaultMarginBefore;
// A recording that is not cut short runs through the second after its end, as the heartbeat
// comes: it ends at the first tick this many seconds past the end.
constexpr int64_t kEndSlack = 2;
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

void SchedulerTick::AdvanceLocked(MjdTime now, Outcomes* out) {
  const int64_t t = Instant(now);
  NoteCaptureLocked(now);
  FollowLocked(t);
  EndLocked(t, out);
  ExpireLocked(t, out);
  FollowLocked(t);
  StartLocked(now, out);
  ResolveOneLocked();
  if (spans_generation_ != state_.generation) FollowLocked(t);  // the list the plan is shown for
  // The windows hear of a plan that the following moved (a programme running over, say).
  std::vector<PlanLine> plan = MakePlan(RequestsLocked());
  const auto same = [](const PlanLine& a, const PlanLine& b) {
    return a.verdict == b.verdict && a.start == b.start && a.end == b.end && a.by == b.by &&
           a.head_by == b.head_by && a.tail_by == b.tail_by;
  };
  if (!std::equal(plan.begin(), plan.end(), last_plan_.begin(), last_plan_.end(), same)) {
    last_plan_ = std::move(plan);
    state_.Changed();
  }
}

std::vector<PlanRequest> SchedulerTick::PlanRequestsLocked() {
  // The spans followed at the last tick, when the list has not been re-sorted since.
  if (spans_.size() != state_.reservations.size() || spans_generation_ != state_.generation) spans_.clear();
  return RequestsLocked();
}

std::string SchedulerTick::AwakeReasonLocked(MjdTime now) const {
  auto reason = [](const ScheduleItem& item, const std::string& opened_path) {
    if (IsByEvent(item) && !GetText(item.title).empty()) return platform::SjisToUtf8(GetText(item.title));
    if (!opened_path.empty()) return opened_path;
    const std::optional<std::string> path = BuildOutputPath(item);
    return platform::SjisToUtf8(path ? *path : GetText(item.directory));
  };
  if (!state_.running.empty())
    return reason(state_.running.front()->item, state_.running.front()->opened_path);
  const int64_t t = Instant(now);
  for (const ScheduleItem& item : state_.reservations) {
    // From two minutes before its start, or earlier when its start margin is longer than the usual.
    const int64_t from =
        std::min(ItemStart(item), ItemRecordStart(item) + kDefaultMarginBefore) - kAwakeAheadSeconds;
    if (HasStart(item) && from <= t && ItemRecordEnd(item) + 1 - t >= 0) {
      return reason(item, std::string());
    }
  }
  return std::string();
}

void SchedulerTick::FollowLocked(int64_t t) {
  spans_.clear();
  spans_.resize(state_.reservations.size());
  std::map<uint16_t, EventStore::PresentFollowing> pf;
  for (size_t i = 0; i < state_.reservations.size(); ++i) {
    const ScheduleItem& entry = state_.reservations[i];
    if (!IsByEvent(entry) || !HasStart(entry)) continue;
    ScheduledRecording* r = state_.RunningOfLocked(static_cast<int>(i));
    ScheduleItem item = r != nullptr ? r->item : entry;
    // Only what is near (or already on air) is followed tick by tick; the rest keeps its told time.
    if (r == nullptr && ItemRecordStart(item) - t > kFollowAhead) continue;
    FollowFacts facts;
    facts.now = t;
    facts.follow_limit = follow_limit_;
    ProgrammeEvent ev{};
    if (state_.host->LookupProgramme(item.network_id, item.stream_id, item.service_id, item.event_id, &ev)) {
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
    if (inserted) it->second = state_.host->LookupPresentFollowing(item.service_id);
    facts.pf = it->second;
    if (!facts.pf.known && IsOpenEnded(facts.event.value_or(ev)) && r != nullptr) {
      ProgrammeEvent on_air{};
      if (state_.host->LookupProgrammeAt(item.service_id, TimeOf(t), &on_air)) facts.on_air = on_air;
    }
    FollowState& state = follow_[FollowKey(item)];
    FollowSpan span = FollowEvent(item, &state, facts);
    if (r == nullptr || !r->recording) {
      for (std::string& note : span.notes) state.unreported.emplace_back(t, std::move(note));
    } else {
      for (const auto& [when, note] : state.unreported) r->NoteFollow(when, note);
      state.unreported.clear();
      for (const std::string& note : span.notes) r->NoteFollow(t, note);
      r->NoteProgramme(ItemStart(item),
                       IsOpenEnded(facts.event.value_or(ev)) && !state.off_air_at
                           ? 0
                           : state.off_air_at.value_or(ItemEnd(item)),
                       t);
    }
    spans_[i] = std::move(span);
  }
  spans_generation_ = state_.generation;
}

std::vector<PlanRequest> SchedulerTick::RequestsLocked() const {
  std::vector<PlanRequest> requests;
  requests.reserve(state_.reservations.size());
  for (size_t i = 0; i < state_.reservations.size(); ++i) {
    const ScheduleItem& item = state_.reservations[i];
    PlanRequest request = PlanRequestOf(item);
    if (i < spans_.size() && spans_[i]) {
      request = PlanRequestOf(item, spans_[i]->start, spans_[i]->end);
      if (spans_[i]->gone && !spans_[i]->given_up) request.known = false;
    }
    // A recording holds the tuner from the moment it began.
    if (const ScheduledRecording* r = state_.RunningOfLocked(static_cast<int>(i));
        r != nullptr && r->recording) {
      request.start = std::min(request.start, r->opened_at);
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

void SchedulerTick::EndLocked(int64_t t, Outcomes* out) {
  const std::vector<PlanLine> lines = MakePlan(RequestsLocked());
  // Ends are decided over the plan of this moment, then carried out (each changes the list).
  struct End {
    ScheduledRecording* r;
    RecordingEnd how;
    std::optional<RecordingFailure> failure;
    std::string reason;
  };
  std::vector<End> ends;
  for (const auto& owned : state_.running) {
    ScheduledRecording* r = owned.get();
    const int index = state_.IndexOfLocked(*r);
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
    if (std::optional<RecordingFailure> f = r->CheckStop(*state_.host)) {
      const RecordingEnd how = f->reason == RecordingFailure::Reason::kLowDisk ? RecordingEnd::kLowDisk
                                                                               : RecordingEnd::kWriteFailed;
      ends.push_back({r, how, std::move(f), std::string()});
      continue;
    }
    if (index < 0 || r->stop_requested) {
      ends.push_back({r, RecordingEnd::kComplete, std::nullopt, std::string()});
      continue;
    }
    const size_t i = static_cast<size_t>(index);
    const PlanLine& line = lines[i];
    const std::vector<ScheduleItem>& items = state_.reservations;
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

void SchedulerTick::EndRecordingLocked(int64_t t, ScheduledRecording* r, RecordingEnd how,
                                       std::optional<RecordingFailure> failure, const std::string& reason,
                                       Outcomes* out) {
  const int index = state_.IndexOfLocked(*r);
  const bool recorded = r->recording != nullptr;
  if (recorded && !IsByEvent(r->item)) r->NoteProgramme(ItemStart(r->item), ItemEnd(r->item), t);
  std::optional<RecordingSummary> summary;
  if (recorded) {
    if (!reason.empty() && r->recording->report() != nullptr) r->recording->report()->SetEndReason(reason);
    summary = r->Close(*state_.host, how, &failure, &state_.unwritten);
  }
  if (failure) {
    failure->item = r->item;
    SetItemState(&failure->item, ST_ERROR);
    failure->path = r->opened_path;
    state_.failure_status =
        Sjis(failure->reason == RecordingFailure::Reason::kLowDisk ? "予約録画エラー(ディスク容量不足)"
                                                                   : "予約録画エラー(書き込み失敗)");
    state_.failure_until = t + kFailureShownSeconds;
  }
  const ScheduleItem copy = r->item;
  const bool deleted = r->stop_requested;
  // What the plan took of it (its head, its tail), as its report says it.
  const std::string cut = summary && summary->end == RecordingEnd::kCutByPlan ? summary->cut : std::string();
  std::erase_if(state_.running, [r](const auto& owned) { return owned.get() == r; });
  ++state_.generation;
  if (!recorded) {
    // A preparation only: its reservation waits again (or is gone already).
    if (index >= 0) SetItemState(&state_.reservations[static_cast<size_t>(index)], ST_WAITING);
    state_.Changed();
    return;
  }
  const uint32_t state =
      failure || how == RecordingEnd::kGivenUp || how == RecordingEnd::kTunerLost ? ST_ERROR : ST_FINISHED;
  if (index >= 0) {
    state_.RetireLocked(state, index, &out->repetitions, std::move(summary));
  } else {
    // Its reservation has left the list meanwhile (removed by another process): still a recording.
    ScheduleItem done = copy;
    SetItemState(&done, state);
    state_.finished.push_back(done);
    state_.finished_summaries.push_back(std::move(summary));
    state_.finished_why.emplace_back();
    state_.Changed();
  }
  std::string why = reason;
  if (!cut.empty()) {
    why = cut;
  } else if (how == RecordingEnd::kCutByPlan) {
    why = "cut short for " + (reason.empty() ? "another reservation" : reason);
  }
  if (failure) why = RecordingFailureReason(*failure);
  if (deleted) why = "deleted while it was recorded";
  state_.finished_why.back() = why;
  out->ended.push_back({state_.finished.back(), state_.finished_summaries.back(), std::move(why)});
  if (failure) out->failures.push_back(std::move(*failure));
}

void SchedulerTick::ExpireLocked(int64_t t, Outcomes* out) {
  for (size_t i = 0; i < state_.reservations.size();) {
    const ScheduleItem& entry = state_.reservations[i];
    if (state_.RunningOfLocked(static_cast<int>(i)) != nullptr) {
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
          SetItemState(&state_.reservations[i], ST_GONE);
          ++state_.generation;
          state_.Changed();
        }
        if (t - ItemRecordEnd(entry) >= kEndSlack) mark = ST_GONE;
      } else if (span && span->given_up) {
        mark = ST_ERROR;
      } else if (t - end >= kEndSlack) {
        mark = ST_ERROR;  // its time passed without it being recorded
      } else if (ItemState(entry) == ST_GONE) {
        SetItemState(&state_.reservations[i], ST_WAITING);  // back in the tables
        ++state_.generation;
        state_.Changed();
      }
    }
    if (mark == 0) {
      ++i;
      continue;
    }
    follow_.erase(FollowKey(entry));
    const std::optional<FollowSpan>& span = i < spans_.size() ? spans_[i] : std::nullopt;
    std::string why = mark == ST_GONE                 ? "the programme is gone from the broadcast's tables"
                      : span && span->given_up        ? *span->given_up
                      : ItemProblem(entry) != nullptr ? std::string(ItemProblem(entry))
                                                      : "not recorded in its time";
    state_.RetireLocked(mark, static_cast<int>(i), &out->repetitions);
    state_.finished_why.back() = why;
    out->ended.push_back({state_.finished.back(), std::nullopt, std::move(why)});
    if (i < spans_.size()) spans_.erase(spans_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void SchedulerTick::StartLocked(MjdTime now, Outcomes* out) {
  const int64_t t = Instant(now);
  const std::vector<PlanRequest> requests = RequestsLocked();
  const std::vector<PlanLine> lines = MakePlan(requests);
  for (size_t i = 0; i < state_.reservations.size(); ++i) {
    const PlanLine& line = lines[i];
    if (line.verdict != PlanVerdict::kWhole && line.verdict != PlanVerdict::kPart) continue;
    ScheduleItem& entry = state_.reservations[i];
    if (ItemState(entry) == ST_GONE) continue;
    ScheduledRecording* r = state_.RunningOfLocked(static_cast<int>(i));
    if (r != nullptr && r->recording) continue;
    if (line.start - kPrepareAhead - t >= 0) continue;
    // Another stream still being recorded holds the tuner (it ends at its own tick).
    bool tuner_busy = false;
    for (const auto& other : state_.running) {
      if (other.get() == r || !other->recording) continue;
      const int j = state_.IndexOfLocked(*other);
      if (j >= 0 && !SharesTuner(requests[i], requests[static_cast<size_t>(j)])) tuner_busy = true;
    }
    if (r == nullptr) {
      auto prepared = std::make_unique<ScheduledRecording>();
      prepared->origin = entry;
      prepared->tuning = requests[i].tuning;
      SetItemState(&entry, ST_PREPARING);
      prepared->item = entry;
      r = prepared.get();
      state_.running.push_back(std::move(prepared));
      ++state_.generation;
      state_.Changed();
    }
    // What the plan takes of its head, as seen while it waits: the winner over its start may end
    // (and leave the list) at the very tick it opens.
    if (line.head_lost > 0 && line.head_by >= 0) {
      r->head_lost = line.head_lost;
      r->head_by =
          platform::BroadcastToUtf8(PlanWinnerName(state_.reservations[static_cast<size_t>(line.head_by)]));
    }
    // The tuner moves ahead of the start only while no other stream is recorded.
    if (!tuner_busy) Tune(entry, r->tuning);
    // The file opens at the first tick after the start of its span (5 s before the programme with
    // the default margin).
    if (tuner_busy || line.start - t >= 0) continue;
    Tune(entry, r->tuning);
    if (entry.flags & SI_SERVICE_LIMIT)
      r->Limit({ServiceIdOfText(GetText(entry.service_id_text))}, state_.components, state_.pat_programs);
    r->output_path = BuildOutputPath(entry);
    r->opened_at = t;
    if (std::optional<RecordingFailure> f = r->Open(*state_.host, entry, now)) {
      // The user hears why, and the reservation ends in the finished list as an error.
      state_.failure_status = Sjis("予約録画エラー(ファイル作成失敗)");
      state_.failure_until = t + kFailureShownSeconds;
      std::erase_if(state_.running, [r](const auto& owned) { return owned.get() == r; });
      state_.RetireLocked(ST_ERROR, static_cast<int>(i), &out->repetitions);
      state_.finished_why.back() = RecordingFailureReason(*f);
      out->ended.push_back({state_.finished.back(), std::nullopt, state_.finished_why.back(), true});
      out->failures.push_back(std::move(*f));
      return;  // the list changed: the others start at the next tick
    }
    // A tuner away at the start: the recording waits for it, in a gap from its first byte.
    if (state_.stream_broken) r->recording->BeginGap();
    SetItemState(&entry, ST_RECORDING);
    r->item.flags = entry.flags;
    if (r->head_lost > 0) {
      r->NoteFollow(t, "started late: the tuner was held by " + r->head_by);
      // What the plan took stays told whatever the end: the recording is partial.
      if (r->recording->report() != nullptr) {
        r->recording->report()->SetHeadCut(static_cast<uint32_t>(r->head_lost), r->head_by);
      }
    }
    if (!IsByEvent(entry)) r->NoteProgramme(ItemStart(entry), ItemEnd(entry), t);
    ++state_.generation;
    state_.Changed();
  }
  // Date-time recordings note where their programme ends as they pass it.
  for (const auto& owned : state_.running) {
    if (owned->recording && !IsByEvent(owned->item)) {
      owned->NoteProgramme(ItemStart(owned->item), ItemEnd(owned->item), t);
    }
  }
}

void SchedulerTick::Tune(const ScheduleItem& entry, const std::string& tuning) {
  if (tuning.empty() || (tuned_ && *tuned_ == tuning)) return;
  const uint32_t caps = state_.host->DeviceCapabilities();
  if ((entry.flags & SI_CHANNEL_VALUE) && (caps & 1)) state_.host->SetChannel(entry.channel_value);
  if ((entry.flags & SI_CHANNEL_STRING) && (caps & 2)) state_.host->SendString(GetText(entry.channel_string));
  tuned_ = tuning;
}

std::string SchedulerTick::FollowKey(const ScheduleItem& item) {
  return std::to_string(item.network_id) + ":" + std::to_string(item.stream_id) + ":" +
         std::to_string(item.service_id) + ":" + std::to_string(item.event_id);
}

void SchedulerTick::ResolveOneLocked() {
  for (size_t i = 0; i < state_.reservations.size(); ++i) {
    ScheduleItem entry = state_.reservations[i];
    if (!IsByEvent(entry) || state_.RunningOfLocked(static_cast<int>(i)) != nullptr) continue;
    ProgrammeEvent ev{};
    if (!state_.host->LookupProgramme(entry.network_id, entry.stream_id, entry.service_id, entry.event_id,
                                      &ev) ||
        !TakeOverEvent(&entry, ev, true))
      continue;
    // A known event only moves its own entry: no overlap question.
    state_.StoreLocked(entry, static_cast<int>(i));
    return;
  }
}

void SchedulerTick::NoteCaptureLocked(MjdTime now) {
  std::vector<uint16_t> services;
  for (const auto& entry : state_.components) services.push_back(entry.first);
  for (const auto& r : state_.running) {
    if (!r->recording) continue;
    r->recording->NoteServices(
        services,
        [this](uint16_t service) { return platform::BroadcastToUtf8(state_.host->ServiceName(service)); },
        [this, now](uint16_t service) -> std::optional<std::string> {
          ProgrammeEvent ev{};
          if (!state_.host->LookupProgrammeAt(service, now, &ev)) return std::nullopt;
          return platform::BroadcastToUtf8(std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
        });
  }
}

}  // namespace pelkan
