#pragma once

#include <cstdint>

#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "schedule/recording_scheduler.h"

namespace pelkan::cli {

// The name `pelkan-cli schedule` says its messages under.
inline constexpr char kScheduleCommandName[] = "pelkan-cli schedule";

// pelkan.ini of the home folder (REC_AUTOPATH defaults to the home, when it has a Shift-JIS form).
Settings LoadedSettings();

// The plan of the home's schedule.ini without a capture: every reservation (an event's and a rule's
// at the time the guide gives it) with its plan line.
RecordingScheduler::PlannedList PlannedListOfFile();

// A scheduler loaded from schedule.ini, without a capture, with the options of pelkan.ini. A change
// holds the file's lock from the reading to the writing, so that no other writer (a running
// `capture --schedule`) comes between.
struct OfflineSchedule {
  explicit OfflineSchedule(ScheduledCapture::ConfirmFn confirm, bool change = false);
  ~OfflineSchedule();
  OfflineSchedule(const OfflineSchedule&) = delete;
  OfflineSchedule& operator=(const OfflineSchedule&) = delete;
  RecordingScheduler& scheduler() { return capture.scheduler(); }
  // False: another process kept the file locked; say so and change nothing.
  bool Locked();
  static constexpr uint32_t kLockWaitMs = 10000;
  Settings settings = LoadedSettings();
  ScheduledCapture capture;
  bool locked = false;
};

}  // namespace pelkan::cli
