#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/recording_hooks.h"
#include "app/scheduled_capture.h"
#include "core/capture_app.h"
#include "core/settings.h"
#include "output/http_stream_server.h"
#include "rules/rule_runner.h"

namespace pelkan {

class Dispatcher;
class GuideCollector;
class LibraryFeed;
class RuleAutomation;
class RuleFiles;
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
  // The recordings' catalogue (library.sqlite; none when empty): every recording enters it, and
  // its housekeeping keeps the disk free (AUTO_DELETE).
  std::string library_path;
};

// One capture session, whoever runs it (the desktop program, `pelkan-cli capture`, the recorder
// service): the capture application with its device pipeline, the filtering window's model, the
// recording scheduler, the automatic reservation rules, what follows each recording (command,
// notifications, wake alarm), the guide's collector and the HTTP server with all its pages. The
// front-end chooses the options, loads the settings into settings(), hands the device over and
// calls Begin, which starts the heartbeat; End stops it. The front-end shows what the status
// listener and the SessionFront hear.
//
// The heartbeat: one timer on the owning thread's dispatcher, each beat doing what is due. While
// the capture is connected, every kStatusMs, the capture's status refresh, which ticks the stream
// bus (the scheduler's clock, the filtering window's programmes, the manual recording's stops, the
// status texts); with the reservation file followed, every kFileMs its sync, and every kPlanMs the
// plan's wake alarm and disk check and the rules' run, which a worker thread does. A beat comes
// only when something is due. Owning thread.
class CaptureSession : private StreamListener {
 public:
  static constexpr uint32_t kStatusMs = CaptureApp::kRefreshIntervalMs;
  static constexpr uint32_t kFileMs = 500;
  static constexpr uint32_t kPlanMs = 5000;

  CaptureSession(Dispatcher& dispatcher, UserMessages* messages, SessionOptions options,
                 SessionFront* front = nullptr);
  // End, then everything goes (the hooks last: the last recording's command is queued).
  ~CaptureSession() override;
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  CaptureApp& app() { return *app_; }
  Settings& settings();
  ServiceFilterWindow& services() { return *services_; }
  // The scheduler wired to the capture; null without SessionOptions::schedule.
  ScheduledCapture* schedule() { return schedule_.get(); }
  RecordingHooks& hooks() { return *hooks_; }
  // The recordings' catalogue; null without SessionOptions::library_path.
  LibraryFeed* library() { return library_.get(); }
  // The rules' and the guide's files (SessionOptions::rules_path, guide_path) as the program's
  // users of the rules share them: the rule windows take them from here.
  RuleFiles& rule_files() { return *files_; }
  // What the guide's collector says while it cannot write the guide (Shift-JIS; "" while it writes,
  // and without SessionOptions::collect_guide).
  std::string GuideStatusText() const;
  // True when the reservations were read from their file (and the rules run).
  bool schedule_followed() const { return schedule_ != nullptr && !options_.schedule_path.empty(); }

  // After the settings are loaded and the device is set, while disconnected: loads the
  // reservations, composes the rest and starts the heartbeat.
  void Begin();
  // Runs the rules now and returns when the run is done (the rule window changed one and shows
  // what it reserved); nothing when they do not run.
  void RunRulesNow();
  // Returns once the rules' worker is idle (a capture's end, tests).
  void WaitForRules();
  // Shut-down, once: stops the heartbeat, disconnects, writes the rules' history still waiting,
  // closes a running scheduled recording (its reservation stays) and writes the reservation file.
  // False when the file cannot be written. Later calls return the first result.
  bool End();

 private:
  // One duty of the heartbeat, due every `period` ms from its first beat on.
  class Pace {
   public:
    explicit Pace(uint32_t period) : period_(period) {}
    // True when due at `now` (a timer's rounding of a few ms early counts); the next is one
    // period after this one, or after `now` when the beats fell behind.
    bool Due(uint32_t now);
    // Milliseconds from `now` until it is due (0 when it is).
    uint32_t Until(uint32_t now) const;
    // The next beat is due at once.
    void Restart() { started_ = false; }

   private:
    uint32_t period_;
    uint32_t next_ = 0;
    bool started_ = false;
  };

  GuideTime RulesClock() const;
  // One beat: does what is due, then arms the next.
  void Beat();
  // Arms the heartbeat's timer for the first duty due (none while nothing can be due: the
  // capture's start arms it again). A timer armed before is dropped.
  void Arm(uint32_t now);
  // The capture started: its status is due at once.
  void OnCaptureStart() override;

  Dispatcher& dispatcher_;
  SessionOptions options_;
  SessionFront* front_;
  SessionFront no_front_;
  // Made before the application and gone after it: its last recording ends into them.
  std::unique_ptr<RecordingHooks> hooks_;
  // Likewise: the recordings that end with the application are completed in it.
  std::unique_ptr<LibraryFeed> library_;
  std::unique_ptr<CaptureApp> app_;
  std::unique_ptr<ServiceFilterWindow> services_;
  std::unique_ptr<ServiceFilterBinding> binding_;
  // The rules' and the guide's files, shared by the rules, the rule windows and the HTTP pages.
  std::unique_ptr<RuleFiles> files_;
  std::unique_ptr<ScheduledCapture> schedule_;
  std::unique_ptr<RuleAutomation> rules_;
  std::unique_ptr<GuideCollector> guide_;
  std::optional<bool> ended_;
  bool write_failed_ = false;
  Pace status_pace_{kStatusMs};
  Pace file_pace_{kFileMs};
  Pace plan_pace_{kPlanMs};
  // The armed beat's number: an older timer does nothing. Checked by the posted beats, which do
  // nothing once the session is gone.
  uint64_t armed_ = 0;
  bool beating_ = false;
  std::shared_ptr<CaptureSession*> alive_;
};

}  // namespace pelkan
