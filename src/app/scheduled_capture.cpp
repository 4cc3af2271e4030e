#include "app/scheduled_capture.h"

#include <algorithm>

#include "core/capture_app.h"
#include "core/dtv_base.h"
#include "platform/profile.h"
#include "platform/text_codec.h"
#include "schedule/schedule_file.h"
#include "ts/ts_processor.h"

namespace pelkan {

std::string KeptAsideText(const std::string& path, const std::string& kept_as) {
  // A reservation file of which every section was dropped is no other program's file: said so.
  std::string text;
  const bool dropped = platform::ReadFileContents(kept_as.empty() ? path : kept_as, &text) && IsScheduleText(text);
  const std::string what =
      dropped ? path + " holds no reservation that can be recorded (every section of it was dropped)"
              : path + " is not a reservation file (it has no [Pelkan_Schedule] section)";
  if (kept_as.empty()) return what + " and cannot be moved aside: it is left as it is and not written";
  return what + ": kept as " + kept_as + "; a new reservation file takes its place";
}

std::pair<uint16_t, uint16_t> NewReservationMargins(const Settings& settings) {
  return {static_cast<uint16_t>(
              SettingKeyOf(&Settings::schedule_margin_before).Clamp(settings.schedule_margin_before)),
          static_cast<uint16_t>(
              SettingKeyOf(&Settings::schedule_margin_after).Clamp(settings.schedule_margin_after))};
}

ScheduledCapture::ScheduledCapture(PostFn post, ConfirmFn confirm, FailureFn failed)
    : post_(std::move(post)), confirm_(std::move(confirm)), failed_(std::move(failed)) {}

ScheduledCapture::~ScheduledCapture() = default;

void ScheduledCapture::Begin(const std::string& default_directory, const std::string& schedule_path) {
  scheduler_.SetDefaultDirectory(default_directory);
  if (!schedule_path.empty()) scheduler_.LoadSchedule(schedule_path);
}

void ScheduledCapture::ApplySettings(const Settings& settings) {
  scheduler_.SetDefaultDirectory(settings.rec_autopath);
  const auto [before, after] = NewReservationMargins(settings);
  scheduler_.SetDefaultMargins(before, after);
  scheduler_.SetFollowLimit(
      static_cast<uint32_t>(
          SettingKeyOf(&Settings::schedule_follow_limit).Clamp(settings.schedule_follow_limit)) *
      60);
}

void ScheduledCapture::Attach(CaptureApp& app) {
  SetDevice(app.device());
  SetCaptureApp(&app);
  app.bus().Add(&scheduler_);
  app.bus().Add(this);
  attached_to_app_ = true;
}

bool ScheduledCapture::End() {
  if (ended_) return *ended_;
  if (attached_to_app_ && app_ != nullptr) {
    app_->bus().Remove(this);
    app_->bus().Remove(&scheduler_);
  }
  attached_to_app_ = false;
  AttachProcessor(nullptr);
  scheduler_.StopRecording();
  ended_ = scheduler_.SaveSchedule();
  return *ended_;
}

void ScheduledCapture::OnTick(StreamTick& tick) {
  if (!tick.processing) return;
  if (app_ != nullptr && app_->settings().schedule_use_system_time) {
    PostClock(UnpackMjdTime(LocalMjdTime()));
  } else if (tick.broadcast.date != 0) {
    PostClock(tick.broadcast);
  } else {
    return;
  }
  tick.schedule_status = scheduler_.GetScheduleStatus();
}

void ScheduledCapture::AttachProcessor(TsProcessor* processor) {
  {
    std::lock_guard lock(processor_mutex_);
    processor_ = processor;
  }
  std::lock_guard awake(awake_mutex_);
  attached_ = processor != nullptr;
  if (!attached_) awake_.Release();
}

std::string ScheduledCapture::StatusUtf8() {
  return platform::SjisToUtf8(scheduler_.GetScheduleStatus());
}

bool ScheduledCapture::LookupProgramme(uint16_t network_id, uint16_t stream_id, uint16_t service_id,
                                       uint16_t event_id, ProgrammeEvent* out) {
  std::lock_guard lock(processor_mutex_);
  TsProcessor* p = processor_;
  if (p == nullptr) return false;
  const auto ev = p->FindEventById(network_id, stream_id, service_id, event_id);
  if (!ev) return false;
  *out = *ev;
  return true;
}

bool ScheduledCapture::LookupProgrammeAt(uint16_t service_id, MjdTime t, ProgrammeEvent* out) {
  std::lock_guard lock(processor_mutex_);
  TsProcessor* p = processor_;
  if (p == nullptr) return false;
  const auto ev = p->FindEventAt(service_id, t, 0);
  if (!ev) return false;
  *out = *ev;
  return true;
}

EventStore::PresentFollowing ScheduledCapture::LookupPresentFollowing(uint16_t service_id) {
  std::lock_guard lock(processor_mutex_);
  TsProcessor* p = processor_;
  if (p == nullptr) return {};
  return p->event_store().FindPresentFollowing(service_id);
}

void ScheduledCapture::OnRecordingFailed(const RecordingFailure& failure) {
  if (failed_) failed_(failure);
}

void ScheduledCapture::OnScheduleFileKeptAside(const std::string& path, const std::string& kept_as) {
  if (kept_aside_) kept_aside_(path, kept_as);
}

void ScheduledCapture::Post(std::function<void()> work) {
  post_(std::move(work));
}

bool ScheduledCapture::ConfirmOverlap() {
  return confirm_ ? confirm_() : true;
}

uint32_t ScheduledCapture::DeviceCapabilities() {
  return device_ ? static_cast<uint32_t>(device_->GetCapabilities()) : 0;
}

void ScheduledCapture::SetChannel(uint8_t channel) {
  if (device_) device_->SetChannel(channel);
}

void ScheduledCapture::SendString(std::string_view text) {
  if (device_) device_->SendString(std::string(text).c_str());
}

void ScheduledCapture::OnScheduleChanged() {
  if (changed_) changed_();
}

void ScheduledCapture::OnReservationEnded(const FinishedRecording& ended) {
  ended_listeners_.Call(ended);
}

void ScheduledCapture::KeepAwake(const std::string& why) {
  std::lock_guard lock(awake_mutex_);
  if (attached_ && !why.empty()) {
    awake_.Hold(why);
  } else {
    awake_.Release();
  }
}

CaptureSample ScheduledCapture::SampleCapture() {
  return app_ ? app_->SampleCapture() : CaptureSample{};
}

std::string ScheduledCapture::ServiceName(uint16_t service_id) {
  return app_ ? app_->ServiceName(service_id) : std::string();
}

}  // namespace pelkan
