#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "schedule/event_follow.h"
#include "schedule/recording_failure.h"
#include "schedule/recording_plan.h"
#include "schedule/schedule_item.h"
#include "schedule/scheduled_recording.h"
#include "schedule/scheduler_host.h"
#include "schedule/scheduler_state.h"

namespace pelkan {

// The tick engine of RecordingScheduler: on each tick it follows the event reservations through
// the broadcast's tables, makes the plan (MakePlan) and ends, expires, prepares and starts the
// recordings it gives the tuner, working on the scheduler's SchedulerState. Every member is used
// with the scheduler's lock held, on the UI thread.
class SchedulerTick {
 public:
  // How long before a reservation starts the computer is kept awake for it, in seconds.
  static constexpr int64_t kAwakeAheadSeconds = 120;

  // What a tick leaves to do outside the lock.
  struct Outcomes {
    std::vector<RecordingFailure> failures;
    std::vector<ScheduleItem> repetitions;
    std::vector<FinishedRecording> ended;
  };

  // `state` is the scheduler's and must outlive the engine.
  explicit SchedulerTick(SchedulerState* state) : state_(*state) {}
  SchedulerTick(const SchedulerTick&) = delete;
  SchedulerTick& operator=(const SchedulerTick&) = delete;

  // Advances the lists to `now` (see RecordingScheduler::Tick); what the host is to hear of goes
  // to `out`.
  void AdvanceLocked(MjdTime now, Outcomes* out);
  // What keeps the computer awake at `now` (SchedulerHost::KeepAwake); empty when nothing does.
  std::string AwakeReasonLocked(MjdTime now) const;
  // The plan's requests of the list: the spans followed at the last tick when the list has not
  // changed since, and the running recordings' own starts.
  std::vector<PlanRequest> PlanRequestsLocked();
  // How long after its scheduled end (or, with none, its start) a followed event whose end is not
  // told is recorded at most, seconds.
  void SetFollowLimit(uint32_t seconds) { follow_limit_ = seconds; }
  uint32_t follow_limit() const { return follow_limit_; }

 private:
  // Event reservations starting within this many seconds (or recording) are followed tick by tick.
  static constexpr int64_t kFollowAhead = 6 * 3600;

  // The follow spans of the reservations (spans_, one per entry) at `t`.
  void FollowLocked(int64_t t);
  // The plan's requests of the list: followed spans, and the running recordings' own starts.
  std::vector<PlanRequest> RequestsLocked() const;
  void EndLocked(int64_t t, Outcomes* out);
  void EndRecordingLocked(int64_t t, ScheduledRecording* r, RecordingEnd how,
                          std::optional<RecordingFailure> failure, const std::string& reason, Outcomes* out);
  void ExpireLocked(int64_t t, Outcomes* out);
  void StartLocked(MjdTime now, Outcomes* out);
  // Sets the tuner to `tuning` (channel value and string of `entry`) unless it is there already.
  void Tune(const ScheduleItem& entry, const std::string& tuning);
  static std::string FollowKey(const ScheduleItem& item);
  void ResolveOneLocked();
  // Takes the services' names and programmes on air into the running recordings' reports.
  void NoteCaptureLocked(MjdTime now);

  SchedulerState& state_;
  uint32_t follow_limit_ = 3 * 3600;
  // What the following knows of each event reservation, by FollowKey.
  std::map<std::string, FollowState> follow_;
  // The follow spans of the last tick, one per entry of the reservations (nullopt: not followed).
  std::vector<std::optional<FollowSpan>> spans_;
  uint64_t spans_generation_ = 0;
  std::vector<PlanLine> last_plan_;   // the plan as the host last heard of it (Changed)
  std::optional<std::string> tuned_;  // the tuning last set (PlanRequest::tuning)
};

}  // namespace pelkan
