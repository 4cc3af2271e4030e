#pragma once

#include <QMainWindow>
#include <array>
#include <memory>

#include "app/main_window_rules.h"
#include "core/status_text.h"
#include "ui/desktop_context.h"

namespace pelkan {
class RecorderHandoff;
}

namespace Ui {
class MainWindow;
}

namespace pelkan::ui {

class ChannelToolWindow;
class FigureLabel;
class ToolWindow;

// The main window "Pelkan": device and endpoint choice, connect, the status display, the manual
// recording with its stop timer, UDP sending, and the menu with the options dialog, the version
// box, the tool windows and "クリア". Every command goes to the capture application and the
// Qt-free rules; the window only binds its widgets to them.
//
// Exit: the close box, Esc and "終了(&X)" all go through closeEvent, which refuses while connected
// ("接続中は終了できません。"); with reservations pending it offers to hand them to the recorder
// service (はい / いいえ / キャンセル: stays); then it stores the window positions and check boxes
// into the settings and writes the reservations. Enter presses nothing. A connection while the
// recorder service runs (it holds the tuner) first asks to stop it until the exit.
// With the HTTP server running, a link "視聴" opens the playlist in the desktop's player, beside
// its URL (selectable); the tool tip gives each service's URL.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Sets up every control from the settings and builds the device list. `context` outlives the
  // window. The tool windows (hidden or shown from their keys) are made once the window is first
  // shown, after its own first paint, or at the first ask for one of them, whichever comes first.
  explicit MainWindow(DesktopContext& context, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows one status snapshot of the capture application (its status listener).
  void ShowStatus(const StatusSnapshot& status);
  // The device list and the endpoint lists ("再検索" and start-up).
  void RefreshDeviceList();
  // The hand-off to the recorder service at the exit and before a connection (none when null).
  void SetRecorderHandoff(RecorderHandoff* handoff) { handoff_ = handoff; }

  ToolWindow* channelWindow() const;
  ToolWindow* filterWindow() const { return ToolWindows().filter_window_; }
  ToolWindow* scheduleWindow() const { return ToolWindows().schedule_window_; }
  ToolWindow* guideWindow() const { return ToolWindows().guide_window_; }
  ToolWindow* ruleWindow() const { return ToolWindows().rule_window_; }
  ToolWindow* recordingsWindow() const { return ToolWindows().recordings_window_; }
  // True once the exit has been accepted (the window then closes for good).
  bool exited() const { return exited_; }

 Q_SIGNALS:
  // The exit was accepted: positions are stored and the reservations written.
  void exitAccepted();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // Makes the tool windows and places them from their keys, once; the window itself after.
  const MainWindow& ToolWindows() const;
  void MakeToolWindows();
  void RefreshEndpointList();
  // Places the status bar's four parts: right edges at 50, 105, 250 and the window's edge.
  void LayoutStatusParts();
  void UpdateControls();
  void ToggleConnect();
  void ToggleRecording();
  void ToggleSending();
  void ExtendStopTimer();
  void OpenOptions();
  void ToggleToolWindow(QWidget* window);
  // Tells the tool windows that the settings changed.
  void NotifySettingsChanged();
  void StorePlacements();
  bool SaveSchedule();
  // The quit question about the pending reservations; false to stay.
  bool HandOffReservations();
  // Before a connection: false when the recorder service keeps the tuner.
  bool TunerFreeOfRecorder();
  // The "視聴" link and URL of the running HTTP server.
  void ShowWatchLink();

  std::unique_ptr<Ui::MainWindow> ui_;
  DesktopContext& context_;
  // The status bar's parts; part 3's tool tip tells the next wake alarm ("次回の自動起動: ...").
  std::array<FigureLabel*, 4> bar_{};
  ChannelToolWindow* channel_window_ = nullptr;
  ToolWindow* filter_window_ = nullptr;
  ToolWindow* schedule_window_ = nullptr;
  ToolWindow* guide_window_ = nullptr;
  ToolWindow* rule_window_ = nullptr;
  ToolWindow* recordings_window_ = nullptr;
  bool tool_windows_made_ = false;
  RecorderHandoff* handoff_ = nullptr;
  bool fx2_device_ = true;
  bool exited_ = false;
};

}  // namespace pelkan::ui
