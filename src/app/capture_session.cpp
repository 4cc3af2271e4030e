#include "app/capture_session.h"

#include <time.h>

#include "app/capture_bindings.h"
#include "app/chosen_services_binding.h"
#include "app/http_pages.h"
#include "app/http_tokens.h"
#include "app/rule_automation.h"
#include "core/capture_app.h"
#include "guide/guide_collector.h"
#include "info/service_filter_window.h"
#include "platform/dispatcher.h"

namespace pelkan {

CaptureSession::CaptureSession(Dispatcher& dispatcher, UserMessages* messages, SessionOptions options,
                               SessionFront* front)
    : dispatcher_(dispatcher), options_(std::move(options)), front_(front != nullptr ? front : &no_front_) {
  app_ = std::make_unique<CaptureApp>(&dispatcher_, messages);
  RecordingHooks::LogFn log = options_.hook_log ? options_.hook_log : [](const std::string&) {};
  // The hooks read the settings at each recording's end: those the front-end loads after this.
  hooks_ = std::make_unique<RecordingHooks>(std::move(log), options_.last_values_path, app_->settings());
  services_ = std::make_unique<ServiceFilterWindow>(dispatcher_);
  if (options_.pause_on_stream_change) {
    binding_ = std::make_unique<ChosenServicesBinding>(*services_, *app_, options_.pause_on_stream_change);
  } else {
    binding_ = std::make_unique<ServiceFilterBinding>(*services_, *app_);
  }
  app_->bus().Add(binding_.get());
  if (options_.schedule) {
    auto post = [this](std::function<void()> work) { dispatcher_.Post(std::move(work)); };
    schedule_ = std::make_unique<ScheduledCapture>(post, options_.confirm, [this](const RecordingFailure& failure) {
      front_->RecordingFailed(failure);
    });
    schedule_->SetKeptAsideListener([this](const std::string& path, const std::string& kept_as) {
      front_->ScheduleKeptAside(path, kept_as);
    });
  }
}

CaptureSession::~CaptureSession() {
  End();
}

Settings& CaptureSession::settings() {
  return app_->settings();
}

std::string CaptureSession::GuideStatusText() const {
  return guide_ ? guide_->StatusText() : std::string();
}

void CaptureSession::Begin() {
  Settings& settings = app_->settings();
  if (options_.collect_guide) {
    guide_ = std::make_unique<GuideCollector>(options_.guide_path,
                                              [this](const std::string& notice) { front_->GuideNotice(notice); });
    app_->bus().Add(guide_.get());
  }
  // Whoever starts the server (HTTP_ENABLED or --http), it answers every page.
  const OfflineSchedule::Files files{options_.schedule_path, options_.settings_path};
  app_->SetHttpPages(MakeHttpPages(*app_, options_.guide_path, guide_.get(), options_.rules_path, files),
                     options_.http_notice);
  if (!options_.http_tokens_path.empty()) {
    std::string error;
    if (const std::optional<HttpTokens> tokens = LoadHttpTokens(options_.http_tokens_path, &error)) {
      app_->SetHttpTokens(tokens->view, tokens->control);
    }
  }
  hooks_->Wire(app_.get(), schedule_.get());
  if (!schedule_) return;
  schedule_->ApplySettings(settings);
  schedule_->Begin(settings.rec_autopath, options_.schedule_path);
  schedule_->Attach(*app_);
  // After the rules' history and the hooks: the front-end hears the end last.
  schedule_->AddReservationEndedListener([this](const FinishedRecording& ended) { front_->ReservationEnded(ended); });
  if (!schedule_followed()) return;
  auto post = [this](std::function<void()> work) { dispatcher_.Post(std::move(work)); };
  rules_ = std::make_unique<RuleAutomation>(
      *schedule_, options_.rules_path, options_.guide_path,
      [this](const std::string& notice) { front_->RulesNotice(notice); }, post,
      [this](const RuleRunResult& result) { front_->RulesRan(result); });
}

GuideTime CaptureSession::RulesClock() const {
  // The rules judge what is past by the broadcast's own clock (the one the reservations are
  // recorded by), once the stream has told it.
  const MjdTime clock = app_->SampleCapture().broadcast_time;
  if (clock.date != 0) return ToGuideTime(clock);
  return options_.rules_by_machine_clock ? ToGuideTime(JapanTimeNow()) : 0;
}

void CaptureSession::Beat() {
  if (!schedule_followed() || ended_) return;
  if (const GuideTime now = RulesClock(); now != 0) rules_->Poll(now);
  if (const auto result = schedule_->PollScheduleFile()) {
    const bool failed = *result == RecordingScheduler::SyncResult::kFailed;
    if (failed != write_failed_) front_->ScheduleWriteFailed(failed);
    write_failed_ = failed;
  }
  hooks_->FollowPlan(*schedule_, app_.get(), ::time(nullptr));
}

void CaptureSession::RunRulesNow() {
  if (!rules_ || ended_) return;
  const GuideTime now = RulesClock();
  if (now == 0) return;
  rules_->Poll(now, true);
  // The user's own change shows its reservations at once, as the rule window refreshes after it.
  rules_->WaitIdle();
}

void CaptureSession::WaitForRules() {
  if (rules_) rules_->WaitIdle();
}

bool CaptureSession::End() {
  if (ended_) return *ended_;
  app_->Disconnect();
  // The history of the reservations that ended is written before the scheduler goes.
  rules_.reset();
  ended_ = schedule_ ? schedule_->End() : true;
  if (guide_) app_->bus().Remove(guide_.get());
  guide_.reset();
  app_->bus().Remove(binding_.get());
  return *ended_;
}

}  // namespace pelkan
