#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mjd_time.h"
#include "output/recording.h"
#include "output/recording_report.h"
#include "output/recording_writer.h"
#include "platform/profile.h"
#include "schedule/event_follow.h"
#include "schedule/recording_failure.h"
#include "schedule/recording_path.h"
#include "schedule/recording_plan.h"
#include "schedule/reservation_file.h"
#include "schedule/schedule_item.h"
#include "schedule/scheduled_recording.h"
#include "schedule/scheduler_host.h"
#include "schedule/scheduler_state.h"
#include "schedule/scheduler_tick.h"
#include "ts/event_store.h"
#include "ts/stream_listener.h"
#include "ts/ts_events.h"

namespace pelkan {

// The recording scheduler: keeps the reservation list and the finished list, and on each tick
// (SchedulerTick) follows the event reservations through the broadcast's tables, makes the plan (MakePlan) and
// ends, prepares and starts the recordings it gives the tuner. Every packet of processor output 1
// reaches each running recording, which keeps what its own service filter passes: reservations on
// the stream being received record at once, each into its own file.
// One recursive lock guards every field; the UI thread runs Tick, PostClock, the status text,
// loading, saving and the list operations, the processing thread runs ReceivePacket,
// OnComponentList, OnStreamReset and SetNetworkId.
class RecordingScheduler : public StreamListener {
 public:
  // How long before a reservation starts the computer is kept awake for it, in seconds.
  static constexpr int64_t kAwakeAheadSeconds = SchedulerTick::kAwakeAheadSeconds;

  // `host` is not owned and must outlive the scheduler.
  explicit RecordingScheduler(SchedulerHost* host);
  // Discards the running recording (closing its file). Work still posted to the host is ignored
  // when it runs after this.
  ~RecordingScheduler() override;
  RecordingScheduler(const RecordingScheduler&) = delete;
  RecordingScheduler& operator=(const RecordingScheduler&) = delete;

  // --- Processing thread ---
  // A packet of output 1: written to each running recording through its filter, dropped while
  // none is open.
  void ReceivePacket(const uint8_t* data, uint32_t length);
  // The stream's PAT (event 16), for the PAT that a recording of one service keeps.
  void OnProgramList(const ProgramListEntry* entries, uint32_t count);
  // The components of a programme (event 17). A recording limited to one service gets its output
  // filter recomputed, so it follows PMT changes.
  void OnComponentList(uint16_t service_id, const ComponentEntry* entries, uint32_t count);
  // The network id of the stream (event 18).
  void SetNetworkId(uint16_t network_id);
  // The stream broke off after the packets received so far (the tuner dropped out): every open
  // recording, and each one that opens before ResumeStream, begins a gap. A recording whose
  // reservation ends while its gap lasts ends as kTunerLost, its reservation as an error.
  void BreakStream();
  // Any thread: the tuner delivers again; the gaps end.
  void ResumeStream();

