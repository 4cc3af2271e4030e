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

constexpr int64_t kPrepareAhead = 30;  // seconds before the start
constexpr int64_t kOpenAhead = 5;      // seconds before the start
constexpr uint32_t kBlockSize = 0x100000;
// How long (schedule clock seconds) the status bar tells that a recording failed.
constexpr int64_t kFailureShownSeconds = 60;

bool IsByEvent(const ScheduleItem& item) {
  return (item.flags & SI_BY_EVENT) != 0;
}

using platform::Sjis;

}  // namespace

std::unique_ptr<RecordingWriter> SchedulerHost::CreateWriter() {
  return std::make_unique<BlockFileWriter>(kBlockSize);
}

RecordingScheduler::RecordingScheduler(SchedulerHost* host) : host_(host) {}

RecordingScheduler::~RecordingScheduler() {
  Lock lock(mutex_);
  active_.reset();
  alive_.reset();
}

void RecordingScheduler::ReceivePacket(const uint8_t* data, uint32_t length) {
  Lock lock(mutex_);
  if (active_) active_->Write(data, length);
}

void RecordingScheduler::OnComponentList(uint16_t service_id, const ComponentEntry* entries, uint32_t count) {
  Lock lock(mutex_);
  std::vector<ComponentEntry>& list = components_[service_id];
  list.assign(entries, entries + (entries == nullptr ? 0 : count));
  if (active_ && active_->limited) {
    active_->excluded = ComputeExcludedPids(active_->kept);
    host_->SetRecordingFilter(active_->kept, active_->excluded);
  }
}

void RecordingScheduler::OnStreamReset(uint16_t stream_id) {
  Lock lock(mutex_);
  stream_id_ = stream_id;
  components_.clear();
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
  if (active_) return reason(active_->item, active_->opened_path);
  const int64_t t = Instant(now);
  for (const ScheduleItem& item : reservations_) {
    if (HasStart(item) && ItemStart(item) - t <= kAwakeAheadSeconds && ItemEnd(item) + 1 - t >= 0) {
      return reason(item, std::string());
    }
  }
  return std::string();
}

void RecordingScheduler::Advance(MjdTime now) {
  std::optional<ScheduleItem> repetition;
  std::optional<RecordingFailure> failure;
  bool ended;
  {
    Lock lock(mutex_);
    if (reservations_.empty() && !active_) return;
    NoteCaptureLocked(now);
    ended = EndCheckLocked(now, &repetition, &failure);
  }
  WriteReports();
  if (failure) host_->OnRecordingFailed(*failure);
  if (repetition) {
    StoreItem(*repetition, -1);
    repetition.reset();
  }
  failure.reset();
  {
    Lock lock(mutex_);
    if (!ended && !reservations_.empty()) PrepareLocked(now);
    StartLocked(now, &repetition, &failure);
    FollowEventLocked(now);
    ResolveOneLocked();
  }
  if (failure) host_->OnRecordingFailed(*failure);
  if (repetition) StoreItem(*repetition, -1);
}

bool RecordingScheduler::EndCheckLocked(MjdTime now, std::optional<ScheduleItem>* repetition,
                                        std::optional<RecordingFailure>* failure) {
  const int64_t t = Instant(now);
  if (active_) {
    // A recording whose file cannot be written, or whose disk is nearly full, stops at once.
    if (std::optional<RecordingFailure> f = active_->CheckStop(*host_)) {
      EndActiveLocked(now, std::move(f), repetition, failure);
      return true;
    }
    const ScheduleItem& r = active_->item;
    if (!HasStart(r) || ItemEnd(r) + 1 - t >= 0) return false;
    EndActiveLocked(now, std::nullopt, repetition, failure);
    return true;
  }
  if (reservations_.empty()) return false;
  const ScheduleItem& first = reservations_[0];
  // An entry that can never be recorded must not hold up the ones behind it.
  if (ItemProblem(first) != nullptr) {
    RetireLocked(ST_ERROR, 0, repetition);
    return true;
  }
  if (!HasStart(first) || ItemEnd(first) + 1 - t >= 0) return false;
  RetireLocked(ST_ERROR, 0, repetition);
  return true;
}

void RecordingScheduler::EndActiveLocked(MjdTime now, std::optional<RecordingFailure> failure,
                                         std::optional<ScheduleItem>* repetition,
                                         std::optional<RecordingFailure>* reported) {
  const int index = ActiveIndexLocked();
  RecordingEnd how = RecordingEnd::kComplete;
  if (failure) {
    how = failure->reason == RecordingFailure::Reason::kLowDisk ? RecordingEnd::kLowDisk
                                                                : RecordingEnd::kWriteFailed;
  }
  std::optional<RecordingSummary> summary = active_->Close(*host_, how, &failure, &unwritten_);
  if (failure) {
    failure->item = active_->item;
    SetItemState(&failure->item, ST_ERROR);
    failure->path = active_->opened_path;
    failure_status_ =
        Sjis(failure->reason == RecordingFailure::Reason::kLowDisk ? "予約録画エラー(ディスク容量不足)"
                                                                   : "予約録画エラー(書き込み失敗)");
    failure_until_ = Instant(now) + kFailureShownSeconds;
  }
  const ScheduleItem copy = active_->item;
  active_.reset();
  const uint32_t state = failure ? ST_ERROR : ST_FINISHED;
  if (index >= 0) {
    RetireLocked(state, index, repetition, std::move(summary));
  } else {
    // Its reservation has left the list meanwhile (removed by another process): still a recording.
    ScheduleItem done = copy;
    SetItemState(&done, state);
    finished_.push_back(done);
    finished_summaries_.push_back(std::move(summary));
    Changed();
  }
  if (failure) *reported = std::move(failure);
}

