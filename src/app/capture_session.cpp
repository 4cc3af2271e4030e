#include "app/capture_session.h"

#include <time.h>

#include <algorithm>
#include <limits>

#include "app/capture_bindings.h"
#include "app/chosen_services_binding.h"
#include "app/http_pages.h"
#include "app/http_tokens.h"
#include "app/library_feed.h"
#include "app/rule_automation.h"
#include "app/rule_files.h"
#include "core/capture_app.h"
#include "guide/guide_collector.h"
#include "info/service_filter_window.h"
#include "platform/clock.h"
#include "platform/dispatcher.h"

namespace pelkan {

CaptureSession::CaptureSession(Dispatcher& dispatcher, UserMessages* messages, SessionOptions options,
                               SessionFront* front)
    : dispatcher_(dispatcher),
      options_(std::move(options)),
      front_(front != nullptr ? front : &no_front_),
      alive_(std::make_shared<CaptureSession*>(this)) {
  app_ = std::make_unique<CaptureApp>(&dispatcher_, messages);
  files_ = std::make_unique<RuleFiles>(options_.rules_path, options_.guide_path);
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
  if (!options_.library_path.empty()) {
    RecordingHooks::LogFn log = options_.hook_log ? options_.hook_log : [](const std::string&) {};
    library_ = std::make_unique<LibraryFeed>(options_.library_path, settings, std::move(log),
                                             [this](const std::string& text) { hooks_->Notify({"録画済み", text, "", false}); });
  }
  // Whoever starts the server (HTTP_ENABLED or --http), it answers every page.
  const OfflineSchedule::Files files{options_.schedule_path, options_.settings_path};
  HttpLibrarySource recordings{options_.library_path, nullptr};
  if (library_) {
    recordings.writing = [writing = library_->writing()](const std::string& file) { return writing->Holds(file); };
  }
  app_->SetHttpPages(MakeHttpPages(*app_, *files_, guide_.get(), options_.guide_path, options_.rules_path, files,
                                   std::move(recordings)),
                     options_.http_notice);
  if (!options_.http_tokens_path.empty()) {
    std::string error;
    if (const std::optional<HttpTokens> tokens = LoadHttpTokens(options_.http_tokens_path, &error)) {
      app_->SetHttpTokens(tokens->view, tokens->control);
    }
  }
  hooks_->Wire(app_.get(), schedule_.get());
  if (library_) library_->Wire(app_.get(), schedule_.get());
  // The capture's start restarts the heartbeat's status.
  app_->bus().Add(this);
  if (schedule_) {
    schedule_->ApplySettings(settings);
    schedule_->Begin(settings.rec_autopath, options_.schedule_path);
    schedule_->Attach(*app_);
    // After the rules' history and the hooks: the front-end hears the end last.
    schedule_->AddReservationEndedListener(
        [this](const FinishedRecording& ended) { front_->ReservationEnded(ended); });
  }
  if (schedule_followed()) {
    auto post = [this](std::function<void()> work) { dispatcher_.Post(std::move(work)); };
    rules_ = std::make_unique<RuleAutomation>(
        *schedule_, *files_, [this](const std::string& notice) { front_->RulesNotice(notice); }, post,
        [this](const RuleRunResult& result) { front_->RulesRan(result); });
  }
  // The file and the plan are due from the start, connected or not.
  beating_ = true;
  Arm(platform::TickCount());
}

GuideTime CaptureSession::RulesClock() const {
  // The rules judge what is past by the broadcast's own clock (the one the reservations are
  // recorded by), once the stream has told it.
  const MjdTime clock = app_->SampleCapture().broadcast_time;
  if (clock.date != 0) return ToGuideTime(clock);
  return options_.rules_by_machine_clock ? ToGuideTime(JapanTimeNow()) : 0;
}

bool CaptureSession::Pace::Due(uint32_t now) {
  // A timer may fire this much before the tick it was armed for reads the same time.
  constexpr uint32_t kEarlyMs = 5;
  if (started_ && static_cast<int32_t>(now + kEarlyMs - next_) < 0) return false;
  const bool behind = !started_ || static_cast<int32_t>(now - next_) >= static_cast<int32_t>(period_);
  next_ = behind ? now + period_ : next_ + period_;
  started_ = true;
  return true;
}

uint32_t CaptureSession::Pace::Until(uint32_t now) const {
  if (!started_) return 0;
  const int32_t left = static_cast<int32_t>(next_ - now);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

void CaptureSession::Beat() {
  if (!beating_) return;
  // A recording's file enters the catalogue once it is seen open.
  if (library_) library_->Follow(app_.get(), schedule_.get(), ::time(nullptr));
  const uint32_t now = platform::TickCount();
  if (app_->IsConnected() && status_pace_.Due(now)) app_->RefreshStatus();
  if (schedule_followed()) {
    if (file_pace_.Due(now)) {
      const bool failed = schedule_->scheduler().SyncSchedule(0) == RecordingScheduler::SyncResult::kFailed;
      if (failed != write_failed_) front_->ScheduleWriteFailed(failed);
      write_failed_ = failed;
    }
    if (plan_pace_.Due(now)) {
      if (const GuideTime clock = RulesClock(); clock != 0) rules_->Poll(clock);
      hooks_->FollowPlan(*schedule_, app_.get(), ::time(nullptr));
    }
  }
  Arm(platform::TickCount());
}

void CaptureSession::Arm(uint32_t now) {
  if (!beating_) return;
  uint32_t wait = std::numeric_limits<uint32_t>::max();
  if (app_->IsConnected()) wait = status_pace_.Until(now);
  if (schedule_followed()) wait = std::min({wait, file_pace_.Until(now), plan_pace_.Until(now)});
  ++armed_;
  if (wait == std::numeric_limits<uint32_t>::max()) return;
  dispatcher_.PostAfter(wait, [weak = std::weak_ptr<CaptureSession*>(alive_), armed = armed_] {
    const auto session = weak.lock();
    if (session && (*session)->armed_ == armed) (*session)->Beat();
  });
}

void CaptureSession::OnCaptureStart() {
  status_pace_.Restart();
  Arm(platform::TickCount());
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
  beating_ = false;
  ++armed_;
  app_->Disconnect();
  app_->bus().Remove(this);
  // The history of the reservations that ended is written before the scheduler goes.
  rules_.reset();
  ended_ = schedule_ ? schedule_->End() : true;
  if (guide_) app_->bus().Remove(guide_.get());
  guide_.reset();
  app_->bus().Remove(binding_.get());
  return *ended_;
}

}  // namespace pelkan