  // As a capture's consumer: the whole stream (output 1), its tables and its breaks. The clock
  // comes from the owner (PostClock), which chooses between the broadcast's and the machine's.
  void OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) override {
    if (output == kWholeStreamOutput) ReceivePacket(packet, length);
  }
  void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) override;
  void OnProgramList(std::span<const ProgramListEntry> programs) override {
    OnProgramList(programs.data(), static_cast<uint32_t>(programs.size()));
  }
  void OnComponents(uint16_t service_id, std::span<const ComponentEntry> components) override {
    OnComponentList(service_id, components.data(), static_cast<uint32_t>(components.size()));
  }
  // A new stream (event 2): stores the stream id, forgets every programme's components and the
  // network id (until the new stream's NIT tells it).
  void OnStreamReset(uint16_t stream_id) override;
  void OnNetworkId(uint16_t network_id) override { SetNetworkId(network_id); }
  void OnStreamBreak() override { BreakStream(); }
  void OnStreamResume() override { ResumeStream(); }

  // --- UI thread ---
  // Remembers `now` as the last clock and posts Tick(now) to the UI thread.
  void PostClock(MjdTime now);
  // Advances the schedule to `now`: follows the event reservations near their time (FollowEvent),
  // stops a recording when a write failed or its volume has kLowDiskLimit bytes free or less
  // (ST_ERROR, reported to the host), when another reservation takes the tuner (the plan), when its
  // programme was given up, or when its end (margin included) is more than 1 s past; expires the
  // reservations whose time passed unrecorded; prepares a reservation 30 s before the plan gives
  // it the tuner and opens its file then (its start less its start margin, or when the winner over
  // it ends); resolves at most one event reservation; then tells the host what keeps the computer
  // awake (SchedulerHost::KeepAwake). Does nothing while an overlap question is on screen.
  void Tick(MjdTime now);
  // Status-bar text (Shift-JIS): recording state, or time until the next start.
  std::string GetScheduleStatus();
  // Directory given to new reservations (Shift-JIS).
  void SetDefaultDirectory(std::string_view dir);
  std::string DefaultDirectory();

  // Replaces the reservation list with the file (the stored path when `path` is empty; a given
  // path is stored). A missing file gives an empty list, and so does a file that is no reservation
  // file (IsScheduleText): that one is moved aside at the next SyncSchedule, never overwritten.
  void LoadSchedule(const std::string& path = std::string());
  // True when the file as last loaded is no reservation file (see LoadSchedule).
  bool ScheduleFileUnreadable();
  // The ListId of the reservation file as last loaded or synced (FormatSchedule); empty when it
  // has none.
  std::string ScheduleListId();
  // Several processes may hold the reservation list of one file (`pelkan-cli capture --schedule`,
  // `pelkan-cli schedule add`, the desktop program). SyncSchedule merges the changes made on either
  // side since the last load or sync (MergeSchedule: nothing either side added or removed is lost),
  // keeping the running recording's state, and writes the result when its list differs from the
  // file's (or there is no file): a file whose list did not change keeps its own lines. A file that
  // is no reservation file is moved aside first (SchedulerHost::OnScheduleFileKeptAside); one that
  // exists but cannot be read is never replaced (kFailed).
  // A running recording whose reservation another process removed ends at the next tick. Every
  // write takes the file's lock (platform::FileLock) and replaces the file atomically; `wait_ms`
  // is how long to wait for another holder. Cheap when nothing changed (one stat). UI thread.
  using SyncResult = ReservationFile::SyncResult;
  SyncResult SyncSchedule(uint32_t wait_ms = 0);
  // Holds the file's lock until UnlockScheduleFile (a read-change-write of the command-line tool,
  // which must not interleave with another writer). False when not taken within `wait_ms`.
  bool LockScheduleFile(uint32_t wait_ms);
  void UnlockScheduleFile();
  // Reservations of the file that the last load dropped because they could never be recorded, one
  // line each ("Schedule_3: neither a date-time nor an event reservation").
  std::vector<std::string> LoadWarnings();
  // Writes the reservation list to the file (same path rule): with the stored path a SyncSchedule
  // that waits up to 10 s for the lock; a new path gets this list as it is. False when the file
  // could not be written (it then keeps what it had).
  bool SaveSchedule(const std::string& path = std::string());

  // 1 when `item` may be stored (no overlap with another reservation than the one at `skip`, or
  // the user agreed), 0 when the user refused. Only date-time candidates are checked.
  int CheckOverlap(const ScheduleItem& item, int skip);
  // Appends (index -1) or replaces the entry at `index`, after the overlap check, and re-sorts.
  // The question is asked without the lock; if the list changed meanwhile the check is repeated.
  // 1 stored, 0 not (bad index or refusal).
  int StoreItem(const ScheduleItem& item, int index);
  // Moves the entry at `index` to the finished list with state `mark` (a ST_ value), or drops it
  // with `mark` SI_DELETED. A daily or weekly entry is reserved again one day / one week later.
  // 0 for a bad index or the active entry.
  int RetireItem(uint32_t mark, int index);
  // True when the entry at `index` is the one being prepared or recorded.
  bool IsActiveItem(int index);
  // The delete command: a recording entry gets its recording ended at the next tick; a preparing
  // one is cancelled and any other is retired with SI_DELETED, a daily or weekly one continuing
  // with its next occurrence unless `keep_series` is false. 0 for a bad index.
  int DeleteItem(int index, bool keep_series = true);
  // Index of the entry that is the reservation `item` (reservation_match.h), found again after
  // the list may have changed since `item` was copied from it; -1 when it is gone.
  int FindItem(const ScheduleItem& item);
  // Replaces the reservation `original` (found as FindItem does, again after the overlap question)
  // with `edited`, after the overlap check that skips it. 1 stored, 0 refused by the user, -1 when
  // `original` is no longer in the list or is being prepared or recorded (nothing changed).
  int ReplaceItem(const ScheduleItem& original, const ScheduleItem& edited);
  // Discards the running and prepared recordings (closing their files; a failed write of the rest
  // is reported to the host) without retiring their reservations, which wait again; used at
  // shut-down.
  void StopRecording();
  // Empties the finished list.
  void ClearFinished();

  // The plan of the reservation list (MakePlan), one line per entry of Reservations() in its
  // order: event reservations with the times they are followed at, margins included.
  std::vector<PlanLine> Plan();
  // The reservation list, the span each asks for (margins included, as followed) and its plan,
  // taken together under the lock so that they belong to one list.
  struct PlannedList {
    std::vector<ScheduleItem> items;
    std::vector<PlanRequest> requests;
    std::vector<PlanLine> lines;
  };
  PlannedList PlannedReservations();
  // The margins given to new reservations (the options' defaults), seconds.
  void SetDefaultMargins(uint16_t before, uint16_t after);
  std::pair<uint16_t, uint16_t> DefaultMargins();
  // How long after its scheduled end (or, with none, its start) a followed event whose end is not
  // told is recorded at most, seconds (the options' value; default 3 hours).
  void SetFollowLimit(uint32_t seconds);
  uint32_t FollowLimit();

  // Copies of the lists and of the active reservation, for display.
  std::vector<ScheduleItem> Reservations();
  std::vector<ScheduleItem> Finished();
  // The finished list with the totals and the report of each recording.
  std::vector<FinishedRecording> FinishedRecordings();
  std::optional<ScheduleItem> ActiveItem();
  // File-system paths (UTF-8) of the open scheduled recordings, in the order they were prepared.
  std::vector<std::string> ActiveOutputPaths();
  // File-system path (UTF-8) of the first open scheduled recording, as created (an existing file of the
  // name is never replaced: the recording then has the next free name); empty when none is open.
  std::string ActiveOutputPath();
  // Excluded PIDs of a recording limited to `kept`: the elementary PIDs of the other programmes
  // that no kept programme uses, ascending.
  std::vector<uint16_t> ComputeExcludedPids(std::span<const uint16_t> kept);

 private:
  void Advance(MjdTime now);
  bool FindOverlapLocked(const ScheduleItem& item, int skip) const;
  // Writes the reports of the recordings that ended (outside the lock: a report is flushed to the disk).
  void WriteReports();
  bool Ask();
  // Stores `item` at the index `place` finds under the lock (-1: appended), after the overlap check
  // that skips that index; the question is asked without the lock, and asked again when the list
  // changed meanwhile. 1 stored, 0 refused by the user, `refused` when `place` finds none.
  int StoreAsking(const ScheduleItem& item, const std::function<std::optional<int>()>& place, int refused);
  void ApplyMergedLocked(std::vector<ScheduleItem> merged);

  SchedulerHost* const host_;
  std::recursive_mutex mutex_;
  ReservationFile file_;  // the reservation file: path, last merged list, lock
  std::string default_directory_;
  uint16_t default_margin_before_ = kDefaultMarginBefore;
  uint16_t default_margin_after_ = kDefaultMarginAfter;
  SchedulerState state_;  // the lists and the running recordings
  SchedulerTick tick_;    // what each tick decides over state_
  std::vector<std::string> load_warnings_;
  std::atomic<bool> question_pending_{false};
};

}  // namespace pelkan
