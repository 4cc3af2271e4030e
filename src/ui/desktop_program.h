#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/capture_session.h"
#include "app/settings.h"
#include "core/dtv_base.h"
#include "core/save_path_provider.h"
#include "core/user_messages.h"
#include "ui/desktop_context.h"
#include "ui/qt_dispatcher.h"

namespace pelkan {
class CaptureApp;
class CaptureSession;
class ChannelWindow;
class RecorderHandoff;
class ScheduledCapture;
}  // namespace pelkan

class QTranslator;

namespace pelkan::ui {

// Qt's own texts (the standard buttons, the file dialog and its questions) in Japanese as on a
// Japanese desktop, whatever the locale the program starts in: installs Qt's translation
// "qtbase_ja" from Qt's translations folder into the application. Returns the translator (a child
// of the application), or null when the translation is not installed (Qt's texts stay English).
// UI thread, once the QApplication exists.
QTranslator* InstallQtJapaneseTexts();

class MainWindow;
class MessageBoxMessages;
class SaveFileDialog;

// Where the desktop program keeps its files and what it runs on; the defaults are the real ones.
struct DesktopOptions {
  // The home: the folder of pelkan.ini, schedule.ini and epg.sqlite. Default: DesktopHome of
  // home_flag and the environment (--home, PELKAN_HOME, $XDG_DATA_HOME/pelkan), made at the first
  // start; a new home records into the user's videos folder, and files left in the current
  // directory by an earlier start are pointed out once.
  std::string current_dir;
  std::optional<std::string> home_flag;  // the value of --home
  std::string settings_path;  // default: pelkan.ini in it
  std::string schedule_path;  // default: schedule.ini in it
  std::string guide_path;     // default: epg.sqlite in it
  std::string rules_path;     // default: rules.sqlite in it
  // Makes the capture device from the settings; default: the EZ-USB FX2 device over the device
  // set of the settings (libusb tuners, then the virtual tuner).
  std::function<std::unique_ptr<core::CDTV_Base>(const Settings&)> make_device;
  // Message boxes and the save-file dialog; default: application-modal Qt dialogs.
  UserMessages* messages = nullptr;
  SavePathProvider* save_path = nullptr;
  // The bus of systemd's user manager, which runs the recorder service (a D-Bus address); default:
  // the user's bus.
  std::string recorder_bus;
};

// The desktop program from start to exit: loads pelkan.ini, chooses the capture session (the
// capture application with its device, the information model, the recording scheduler with the
// reservations of schedule.ini, the rules, the hooks, the guide's collector filling epg.sqlite,
// the HTTP server), makes the channel-window model and the main window over them and shows what
// the session tells in message boxes and its status in the main window. After the main window has
// closed, Finish writes pelkan.ini; once the capture has let go of the tuner, the destructor starts
// the recorder service when the exit handed it the reservations. UI thread only.
class DesktopProgram {
 public:
  explicit DesktopProgram(DesktopOptions options = DesktopOptions());
  ~DesktopProgram();
  DesktopProgram(const DesktopProgram&) = delete;
  DesktopProgram& operator=(const DesktopProgram&) = delete;

  MainWindow& window() { return *window_; }
  CaptureApp& app();
  ScheduledCapture& schedule();
  const Settings& settings() const;
  // True when the device set could be opened at start.
  bool device_opened() const { return device_opened_; }

  // Writes every key into pelkan.ini; when that fails the user is asked whether to try again.
  // Returns true when the file was written.
  bool Finish();

 private:
  DesktopOptions options_;
  bool device_opened_ = false;
  // Posted tasks run in the context's thread; resetting it first at destruction drops the rest.
  std::unique_ptr<QObject> dispatch_context_;
  QtDispatcher dispatcher_;
  std::unique_ptr<MessageBoxMessages> own_messages_;
  std::unique_ptr<SaveFileDialog> own_save_path_;
  UserMessages* messages_ = nullptr;
  // What the session tells, in message boxes.
  std::unique_ptr<SessionFront> front_;
  std::unique_ptr<CaptureSession> session_;
  std::unique_ptr<ChannelWindow> channels_;
  // The windows' places in pelkan.ini.
  WindowLayout windows_;
  std::unique_ptr<DesktopContext> context_;
  std::unique_ptr<MainWindow> window_;
  // The recorder service, started at the exit when the user handed it the reservations or had it
  // stopped for this session.
  std::unique_ptr<RecorderHandoff> handoff_;
  // The scan of the recording folders at start, off the UI thread.
  std::thread library_scan_;
};

}  // namespace pelkan::ui
