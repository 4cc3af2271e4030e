#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {

// pelkan.ini of the home folder, or `path` (REC_AUTOPATH defaults to the file's folder, when it has
// a Shift-JIS form).
Settings LoadedSettings(const std::string& path = "");

// The plan of the home's schedule.ini (or `schedule_path`) without a capture: every reservation,
// an event's and a rule's at the time the guide (the home's, or `guide_path`) gives it, with its
// plan line.
RecordingScheduler::PlannedList PlannedListOfFile(const std::string& schedule_path = "",
                                                  const std::string& guide_path = "");

// A scheduler loaded from schedule.ini of the home folder, without a capture, with the options of
// pelkan.ini: how the command line and the web page change reservations. A change holds the
// file's lock from the reading to the writing, so that no other writer (a running capture, the
// windows, another command) comes between; the lock is a file lock, so it holds within one
// process as well.
struct OfflineSchedule {
  // What the schedule has to say (a file moved aside, the lock not had), in English.
  using TellFn = std::function<void(const std::string&)>;
  // The files it works on; empty: the home's schedule.ini and pelkan.ini.
  struct Files {
    std::string schedule;
    std::string settings;
  };

  OfflineSchedule(ScheduledCapture::ConfirmFn confirm, bool change = false, TellFn tell = nullptr,
                  uint32_t lock_wait_ms = kLockWaitMs, const Files& files = {});
  ~OfflineSchedule();
  OfflineSchedule(const OfflineSchedule&) = delete;
  OfflineSchedule& operator=(const OfflineSchedule&) = delete;
  RecordingScheduler& scheduler() { return capture.scheduler(); }
  // False: another process kept the file locked; said through `tell`, and nothing is to change.
  bool Locked();
  // The text of a lock not had.
  std::string LockedText() const;
  static constexpr uint32_t kLockWaitMs = 10000;
  std::string path;  // schedule.ini
  Settings settings;
  ScheduledCapture capture;
  TellFn tell;
  bool locked = false;
};

}  // namespace pelkan
