#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/settings.h"
#include "platform/sleep_inhibitor.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {

// What the command line says when the reservation file `path` was no reservation file (or one of
// which every section was dropped) and was moved aside to `kept_as` ("" when it could not be moved).
std::string KeptAsideText(const std::string& path, const std::string& kept_as);

// The margins of new reservations the options give (SCHEDULE_MARGIN_BEFORE, SCHEDULE_MARGIN_AFTER),
// held to their keys' ranges: before, after.
std::pair<uint16_t, uint16_t> NewReservationMargins(const Settings& settings);

// Wires a RecordingScheduler to a running capture: the application hands it the scheduled
// recordings' processor output, the tables it follows and the heartbeat's clock (ScheduleEngine);
// the scheduler sets that output's filter, finds events in the processor's event store, and runs
// its ticks on the owning (UI or main-loop) thread through `post`. The one piece that both
// `pelkan-cli capture --schedule` and the desktop program use.
//
// Use: construct; Begin (reservations loaded) and Attach(app) at start-up; End at shut-down.
class ScheduledCapture : public SchedulerHost, public ScheduleEngine {
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
  // figures and service names go into the reports). While `app` is disconnected. Owning thread.
  void Attach(CaptureApp& app);
  // Shut-down, once (later calls return the first result): leaves the application it was attached
  // to (which must be disconnected), detaches the processor, ends a running recording (its file is
  // closed; the reservation stays waiting) and saves the reservation list when one was loaded.
  // False when it cannot be saved.
  bool End();

  // ScheduleEngine. AttachProcessor uses `processor` (not owned, its scheduled-recording output
  // already created) from now on; nullptr detaches (before the processor is destroyed, after its
  // last event). Detaching waits for a filter change or an event look-up running on another
  // thread, so the processor is no longer used once it returns. Any thread (not from inside this
  // object's SchedulerHost calls); the processing thread itself is the natural caller. Detaching
  // also lets the computer sleep again (nothing records without a capture); the first tick after
  // the next attach decides anew. The table and packet operations go to the scheduler's own
  // (processing thread); PostClock hands the heartbeat's clock to the scheduler, whose tick then
  // runs through `post` (owning thread).
  void AttachProcessor(TsProcessor* processor) override;
  void SetNetworkId(uint16_t network_id) override { scheduler_.SetNetworkId(network_id); }
  void OnStreamReset(uint16_t transport_stream_id) override { scheduler_.OnStreamReset(transport_stream_id); }
  void OnComponentList(uint16_t program_number, const ComponentEntry* components, uint32_t count) override {
    scheduler_.OnComponentList(program_number, components, components == nullptr ? 0 : count);
  }
  void OnProgramList(const ProgramListEntry* programs, uint32_t count) override {
    scheduler_.OnProgramList(programs, programs == nullptr ? 0 : count);
  }
  void ReceivePacket(const uint8_t* packet, uint32_t length) override { scheduler_.ReceivePacket(packet, length); }
  void BreakStream() override { scheduler_.BreakStream(); }
  void ResumeStream() override { scheduler_.ResumeStream(); }
  void PostClock(MjdTime now) override { scheduler_.PostClock(now); }
  std::string GetScheduleStatus() override { return scheduler_.GetScheduleStatus(); }
  // Takes over the changes other processes made to the reservation file and writes this side's
  // own changes (RecordingScheduler::SyncSchedule, without waiting for the lock), at most every
  // kPollMs; call it often from the owning thread, also while no data arrives. Returns the result,
  // or nullopt when it was not yet time.
  static constexpr uint32_t kPollMs = 500;
  std::optional<RecordingScheduler::SyncResult> PollScheduleFile();
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
  // (SchedulerHost::OnReservationEnded: recorded, cut short, missed or gone); nullptr for none.
  // The automatic reservation rules keep their history with it. Owning thread.
  using EndedFn = std::function<void(const FinishedRecording&)>;
  void SetReservationEndedListener(EndedFn listener) { ended_listener_ = std::move(listener); }
  // A second such listener, for what runs after every recording (the command, the notifications).
  void SetReservationEndedHook(EndedFn hook) { ended_hook_ = std::move(hook); }
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
  EndedFn ended_listener_;
  EndedFn ended_hook_;
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
  uint32_t last_poll_ = 0;
  bool polled_ = false;
  RecordingScheduler scheduler_{this};
};

}  // namespace pelkan
