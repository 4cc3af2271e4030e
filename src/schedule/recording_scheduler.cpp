#include "schedule/recording_scheduler.h"

#include <algorithm>

#include "platform/text_codec.h"
#include "schedule/reservation_match.h"
#include "schedule/schedule_file.h"
#include "schedule/schedule_texts.h"
#include "ts/output_filter.h"

namespace pelkan {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

}  // namespace

RecordingScheduler::RecordingScheduler(SchedulerHost* host) : host_(host), state_(host), tick_(&state_) {}

RecordingScheduler::~RecordingScheduler() {
  Lock lock(mutex_);
  state_.running.clear();
  state_.alive.reset();
}

void RecordingScheduler::ReceivePacket(const uint8_t* data, uint32_t length) {
  Lock lock(mutex_);
  for (const auto& r : state_.running) r->Write(data, length, state_.pat_programs);
}

void RecordingScheduler::OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) {
  if (output != kWholeStreamOutput || packet_size == 0) return;
  // One lock for the run; nothing more while no reservation records.
  Lock lock(mutex_);
  if (state_.running.empty()) return;
  for (uint32_t at = 0; at + packet_size <= length; at += packet_size) {
    for (const auto& r : state_.running) r->Write(packets + at, packet_size, state_.pat_programs);
  }
}

void RecordingScheduler::OnProgramList(const ProgramListEntry* entries, uint32_t count) {
  Lock lock(mutex_);
  state_.pat_programs.assign(entries, entries + (entries == nullptr ? 0 : count));
  for (const auto& r : state_.running) r->Refilter(state_.components, state_.pat_programs);
}

void RecordingScheduler::OnComponentList(uint16_t service_id, const ComponentEntry* entries, uint32_t count) {
  Lock lock(mutex_);
  std::vector<ComponentEntry>& list = state_.components[service_id];
  list.assign(entries, entries + (entries == nullptr ? 0 : count));
  for (const auto& r : state_.running) r->Refilter(state_.components, state_.pat_programs);
}

void RecordingScheduler::BreakStream() {
  Lock lock(mutex_);
  state_.stream_broken = true;
  for (const auto& r : state_.running) {
    if (r->recording) r->recording->BeginGap();
  }
}

void RecordingScheduler::ResumeStream() {
  Lock lock(mutex_);
  state_.stream_broken = false;
  for (const auto& r : state_.running) {
    if (r->recording) r->recording->EndGap();
  }
}

void RecordingScheduler::OnStreamReset(uint16_t stream_id) {
  Lock lock(mutex_);
  state_.stream_id = stream_id;
  state_.network_id = 0;
  state_.components.clear();
  state_.pat_programs.clear();
}

void RecordingScheduler::SetNetworkId(uint16_t network_id) {
  Lock lock(mutex_);
  state_.network_id = network_id;
}

void RecordingScheduler::PostClock(MjdTime now) {
  {
    Lock lock(mutex_);
    state_.last_clock = now;
  }
  std::weak_ptr<int> alive = state_.alive;
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
    why = tick_.AwakeReasonLocked(now);
  }
  host_->KeepAwake(why);
}

void RecordingScheduler::Advance(MjdTime now) {
  SchedulerTick::Outcomes out;
  {
    Lock lock(mutex_);
    if (state_.reservations.empty() && state_.running.empty()) return;
    tick_.AdvanceLocked(now, &out);
  }
  WriteReports();
  for (const RecordingFailure& f : out.failures) host_->OnRecordingFailed(f);
  for (const FinishedRecording& ended : out.ended) host_->OnReservationEnded(ended);
  for (const ScheduleItem& item : out.repetitions) StoreItem(item, -1);
}

bool RecordingScheduler::FindOverlapLocked(const ScheduleItem& item, int skip) const {
  if (!(item.flags & SI_BY_TIME)) return false;
  for (size_t i = 0; i < state_.reservations.size(); ++i) {
    if (static_cast<int>(i) == skip) continue;
    const ScheduleItem& e = state_.reservations[i];
    if (!HasStart(e)) continue;
    if (ItemsOverlap(item, e)) return true;
  }
  return false;
}

bool RecordingScheduler::Ask() {
  question_pending_.store(true);
  const bool yes = host_->ConfirmOverlap();
  question_pending_.store(false);
  return yes;
}

