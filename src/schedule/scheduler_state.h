#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "output/recording.h"
#include "output/recording_report.h"
#include "schedule/schedule_item.h"
#include "schedule/scheduled_recording.h"
#include "ts/ts_events.h"

namespace pelkan {

class SchedulerHost;

// What RecordingScheduler's list operations and its tick engine (SchedulerTick) share: the
// reservation list, the finished list, the recordings running for the list's entries and what is
// known of the stream they record. Guarded by the scheduler's lock: every member is used with it
// held.
class SchedulerState {
 public:
  // `host` is not owned and must outlive the state.
  explicit SchedulerState(SchedulerHost* host) : host(host) {}

  // The list entry of a running recording (-1 when it left the list), and the recording of an entry.
  int IndexOfLocked(const ScheduledRecording& r) const;
  ScheduledRecording* RunningOfLocked(int index) const;
  // True when the entry at `index` is the one being prepared or recorded.
  bool IsActiveLocked(int index) const;
  // Appends (index < 0) or replaces the entry at `index` and re-sorts the list.
  void StoreLocked(const ScheduleItem& item, int index);
  // Moves the entry at `index` to the finished list with state `mark` (a ST_ value, with
  // `summary`), or drops it with SI_DELETED; the next occurrence of a daily or weekly entry goes
  // to `repetitions`. False for a bad index or the active entry.
  bool RetireLocked(uint32_t mark, int index, std::vector<ScheduleItem>* repetitions,
                    std::optional<RecordingSummary> summary = std::nullopt);
  // Tells the host, through a posted task, that the lists changed.
  void Changed();

  SchedulerHost* const host;
  // The recordings being prepared or recorded, in the order they were prepared.
  std::vector<std::unique_ptr<ScheduledRecording>> running;
  std::vector<ScheduleItem> reservations;
  std::vector<ScheduleItem> finished;
  std::vector<std::optional<RecordingSummary>> finished_summaries;  // one per finished entry
  std::vector<std::string> finished_why;                            // one per finished entry
  uint64_t generation = 0;  // bumped on every change of the reservation list
  std::vector<ProgramListEntry> pat_programs;
  std::map<uint16_t, std::vector<ComponentEntry>> components;
  uint16_t network_id = 0;
  uint16_t stream_id = 0;
  bool stream_broken = false;  // between BreakStream and ResumeStream
  MjdTime last_clock;
  // Recordings that have closed and whose reports are still to be written (WriteReports).
  std::vector<std::unique_ptr<Recording>> unwritten;
  // Status text of the last failed recording (Shift-JIS), shown until failure_until (instant).
  std::string failure_status;
  int64_t failure_until = 0;
  // Reset when the scheduler goes: work it posted to the host is then ignored.
  std::shared_ptr<int> alive = std::make_shared<int>(0);
};

}  // namespace pelkan
