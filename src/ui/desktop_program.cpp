#include "ui/desktop_program.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/capture_session.h"
#include "app/device_list.h"
#include "app/home_folder.h"
#include "app/recorder_handoff.h"
#include "app/recordings_view.h"
#include "app/recording_hooks.h"
#include "app/scheduled_capture.h"
#include "app/main_window_rules.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/channel_window.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/status_text.h"
#include "info/service_filter_window.h"
#include "library/recording_library.h"
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

// What the session tells, in message boxes shown from the UI thread's queue, so that no pipeline
// or worker thread waits for the user.
class MessageBoxFront : public SessionFront {
 public:
  MessageBoxFront(Dispatcher& dispatcher, UserMessages& messages) : dispatcher_(dispatcher), messages_(messages) {}

  // A scheduled recording stopped by a failed write or a nearly full disk, or whose file could
  // not be created.
  void RecordingFailed(const RecordingFailure& failure) override {
    std::string text = RecordingFailureMessage(failure);
    if (failure.reason == RecordingFailure::Reason::kOpenFailed) {
      text.append("\n").append(platform::Utf8ToSjis(failure.path)).append("\n(").append(RecordingFailureReason(failure)).append(")");
    }
    Show(std::move(text), status_text::kCaptionLowDisk);
  }
  // A schedule.ini that is no reservation file is moved aside, never overwritten.
  void ScheduleKeptAside(const std::string& path, const std::string& kept_as) override {
    Show(kept_as.empty() ? platform::Utf8ToSjis("予約ファイル " + path +
                                                 " は読めない内容なので、書き換えずにそのまま残します。")
                         : platform::Utf8ToSjis("予約ファイル " + path + " は読めない内容なので、" + kept_as +
                                                " として残しました。"),
         status_text::kCaptionApp);
  }
  void RulesNotice(const std::string& text) override { Show(platform::Utf8ToSjis(text), status_text::kCaptionApp); }
  // A guide file that had to be renamed aside.
  void GuideNotice(const std::string& text) override { Show(text, status_text::kCaptionApp); }

 private:
  void Show(std::string text, const std::string& caption) {
    UserMessages* messages = &messages_;
    dispatcher_.Post([messages, text = std::move(text), caption] { messages->Notify(text, caption); });
  }

