#pragma once

#include <memory>
#include <string>

#include "app/rule_automation.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"

namespace pelkan {

class CaptureApp;
class Dispatcher;

// Scheduled recording for a headless capture (`pelkan-cli capture --schedule`): loads the
// reservations of `schedule_path`, lets `app` drive the scheduler (output 1, heartbeat, the
// status bar's schedule text), and records every reservation as it comes due, beside any manual
// recording. Changes that `pelkan-cli schedule` makes to the file meanwhile are taken over within a
// second, and this side's changes (finished reservations, repetitions) are written when they
// happen. An overlapping repetition of a daily or weekly reservation is stored without a
// question (nobody is there to answer) and reported on stderr. The automatic reservation rules
// (rules.sqlite of the home) run once the broadcast clock is known and whenever the guide or the
// rules change.
//
// Create it while `app` is disconnected and destroy it after Disconnect: destruction detaches it
// from the application, closes a running scheduled recording and writes the reservation file.
class HeadlessSchedule {
 public:
  HeadlessSchedule(CaptureApp& app, Dispatcher& dispatcher, const Settings& settings,
                   std::string schedule_path);
  ~HeadlessSchedule();
  HeadlessSchedule(const HeadlessSchedule&) = delete;
  HeadlessSchedule& operator=(const HeadlessSchedule&) = delete;

  ScheduledCapture& capture() { return capture_; }
  // Scheduled recordings stopped early by a failed write or a nearly full disk, or that could not
  // create their file (each said on stderr).
  int Failures() const { return failures_; }
  // Exchanges changes with the reservation file (ScheduledCapture::PollScheduleFile) and runs the
  // rules when they or the guide changed (RuleAutomation::Poll); call it from
  // every pass of the main loop. A file that cannot be written is said on stderr (once until it
  // can be written again).
  void Poll();
  // Writes the reservation file now (also done at destruction). False when it cannot be written.
  bool Save();
  // What destruction does, with its result: detaches from the application, closes a running
  // scheduled recording and writes the reservation file. False when the file cannot be written
  // (also said on stderr). Once only: later calls (and the destructor) return the first result.
  // After Disconnect.
  bool Finish();

 private:
  bool finished_ = false;
  bool saved_ = false;
  int failures_ = 0;
  bool write_failed_ = false;
  ScheduledCapture capture_;
  RuleAutomation rules_;
};

}  // namespace pelkan