void RecordingScheduler::PrepareLocked(MjdTime now) {
  if (active_) return;
  ScheduleItem& first = reservations_[0];
  if (!HasStart(first) || ItemStart(first) - kPrepareAhead - Instant(now) >= 0) return;
  auto active = std::make_unique<ScheduledRecording>();
  active->output_path = BuildOutputPath(first);
  const uint32_t caps = host_->DeviceCapabilities();
  if ((first.flags & SI_CHANNEL_VALUE) && (caps & 1)) host_->SetChannel(first.channel_value);
  if ((first.flags & SI_CHANNEL_STRING) && (caps & 2)) host_->SendString(GetText(first.channel_string));
  active->recording_start = MjdTime{first.start_day, first.start_second};
  AddSeconds(&active->recording_start, -kOpenAhead);
  SetItemState(&first, ST_PREPARING);
  active->item = first;
  active_ = std::move(active);
  ++generation_;
  Changed();
}

void RecordingScheduler::StartLocked(MjdTime now, std::optional<ScheduleItem>* repetition,
                                     std::optional<RecordingFailure>* failure) {
  if (!active_ || active_->recording) return;
  const int index = ActiveIndexLocked();
  if (index < 0) {
    active_.reset();  // its reservation left the list: nothing to record
    return;
  }
  ScheduleItem& entry = reservations_[static_cast<size_t>(index)];
  if (ItemState(entry) != ST_PREPARING) return;
  if (Instant(active_->recording_start) - Instant(now) >= 0) return;

  if (entry.flags & SI_SERVICE_LIMIT) {
    active_->limited = true;
    active_->kept = {ServiceIdOfText(GetText(entry.service_id_text))};
    active_->excluded = ComputeExcludedPids(active_->kept);
    host_->SetRecordingFilter(active_->kept, active_->excluded);
  } else {
    host_->SetRecordingFilter({}, {});
  }
  if (std::optional<RecordingFailure> f = active_->Open(*host_, entry, now)) {
    // The user hears why, and the reservation ends in the finished list as an error.
    failure_status_ = Sjis("予約録画エラー(ファイル作成失敗)");
    failure_until_ = Instant(now) + kFailureShownSeconds;
    active_.reset();
    RetireLocked(ST_ERROR, index, repetition);
    *failure = std::move(f);
    return;
  }
  SetItemState(&entry, ST_RECORDING);
  active_->item = entry;
  ++generation_;
  Changed();
}

void RecordingScheduler::FollowEventLocked(MjdTime now) {
  if (!active_ || !IsByEvent(active_->item)) return;
  ScheduleItem& item = active_->item;
  ProgrammeEvent ev{};
  if (host_->LookupProgramme(item.network_id, item.stream_id, item.service_id, item.event_id, &ev)) {
    TakeOverEvent(&item, ev, false);
    active_->open_end = IsOpenEnded(ev);
  }
  if (!active_->open_end || !active_->recording) return;
  // A programme of undetermined length (a live broadcast) ends when the next programme of its
  // service has started.
  ProgrammeEvent next{};
  if (!host_->LookupProgrammeAt(item.service_id, now, &next)) return;
  if (const std::optional<uint32_t> length = LengthUntilNextProgramme(item, next, now)) {
    item.duration = *length;
    active_->open_end = false;
  }
}

void RecordingScheduler::ResolveOneLocked() {
  for (size_t i = 0; i < reservations_.size(); ++i) {
    ScheduleItem entry = reservations_[i];
    if (!IsByEvent(entry)) continue;
    ProgrammeEvent ev{};
    if (!host_->LookupProgramme(entry.network_id, entry.stream_id, entry.service_id, entry.event_id, &ev) ||
        !TakeOverEvent(&entry, ev, true))
      continue;
    // A known event only moves its own entry: no overlap question.
    StoreLocked(entry, static_cast<int>(i));
    return;
  }
}

int RecordingScheduler::ActiveIndexLocked() const {
  if (!active_) return -1;
  int start_match = -1;
  for (size_t i = 0; i < reservations_.size(); ++i) {
    const ScheduleItem& e = reservations_[i];
    if (!IsRecordedReservation(active_->item, e)) continue;
    if (IsByEvent(e) || e.duration == active_->item.duration) return static_cast<int>(i);
    if (start_match < 0) start_match = static_cast<int>(i);
  }
  return start_match;
}