  Dispatcher& dispatcher_;
  UserMessages& messages_;
};

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
  const bool schedule_loaded = ScheduleReadable(options_.schedule_path);
  // Its log and the last recording's values go beside pelkan.ini.
  const std::string settings_dir = std::filesystem::path(options_.settings_path).parent_path().string();
  SessionOptions session;
  session.schedule = true;
  if (schedule_loaded) session.schedule_path = options_.schedule_path;
  // The overlap question is the reservation list window's (ScheduleListWindow sets it).
  session.guide_path = options_.guide_path;
  session.collect_guide = true;
  session.rules_path = options_.rules_path;
  // The rules run by the broadcast's clock while capturing, else by the machine's.
  session.rules_by_machine_clock = true;
  session.hook_log = AppendingLog(JoinPath(settings_dir, kHookLogName));
  session.last_values_path = JoinPath(settings_dir, kLastRecordingValuesName);
  session.library_path = JoinPath(settings_dir, RecordingLibrary::kFileName);
  session.http_tokens_path = JoinPath(settings_dir, "http-tokens");
  session.settings_path = options_.settings_path;
  front_ = std::make_unique<MessageBoxFront>(dispatcher_, *messages_);
  session_ = std::make_unique<CaptureSession>(dispatcher_, messages_, std::move(session), front_.get());
  Settings& settings = session_->settings();
  if (!LoadSettings(options_.settings_path,
                    platform::Utf8ToSjisExact(home.record_dir).value_or(options_.current_dir), &settings,
                    &windows_))
    SetNewHomeValues(&settings);

  std::unique_ptr<core::CDTV_Base> device;
  if (options_.make_device) {
    device = options_.make_device(settings);
  } else {
    device = std::make_unique<core::CDTV_EzUSBFX2>(DriverConfigFromSettings(settings));
  }
  // A device set that cannot be opened leaves the device controls disabled; the rest still starts.
  device_opened_ = device && (device->IsDeviceOpen() || device->OpenDevice());
  CaptureApp& app = session_->app();
  app.SetDevice(std::move(device));

  UserMessages* messages = messages_;
  for (const std::string& notice : home.notices) {
    dispatcher_.Post([messages, text = platform::Utf8ToSjis(notice)] { messages->Notify(text, status_text::kCaptionApp); });
  }
  session_->Begin();
  std::function<void()> run_rules;
  // The rule window runs them at once after it changed a rule.
  if (session_->schedule_followed()) run_rules = [this] { session_->RunRulesNow(); };

  channels_ = std::make_unique<ChannelWindow>(app.device(), settings.last_channel);
  app.SetChannelWindow(channels_.get());

  context_ = std::unique_ptr<DesktopContext>(new DesktopContext{
      settings, windows_, app, *messages_, dispatcher_, session_->services(), *session_->schedule(), *channels_,
      options_.schedule_path, schedule_loaded, options_.guide_path, options_.rules_path, std::move(run_rules),
      [this] {
        const hooks::WakeAlarmKeeper* wake = session_->hooks().wake_alarm();
        return WakeAlarmStatusText(wake != nullptr ? wake->Held() : std::nullopt);
      },
      [this] { return session_->GuideStatusText(); }, &session_->rule_files(),
      JoinPath(settings_dir, RecordingLibrary::kFileName), JoinPath(settings_dir, "http-tokens")});
  // The files stay the truth: what was recorded or moved while the program did not run is
  // catalogued in the background; the recordings window follows the file.
  library_scan_ = std::thread([path = context_->library_path, autopath = platform::SjisToUtf8(settings.rec_autopath)] {
    ScanKnownRecordingFolders(path, autopath, ::time(nullptr),
                              [](const std::string& line) { std::fprintf(stderr, "pelkan: %s\n", line.c_str()); });
  });
  window_ = std::make_unique<MainWindow>(*context_);
  handoff_ = std::make_unique<RecorderHandoff>(RecorderService(options_.recorder_bus));
  window_->SetRecorderHandoff(handoff_.get());
  if (own_messages_) own_messages_->SetParent(window_.get());
  SavePathProvider* save_path = options_.save_path;
  if (save_path == nullptr) {
    own_save_path_ = std::make_unique<SaveFileDialog>(
        window_.get(), [this] { return platform::SjisToUtf8(session_->settings().rec_autopath); });
    save_path = own_save_path_.get();
  }
  app.SetSavePathProvider(save_path);
  MainWindow* window = window_.get();
  app.SetStatusListener([window](const StatusSnapshot& s) { window->ShowStatus(s); });
  app.RefreshStatus();
}

DesktopProgram::~DesktopProgram() {
  if (library_scan_.joinable()) library_scan_.join();
  dispatch_context_.reset();
  CaptureApp& app = session_->app();
  app.Disconnect();
  app.SetStatusListener(nullptr);
  app.SetSavePathProvider(nullptr);
  app.SetChannelWindow(nullptr);
  session_->End();
  window_.reset();
  std::string error;
  if (!handoff_->Finish(&error)) std::fprintf(stderr, "pelkan: %s\n", error.c_str());
}

CaptureApp& DesktopProgram::app() {
  return session_->app();
}

ScheduledCapture& DesktopProgram::schedule() {
  return *session_->schedule();
}

const Settings& DesktopProgram::settings() const {
  return session_->settings();
}

bool DesktopProgram::Finish() {
  while (!SaveSettings(options_.settings_path, session_->settings(), &windows_)) {
    if (!messages_->Ask(desktop_text::kSettingsSaveFailed, status_text::kCaptionApp)) return false;
  }
  return true;
}

}  // namespace pelkan::ui