std::string RecordingScheduler::GetScheduleStatus() {
  Lock lock(mutex_);
  if (!state_.running.empty()) {
    // Several recordings of one stream: their bytes together, the free space of the first.
    uint64_t bytes = 0;
    const Recording* first = nullptr;
    for (const auto& r : state_.running) {
      if (!r->recording) continue;
      bytes += r->recording->BytesWritten();
      if (first == nullptr) first = r->recording.get();
    }
    if (first != nullptr) return schedule_status::Recording(bytes, first->FreeSpace());
    return schedule_status::Preparing();
  }
  if (!state_.failure_status.empty() && Instant(state_.last_clock) < state_.failure_until)
    return state_.failure_status;
  if (state_.reservations.empty() || state_.last_clock.date == 0) return std::string();
  const ScheduleItem& first = state_.reservations[0];
  if (!HasStart(first)) return schedule_status::WaitingForEvent();
  return schedule_status::UntilStart(ItemStart(first) - Instant(state_.last_clock));
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
  PlannedList out;
  out.items = state_.reservations;
  out.requests = tick_.PlanRequestsLocked();
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
  tick_.SetFollowLimit(std::min(seconds, kMaxRecordSeconds));
}

uint32_t RecordingScheduler::FollowLimit() {
  Lock lock(mutex_);
  return tick_.follow_limit();
}

std::string RecordingScheduler::DefaultDirectory() {
  Lock lock(mutex_);
  return default_directory_;
}

void RecordingScheduler::LoadSchedule(const std::string& path) {
  Lock lock(mutex_);
  std::optional<std::vector<ScheduleItem>> list = file_.Load(path, &load_warnings_);
  if (!list) return;
  state_.reservations = std::move(*list);
  ++state_.generation;
  state_.Changed();
}

bool RecordingScheduler::ScheduleFileUnreadable() {
  Lock lock(mutex_);
  return file_.unreadable();
}

std::string RecordingScheduler::ScheduleListId() {
  Lock lock(mutex_);
  return file_.list_id();
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
    ours = state_.reservations;
    generation = state_.generation;
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
      if (state_.generation != generation) {
        // The list changed during the file work: that change is kept on top of the merge.
        merged = MergeSchedule(ours, state_.reservations, merged);
        std::stable_sort(merged.begin(), merged.end(), CompareItems);
      }
      if (FormatSchedule(merged) != FormatSchedule(state_.reservations) ||
          merged.size() != state_.reservations.size()) {
        ApplyMergedLocked(std::move(merged));
      }
    }
  }
  if (out.kept_aside) host_->OnScheduleFileKeptAside(path, *out.kept_aside);
  return out.result;
}

void RecordingScheduler::ApplyMergedLocked(std::vector<ScheduleItem> merged) {
  state_.reservations = std::move(merged);
  ++state_.generation;
  // A recording whose reservation another process removed ends at the next tick, as a deletion;
  // one still preparing is dropped then (nothing recorded yet).
  state_.Changed();
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
  return StoreAsking(
      item,
      [this, index]() -> std::optional<int> {
        if (index < -1 || (index >= 0 && static_cast<size_t>(index) >= state_.reservations.size()))
          return std::nullopt;
        return index;
      },
      0);
}

int RecordingScheduler::StoreAsking(const ScheduleItem& item,
                                    const std::function<std::optional<int>()>& place, int refused) {
  for (;;) {
    uint64_t generation;
    int index;
    {
      Lock lock(mutex_);
      const std::optional<int> found = place();
      if (!found) return refused;
      index = *found;
      if (!FindOverlapLocked(item, index)) {
        state_.StoreLocked(item, index);
        return 1;
      }
      generation = state_.generation;
    }
    // The question waits for the user without the lock: the processing thread keeps recording.
    if (!Ask()) return 0;
    Lock lock(mutex_);
    if (state_.generation == generation) {
      // The list is as it was when the question was asked: the place found then still holds.
      state_.StoreLocked(item, index);
      return 1;
    }
    // The list changed while the question was open: what the user agreed to may no longer hold.
  }
}

int RecordingScheduler::RetireItem(uint32_t mark, int index) {
  std::vector<ScheduleItem> repetitions;
  {
    Lock lock(mutex_);
    if (!state_.RetireLocked(mark, index, &repetitions)) return 0;
  }
  for (const ScheduleItem& item : repetitions) StoreItem(item, -1);
  return 1;
}

bool RecordingScheduler::IsActiveItem(int index) {
  Lock lock(mutex_);
  return state_.IsActiveLocked(index);
}

