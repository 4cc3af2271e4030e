#include "ui/desktop_program.h"

#include <time.h>
#include <unistd.h>

#include <filesystem>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/capture_bindings.h"
#include "app/device_list.h"
#include "app/home_folder.h"
#include "app/recording_hooks.h"
#include "app/rule_automation.h"
#include "app/scheduled_capture.h"
#include "app/http_pages.h"
#include "app/main_window_rules.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/channel_window.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/status_text.h"
#include "guide/guide_collector.h"
#include "info/service_filter_window.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_form.h"
#include "ui/main_window.h"
#include "ui/message_box_messages.h"
#include "ui/save_file_dialog.h"

// The window icon lives in the resources of the static window library.
static void InitResources() {
  Q_INIT_RESOURCE(pelkan);
}

namespace pelkan::ui {

namespace {

// A schedule.ini that exists but cannot be read is not loaded, and then never overwritten.
bool ScheduleReadable(const std::string& path) {
  return ::access(path.c_str(), F_OK) != 0 || ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

QTranslator* InstallQtJapaneseTexts() {
  auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator.get())) {
    return nullptr;
  }
  return translator.release();
}

DesktopProgram::DesktopProgram(DesktopOptions options)
    : options_(std::move(options)),
      dispatch_context_(std::make_unique<QObject>()),
      dispatcher_(dispatch_context_.get()) {
  InitResources();
  // A home chosen here (not handed in) may be new, and may have things to tell once the window is up.
  DesktopHomeStart home;
  if (options_.current_dir.empty()) {
    home = StartDesktopHome(HomeInputsFromEnvironment(options_.home_flag), VideosLookupFromEnvironment());
    options_.current_dir = home.dir;
  } else {
    home.record_dir = options_.current_dir;
  }
  if (options_.settings_path.empty()) options_.settings_path = JoinPath(options_.current_dir, "pelkan.ini");
  if (options_.schedule_path.empty()) options_.schedule_path = JoinPath(options_.current_dir, "schedule.ini");
  if (options_.guide_path.empty()) options_.guide_path = JoinPath(options_.current_dir, "epg.sqlite");
  if (options_.rules_path.empty()) options_.rules_path = JoinPath(options_.current_dir, "rules.sqlite");
  messages_ = options_.messages;
  if (messages_ == nullptr) {
    own_messages_ = std::make_unique<MessageBoxMessages>();
    messages_ = own_messages_.get();
  }
  app_ = std::make_unique<CaptureApp>(&dispatcher_, messages_);
  Settings& settings = app_->settings();
  LoadSettings(options_.settings_path, platform::Utf8ToSjisExact(home.record_dir).value_or(options_.current_dir),
               &settings);
  // Its log and the last recording's values go beside pelkan.ini.
  const std::string settings_dir = std::filesystem::path(options_.settings_path).parent_path().string();
  hooks_ = std::make_unique<RecordingHooks>(AppendingLog(JoinPath(settings_dir, kHookLogName)),
                                            JoinPath(settings_dir, kLastRecordingValuesName), settings);

  std::unique_ptr<core::CDTV_Base> device;
  if (options_.make_device) {
    device = options_.make_device(settings);
  } else {
    device = std::make_unique<core::CDTV_EzUSBFX2>(DriverConfigFromSettings(settings));
  }
  // A device set that cannot be opened leaves the device controls disabled; the rest still starts.
  device_opened_ = device && (device->IsDeviceOpen() || device->OpenDevice());
  app_->SetDevice(std::move(device));

  services_ = std::make_unique<ServiceFilterWindow>(dispatcher_);
  services_binding_ = std::make_unique<ServiceFilterBinding>(*services_, *app_);
  app_->SetServiceInfoModel(services_binding_.get());

  UserMessages* messages = messages_;
  for (const std::string& notice : home.notices) {
    dispatcher_.Post([messages, text = platform::Utf8ToSjis(notice)] { messages->Notify(text, status_text::kCaptionApp); });
  }
  schedule_ = std::make_unique<ScheduledCapture>(
      [this](std::function<void()> work) { dispatcher_.Post(std::move(work)); },
      // The overlap question is the reservation list window's (ScheduleListWindow sets it).
      nullptr,
      // A scheduled recording stopped by a failed write or a nearly full disk, or whose file could
      // not be created: told in a message box, shown from the UI thread's queue so that no
      // pipeline thread waits for the user.
      [this, messages](const RecordingFailure& failure) {
        std::string text = RecordingFailureMessage(failure);
        if (failure.reason == RecordingFailure::Reason::kOpenFailed) {
          text.append("\n").append(platform::Utf8ToSjis(failure.path)).append("\n(").append(RecordingFailureReason(failure)).append(")");
        }
        dispatcher_.Post(
            [messages, text = std::move(text)] { messages->Notify(text, status_text::kCaptionLowDisk); });
      });
  // A schedule.ini that is no reservation file is moved aside, never overwritten: the user is told.
  hooks_->Wire(app_.get(), schedule_.get());
  schedule_->SetKeptAsideListener([this, messages](const std::string& path, const std::string& kept_as) {
    std::string text = kept_as.empty()
                           ? platform::Utf8ToSjis("予約ファイル " + path +
                                                  " は読めない内容なので、書き換えずにそのまま残します。")
                           : platform::Utf8ToSjis("予約ファイル " + path + " は読めない内容なので、" +
                                                  kept_as + " として残しました。");
    dispatcher_.Post(
        [messages, text = std::move(text)] { messages->Notify(text, status_text::kCaptionApp); });
  });
  const bool schedule_loaded = ScheduleReadable(options_.schedule_path);
  std::function<void()> run_rules;
  schedule_->ApplySettings(settings);
  schedule_->Begin(settings.rec_autopath, schedule_loaded ? options_.schedule_path : std::string());
  schedule_->Attach(*app_);
  if (schedule_loaded) {
    schedule_poll_.setObjectName(QStringLiteral("schedulePollTimer"));
    schedule_poll_.setInterval(static_cast<int>(ScheduledCapture::kPollMs));
    // The rules run by the broadcast's clock while capturing, else by the machine's.
    rules_ = std::make_unique<RuleAutomation>(*schedule_, options_.rules_path, options_.guide_path,
                                              [this, messages](const std::string& notice) {
                                                dispatcher_.Post([messages, text = platform::Utf8ToSjis(notice)] {
                                                  messages->Notify(text, status_text::kCaptionApp);
                                                });
                                              });
    const auto poll_rules = [this](bool force) {
      const MjdTime clock = schedule_->SampleCapture().broadcast_time;
      rules_->Poll(ToGuideTime(clock.date != 0 ? clock : JapanTimeNow()), force);
    };
    QObject::connect(&schedule_poll_, &QTimer::timeout, [this, poll_rules] {
      schedule_->PollScheduleFile();
      hooks_->FollowPlan(*schedule_, app_.get(), ::time(nullptr));
      poll_rules(false);
    });
    // The rule window runs them at once after it changed a rule.
    run_rules = [poll_rules] { poll_rules(true); };
    schedule_poll_.start();
  }

  channels_ = std::make_unique<ChannelWindow>(app_->device(), settings.last_channel);
  app_->SetChannelWindow(channels_.get());

  // A guide file that had to be renamed aside is told in a message box from the UI thread's queue.
  guide_ = std::make_unique<GuideCollector>(options_.guide_path, [this, messages](const std::string& notice) {
    dispatcher_.Post([messages, notice] { messages->Notify(notice, status_text::kCaptionApp); });
  });
  app_->SetTableEventTap(&GuideCollector::OnTsEvent, guide_.get());
  app_->SetHttpPages(MakeHttpPages(*app_, options_.guide_path, guide_.get()));

  context_ = std::unique_ptr<DesktopContext>(new DesktopContext{
      settings, *app_, *messages_, dispatcher_, *services_, *schedule_, *channels_, options_.schedule_path,
      schedule_loaded, options_.guide_path, options_.rules_path, std::move(run_rules), [this] {
        const hooks::WakeAlarmKeeper* wake = hooks_->wake_alarm();
        return WakeAlarmStatusText(wake != nullptr ? wake->Held() : std::nullopt);
      },
      [this] { return guide_->StatusText(); }});
  window_ = std::make_unique<MainWindow>(*context_);
  if (own_messages_) own_messages_->SetParent(window_.get());
  SavePathProvider* save_path = options_.save_path;
  if (save_path == nullptr) {
    own_save_path_ = std::make_unique<SaveFileDialog>(window_.get());
    save_path = own_save_path_.get();
  }
  app_->SetSavePathProvider(save_path);
  MainWindow* window = window_.get();
  app_->SetStatusListener([window](const StatusSnapshot& s) { window->ShowStatus(s); });
  app_->RefreshStatus();
}

DesktopProgram::~DesktopProgram() {
  schedule_poll_.stop();
  dispatch_context_.reset();
  app_->Disconnect();
  app_->SetStatusListener(nullptr);
  app_->SetSavePathProvider(nullptr);
  app_->SetChannelWindow(nullptr);
  app_->SetTableEventTap(nullptr, nullptr);
  guide_.reset();
  app_->SetServiceInfoModel(nullptr);
  schedule_->End();
  window_.reset();
}

const Settings& DesktopProgram::settings() const {
  return app_->settings();
}

bool DesktopProgram::Finish() {
  while (!SaveSettings(options_.settings_path, app_->settings())) {
    if (!messages_->Ask(desktop_text::kSettingsSaveFailed, status_text::kCaptionApp)) return false;
  }
  return true;
}

}  // namespace pelkan::ui
