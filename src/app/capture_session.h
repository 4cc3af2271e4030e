#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/recording_hooks.h"
#include "app/scheduled_capture.h"
#include "core/settings.h"
#include "output/http_stream_server.h"
#include "rules/rule_runner.h"

namespace pelkan {

class CaptureApp;
class Dispatcher;
class GuideCollector;
class RuleAutomation;
class ServiceFilterBinding;
class ServiceFilterWindow;
class UserMessages;

// What a front-end shows of the session's work. Owning thread unless said otherwise; every one
// does nothing by default.
class SessionFront {
 public:
  virtual ~SessionFront() = default;
  // A scheduled recording stopped early (a failed write, a nearly full disk) or could not create
  // its file.
  virtual void RecordingFailed(const RecordingFailure& /*failure*/) {}
  // A reservation ended at its time and left the list (after the rules' history and the hooks
  // heard of it).
  virtual void ReservationEnded(const FinishedRecording& /*ended*/) {}
  // The reservation file was no reservation file and was moved aside to `kept_as` ("" when it
  // could not be moved).
  virtual void ScheduleKeptAside(const std::string& /*path*/, const std::string& /*kept_as*/) {}
  // The reservation file cannot be written (`failed`), or can again; told when it changes.
  virtual void ScheduleWriteFailed(bool /*failed*/) {}
  // The rules file was damaged and renamed aside (UTF-8). Any thread.
  virtual void RulesNotice(const std::string& /*text*/) {}
  // What a run of the rules did.
  virtual void RulesRan(const RuleRunResult& /*result*/) {}
  // The guide's file was renamed aside, or could not take what was received (Shift-JIS). Any thread.
  virtual void GuideNotice(const std::string& /*text*/) {}
};

// What a front-end chooses of a session.
struct SessionOptions {
  // With the recording scheduler; its reservations come from `schedule_path` (schedule.ini; none
  // when empty: then the file is neither followed nor written, and no rule runs).
  bool schedule = false;
  std::string schedule_path;
  // The overlap question of a repeated reservation (nullptr: stored without asking).
  ScheduledCapture::ConfirmFn confirm;
  // The programme guide's file: filled from the stream when `collect_guide`, served as /guide.xml,
  // read by the rules.
  std::string guide_path;
  bool collect_guide = false;
  // The automatic reservation rules' file (rules.sqlite). They run by the broadcast's clock once
  // it is known, before that by the machine's when `rules_by_machine_clock`.
  std::string rules_path;
  bool rules_by_machine_clock = false;
  // What follows every recording: the log of REC_END_COMMAND and the notifications, and the file
  // of the last recording's values ("" for none).
  RecordingHooks::LogFn hook_log;
  std::string last_values_path;
  // Told of each HTTP stream client's arrival and departure (the library's thread).
  HttpStreamServer::ClientNotice http_notice;
  // pelkan.ini, whose settings the web page's new reservations take (empty: the home's).
  std::string settings_path;
  // The HTTP server's tokens (http-tokens beside pelkan.ini, made when missing); empty: none, and
  // the server then takes no change.
  std::string http_tokens_path;
  // Set for a capture limited to chosen services: a change of transport stream pauses the recording
  // and the sending (the file stays open) until a chosen service is back, each turn told through it
  // (ChosenServicesBinding).
  std::function<void(const std::string&)> pause_on_stream_change;
};

// One capture session, whoever runs it (the desktop program, `pelkan-cli capture`, the recorder
// service): the capture application with its device pipeline, the filtering window's model, the
// recording scheduler, the automatic reservation rules, what follows each recording (command,
// notifications, wake alarm), the guide's collector and the HTTP server with all its pages. The
// front-end chooses the options, loads the settings into settings(), hands the device over and
// calls Begin; it runs Beat every kBeatMs and shows what the SessionFront hears.
//
// The heartbeat: the capture's status refresh (every kRefreshIntervalMs while data flows, and
// whenever the front-end refreshes) ticks the stream bus: the scheduler's clock, the filtering
// window's programmes, the manual recording's stops and the status texts. Beat, the front-end's
// one timer, follows the reservation file (ScheduledCapture::kPollMs), the plan's wake alarm and
// disk check (RecordingHooks::kPlanLookMs) and asks for the rules' run (RuleAutomation::kCheckMs),
// which a worker thread does. Owning thread.
class CaptureSession {
 public:
  static constexpr uint32_t kBeatMs = ScheduledCapture::kPollMs;

  CaptureSession(Dispatcher& dispatcher, UserMessages* messages, SessionOptions options,
                 SessionFront* front = nullptr);
  // End, then everything goes (the hooks last: the last recording's command is queued).
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  CaptureApp& app() { return *app_; }
  Settings& settings();
  ServiceFilterWindow& services() { return *services_; }
  // The scheduler wired to the capture; null without SessionOptions::schedule.
  ScheduledCapture* schedule() { return schedule_.get(); }
  RecordingHooks& hooks() { return *hooks_; }
  // What the guide's collector says while it cannot write the guide (Shift-JIS; "" while it writes,
  // and without SessionOptions::collect_guide).
  std::string GuideStatusText() const;
  // True when the reservations were read from their file (and the rules run).
  bool schedule_followed() const { return schedule_ != nullptr && !options_.schedule_path.empty(); }

  // After the settings are loaded and the device is set, while disconnected: loads the
  // reservations and composes the rest.
  void Begin();
  // The heartbeat of the front-end's timer (see above).
  void Beat();
  // Runs the rules now and returns when the run is done (the rule window changed one and shows
  // what it reserved); nothing when they do not run.
  void RunRulesNow();
  // Returns once the rules' worker is idle (a capture's end, tests).
  void WaitForRules();
  // Shut-down, once: disconnects, writes the rules' history still waiting, closes a running
  // scheduled recording (its reservation stays) and writes the reservation file. False when the
  // file cannot be written. Later calls return the first result.
  bool End();

 private:
  GuideTime RulesClock() const;

  Dispatcher& dispatcher_;
  SessionOptions options_;
  SessionFront* front_;
  SessionFront no_front_;
  // Made before the application and gone after it: its last recording ends into them.
  std::unique_ptr<RecordingHooks> hooks_;
  std::unique_ptr<CaptureApp> app_;
  std::unique_ptr<ServiceFilterWindow> services_;
  std::unique_ptr<ServiceFilterBinding> binding_;
  std::unique_ptr<ScheduledCapture> schedule_;
  std::unique_ptr<RuleAutomation> rules_;
  std::unique_ptr<GuideCollector> guide_;
  std::optional<bool> ended_;
  bool write_failed_ = false;
};

}  // namespace pelkan