int RecordingScheduler::DeleteItem(int index, bool keep_series) {
  std::vector<ScheduleItem> repetitions;
  {
    Lock lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= state_.reservations.size()) return 0;
    if (ScheduledRecording* r = state_.RunningOfLocked(index)) {
      if (r->recording) {
        // Ends at the next tick and goes to the finished list.
        r->stop_requested = true;
        return 1;
      }
      // Still preparing: nothing recorded yet, so the preparation is simply cancelled.
      std::erase_if(state_.running, [r](const auto& owned) { return owned.get() == r; });
    }
    if (!state_.RetireLocked(SI_DELETED, index, &repetitions)) return 0;
  }
  if (keep_series) {
    for (const ScheduleItem& item : repetitions) StoreItem(item, -1);
  }
  return 1;
}

int RecordingScheduler::FindItem(const ScheduleItem& item) {
  Lock lock(mutex_);
  return FindReservation(state_.reservations, item);
}

int RecordingScheduler::ReplaceItem(const ScheduleItem& original, const ScheduleItem& edited) {
  return StoreAsking(
      edited,
      [this, &original]() -> std::optional<int> {
        const int index = FindReservation(state_.reservations, original);
        if (index < 0 || state_.IsActiveLocked(index)) return std::nullopt;
        return index;
      },
      -1);
}

void RecordingScheduler::StopRecording() {
  std::vector<RecordingFailure> failures;
  {
    Lock lock(mutex_);
    if (state_.running.empty()) return;
    for (const auto& r : state_.running) {
      const int index = state_.IndexOfLocked(*r);
      // The rest of the file is written now; the user hears of a failure there too.
      std::optional<RecordingFailure> failure;
      r->Close(*host_, RecordingEnd::kCaptureEnded, &failure, &state_.unwritten);
      if (index >= 0) SetItemState(&state_.reservations[static_cast<size_t>(index)], ST_WAITING);
      if (failure) failures.push_back(std::move(*failure));
    }
    state_.running.clear();
    ++state_.generation;
    state_.Changed();
  }
  WriteReports();
  for (const RecordingFailure& f : failures) host_->OnRecordingFailed(f);
}

void RecordingScheduler::WriteReports() {
  std::vector<std::unique_ptr<Recording>> ended;
  {
    Lock lock(mutex_);
    ended.swap(state_.unwritten);
  }
  for (const auto& recording : ended) {
    const std::string report = recording->ReportPath();
    if (recording->WriteReport() || report.empty()) continue;
    // A report that could not be written is not named as if it were there.
    Lock lock(mutex_);
    for (std::optional<RecordingSummary>& summary : state_.finished_summaries) {
      if (summary && summary->report_path == report) summary->report_path.clear();
    }
  }
}

void RecordingScheduler::ClearFinished() {
  Lock lock(mutex_);
  state_.finished.clear();
  state_.finished_summaries.clear();
  state_.finished_why.clear();
  state_.Changed();
}

std::vector<ScheduleItem> RecordingScheduler::Reservations() {
  Lock lock(mutex_);
  return state_.reservations;
}

std::vector<std::string> RecordingScheduler::LoadWarnings() {
  Lock lock(mutex_);
  return load_warnings_;
}

std::vector<ScheduleItem> RecordingScheduler::Finished() {
  Lock lock(mutex_);
  return state_.finished;
}

std::vector<FinishedRecording> RecordingScheduler::FinishedRecordings() {
  Lock lock(mutex_);
  std::vector<FinishedRecording> out;
  out.reserve(state_.finished.size());
  for (size_t i = 0; i < state_.finished.size(); ++i)
    out.push_back({state_.finished[i], state_.finished_summaries[i], state_.finished_why[i]});
  return out;
}

std::optional<ScheduleItem> RecordingScheduler::ActiveItem() {
  Lock lock(mutex_);
  if (state_.running.empty()) return std::nullopt;
  return state_.running.front()->item;
}

std::vector<std::string> RecordingScheduler::ActiveOutputPaths() {
  Lock lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& r : state_.running) {
    if (r->recording) paths.push_back(r->opened_path);
  }
  return paths;
}

std::string RecordingScheduler::ActiveOutputPath() {
  Lock lock(mutex_);
  for (const auto& r : state_.running) {
    if (r->recording) return r->opened_path;
  }
  return std::string();
}

std::vector<uint16_t> RecordingScheduler::ComputeExcludedPids(std::span<const uint16_t> kept) {
  Lock lock(mutex_);
  return PidsOfOtherServices(state_.components, kept);
}

}  // namespace pelkan
