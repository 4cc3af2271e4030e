#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/settings.h"
#include "platform/listener_list.h"
#include "platform/sleep_inhibitor.h"
#include "schedule/recording_scheduler.h"
#include "ts/stream_listener.h"

namespace pelkan {

// What the command line says when the reservation file `path` was no reservation file (or one of
// which every section was dropped) and was moved aside to `kept_as` ("" when it could not be moved).
std::string KeptAsideText(const std::string& path, const std::string& kept_as);

// The margins of new reservations the options give (SCHEDULE_MARGIN_BEFORE, SCHEDULE_MARGIN_AFTER),
// held to their keys' ranges: before, after.
std::pair<uint16_t, uint16_t> NewReservationMargins(const Settings& settings);

// Wires a RecordingScheduler to a running capture: the scheduler hears the capture's stream on its
// bus (the whole-stream output, the tables, the breaks) and this object hears the processor's
// arrival and the capture's tick, whose clock it hands to the scheduler; the scheduler sets that
// output's filter, finds events in the processor's event store, and runs its ticks on the owning
// (UI or main-loop) thread through `post`. The capture session composes it for every front-end.
//
// Use: construct; Begin (reservations loaded) and Attach(app) at start-up; End at shut-down.
class ScheduledCapture : public SchedulerHost, public StreamListener {
 public:
  // Queues work for the owning thread (never runs it inside the call).
  using PostFn = std::function<void(std::function<void()>)>;
  // Asks whether an overlapping reservation is stored anyway; nullptr answers yes, so that a
  // daily or weekly series survives when nobody is there to be asked.
  using ConfirmFn = std::function<bool()>;

  // Tells the user that a scheduled recording stopped early (a failed write, a nearly full disk).
  using FailureFn = std::function<void(const RecordingFailure&)>;

  explicit ScheduledCapture(PostFn post, ConfirmFn confirm = nullptr, FailureFn failed = nullptr);
  ~ScheduledCapture() override;
  ScheduledCapture(const ScheduledCapture&) = delete;
  ScheduledCapture& operator=(const ScheduledCapture&) = delete;

  RecordingScheduler& scheduler() { return scheduler_; }
  // The capture device that a reservation's channel value and channel string go to when it is
  // prepared (not owned; null: nowhere). Owning thread.
  void SetDevice(core::CDTV_Base* device) { device_ = device; }
  // The capture whose figures (sync losses, overflows, failed transfers, broadcast clock) and
  // service names go into the reports of the scheduled recordings (not owned; null: none). Owning thread.
  void SetCaptureApp(CaptureApp* app) { app_ = app; }

  // Start-up: new reservations get `default_directory` (Shift-JIS, REC_AUTOPATH) and the
  // reservations are loaded from `schedule_path` (schedule.ini; none when empty). Owning thread.
  void Begin(const std::string& default_directory, const std::string& schedule_path);
  // Takes the options that concern reservations: the directory (REC_AUTOPATH) and the margins of
  // new reservations, and the limit of following an event whose end is not told. At start-up and
  // whenever the options change. Owning thread.
  void ApplySettings(const Settings& settings);
  // Lets `app` drive the scheduler from now on (its device takes the reservations' channels, its
  // figures and service names go into the reports, its bus carries the stream to the scheduler).
  // While `app` is disconnected. Owning thread.
  void Attach(CaptureApp& app);
  // Shut-down, once (later calls return the first result): leaves the application it was attached
  // to (which must be disconnected), detaches the processor, ends a running recording (its file is
  // closed; the reservation stays waiting) and saves the reservation list when one was loaded.
  // False when it cannot be saved.
  bool End();