bool RecordingScheduler::IsActiveLocked(int index) const {
  if (!active_ || index < 0 || static_cast<size_t>(index) >= reservations_.size()) return false;
  const uint32_t state = ItemState(active_->item);
  if (state != ST_PREPARING && state != ST_RECORDING) return false;
  return ActiveIndexLocked() == index;
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

bool RecordingScheduler::RetireLocked(uint32_t mark, int index, std::optional<ScheduleItem>* repetition,
                                      std::optional<RecordingSummary> summary) {
  if (index < 0 || static_cast<size_t>(index) >= reservations_.size()) return false;
  if (IsActiveLocked(index)) return false;
  ScheduleItem copy = reservations_[static_cast<size_t>(index)];
  const uint32_t bits = mark == SI_DELETED ? SI_DELETED : (mark & 0x7F) << 24;
  copy.flags = (copy.flags & kItemStateClearMask) | bits;
  if (mark != SI_DELETED) {
    finished_.push_back(copy);
    finished_summaries_.push_back(std::move(summary));
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
    *repetition = copy;
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
  if (active_) {
    const uint32_t state = ItemState(active_->item);
    if (state == ST_PREPARING) return schedule_status::Preparing();
    if (state == ST_RECORDING && active_->recording) {
      return schedule_status::Recording(active_->recording->BytesWritten(), active_->recording->FreeSpace());
    }
    return std::string();
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
  Lock lock(mutex_);
  std::vector<PlanRequest> requests;
  requests.reserve(reservations_.size());
  for (const ScheduleItem& item : reservations_) requests.push_back(PlanRequestOf(item));
  return MakePlan(requests);
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
  if (active_ && ActiveIndexLocked() < 0) {
    if (active_->recording) {
      // Removed by another process while it was recorded: ends at the next tick, as a deletion.
      active_->item.duration = 0;
    } else {
      active_.reset();  // still preparing: nothing recorded yet
    }
  }
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
  std::optional<ScheduleItem> repetition;
  {
    Lock lock(mutex_);
    if (!RetireLocked(mark, index, &repetition)) return 0;
  }
  if (repetition) StoreItem(*repetition, -1);
  return 1;
}

bool RecordingScheduler::IsActiveItem(int index) {
  Lock lock(mutex_);
  return IsActiveLocked(index);
}

int RecordingScheduler::DeleteItem(int index, bool keep_series) {
  std::optional<ScheduleItem> repetition;
  {
    Lock lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= reservations_.size()) return 0;
    if (IsActiveLocked(index)) {
      if (active_->recording) {
        // Ends at the next tick and goes to the finished list.
        active_->item.duration = 0;
        return 1;
      }
      // Still preparing: nothing recorded yet, so the preparation is simply cancelled.
      active_.reset();
    }
    if (!RetireLocked(SI_DELETED, index, &repetition)) return 0;
  }
  if (repetition && keep_series) StoreItem(*repetition, -1);
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
  std::optional<RecordingFailure> failure;
  {
    Lock lock(mutex_);
    if (!active_) return;
    const int index = ActiveIndexLocked();
    // The rest of the file is written now; the user hears of a failure there too.
    active_->Close(*host_, RecordingEnd::kCaptureEnded, &failure, &unwritten_);
    active_.reset();
    if (index >= 0) SetItemState(&reservations_[static_cast<size_t>(index)], ST_WAITING);
    ++generation_;
    Changed();
  }
  WriteReports();
  if (failure) host_->OnRecordingFailed(*failure);
}

void RecordingScheduler::NoteCaptureLocked(MjdTime now) {
  if (!active_ || !active_->recording) return;
  std::vector<uint16_t> services;
  for (const auto& entry : components_) services.push_back(entry.first);
  active_->recording->NoteServices(
      services, [this](uint16_t service) { return platform::BroadcastToUtf8(host_->ServiceName(service)); },
      [this, now](uint16_t service) -> std::optional<std::string> {
        ProgrammeEvent ev{};
        if (!host_->LookupProgrammeAt(service, now, &ev)) return std::nullopt;
        return platform::BroadcastToUtf8(std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
      });
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
  for (size_t i = 0; i < finished_.size(); ++i) out.push_back({finished_[i], finished_summaries_[i]});
  return out;
}

std::optional<ScheduleItem> RecordingScheduler::ActiveItem() {
  Lock lock(mutex_);
  if (!active_) return std::nullopt;
  return active_->item;
}

std::string RecordingScheduler::ActiveOutputPath() {
  Lock lock(mutex_);
  if (!active_ || !active_->recording) return std::string();
  return active_->opened_path;
}

std::vector<uint16_t> RecordingScheduler::ComputeExcludedPids(std::span<const uint16_t> kept) {
  Lock lock(mutex_);
  return PidsOfOtherServices(components_, kept);
}

}  // namespace pelkan