  // Uses `processor` (not owned, its whole-stream output already created) from now on; nullptr
  // detaches (before the processor is destroyed, after its last event). Detaching waits for a
  // filter change or an event look-up running on another thread, so the processor is no longer
  // used once it returns. Any thread (not from inside this object's SchedulerHost calls); the
  // processing thread itself is the natural caller. Detaching also lets the computer sleep again
  // (nothing records without a capture); the first tick after the next attach decides anew.
  void AttachProcessor(TsProcessor* processor);
  // The heartbeat's clock for the scheduler's tick, which then runs through `post` (owning thread).
  void PostClock(MjdTime now) { scheduler_.PostClock(now); }
  // StreamListener: the processor's arrival and departure (AttachProcessor), and the capture's
  // tick: while processing, the machine's clock (SCHEDULE_USE_SYSTEM_TIME of the attached
  // capture) or the broadcast's once known goes to PostClock, and the schedule's text to the
  // status bar.
  void OnProcessor(TsProcessor* processor) override { AttachProcessor(processor); }
  void OnTick(StreamTick& tick) override;
  // The scheduler's status text in UTF-8.
  std::string StatusUtf8();

  // Runs `listener` on the owning thread whenever the reservation or finished list changed (the
  // list window rebuilds); nullptr for none. Owning thread.
  void SetScheduleChangedListener(std::function<void()> listener) { changed_ = std::move(listener); }
  // Tells the user that the reservation file was no reservation file and has been moved aside
  // (SchedulerHost::OnScheduleFileKeptAside); nullptr for nobody. Owning thread.
  using KeptAsideFn = std::function<void(const std::string& path, const std::string& kept_as)>;
  void SetKeptAsideListener(KeptAsideFn listener) { kept_aside_ = std::move(listener); }
  // Runs `listener` on the owning thread for every reservation that ended at its time
  // (SchedulerHost::OnReservationEnded: recorded, cut short, missed or gone), after the listeners
  // added before it: the rules' history, the command after each recording, the notifications, the
  // command line's count of failures. Returns the id that removes it. Owning thread.
  using EndedFn = std::function<void(const FinishedRecording&)>;
  int AddReservationEndedListener(EndedFn listener) { return ended_listeners_.Add(std::move(listener)); }
  void RemoveReservationEndedListener(int id) { ended_listeners_.Remove(id); }
  // Replaces the overlap question given at construction: the reservation list window asks it
  // (nullptr: yes). Owning thread.
  void SetConfirm(ConfirmFn confirm) { confirm_ = std::move(confirm); }

  // SchedulerHost. The look-ups use the attached processor under the lock that attaches and
  // detaches it; without a processor they find nothing.
  bool LookupProgramme(uint16_t network_id, uint16_t stream_id, uint16_t service_id, uint16_t event_id,
                       ProgrammeEvent* out) override;
  bool LookupProgrammeAt(uint16_t service_id, MjdTime t, ProgrammeEvent* out) override;
  EventStore::PresentFollowing LookupPresentFollowing(uint16_t service_id) override;
  void OnRecordingFailed(const RecordingFailure& failure) override;
  void OnScheduleFileKeptAside(const std::string& path, const std::string& kept_as) override;
  void Post(std::function<void()> work) override;
  bool ConfirmOverlap() override;
  uint32_t DeviceCapabilities() override;
  void SetChannel(uint8_t channel) override;
  void SendString(std::string_view text) override;
  void OnScheduleChanged() override;
  void OnReservationEnded(const FinishedRecording& ended) override;
  // Holds a sleep inhibitor with `why` while a processor is attached; releases it otherwise.
  void KeepAwake(const std::string& why) override;
  CaptureSample SampleCapture() override;
  std::string ServiceName(uint16_t service_id) override;

 private:
  PostFn post_;
  ConfirmFn confirm_;
  std::function<void()> changed_;
  FailureFn failed_;
  KeptAsideFn kept_aside_;
  platform::ListenerList<FinishedRecording> ended_listeners_;
  // Guards processor_ and every use of it: taken after the scheduler's lock, before the
  // processor's own locks.
  std::mutex processor_mutex_;
  TsProcessor* processor_ = nullptr;
  core::CDTV_Base* device_ = nullptr;
  // Guards attached_ and the inhibitor's changes (ticks on the owning thread, detaching on the
  // processing thread), so that a tick run after the detach cannot take the lock again.
  std::mutex awake_mutex_;
  bool attached_ = false;
  platform::SleepInhibitor awake_;
  CaptureApp* app_ = nullptr;
  bool attached_to_app_ = false;
  std::optional<bool> ended_;
  RecordingScheduler scheduler_{this};
};

}  // namespace pelkan
