#include "ui/main_window.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <fstream>
#include <map>
#include <sstream>

#include "app/device_list.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/status_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_file.h"
#include "tests/support/loopback_udp.h"
#include "tests/ui/ui_test_support.h"
#include "ui/report_opener.h"
#include "ui/tool_window.h"

namespace pelkan::ui {
namespace {

using testing::WaitFor;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class MainWindowTest : public ::testing::Test, public testing::DesktopFixture {
 protected:
  QPushButton* Button(const char* name) { return Find<QPushButton>(name); }
  QComboBox* Combo(const char* name) { return Find<QComboBox>(name); }
  QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  void Trigger(const char* action) { Find<QAction>(action)->trigger(); }
  void WriteSettings(const Settings& s, const WindowLayout* windows = nullptr) {
    ASSERT_TRUE(SaveSettings(settings_path(), s, windows));
  }
  // Waits until the status shows data flowing.
  void WaitForStatus() {
    ASSERT_TRUE(WaitFor([&] { return Text("transfersOkValue") != "0" && Text("rateValue") != "0.00 Mbps"; }))
        << Text("transfersOkValue") << " " << Text("rateValue");
  }
};

TEST_F(MainWindowTest, FirstStartShowsTheDefaultsAndWritesEveryKeyAtExit) {
  ASSERT_FALSE(std::filesystem::exists(settings_path()));
  Start();
  EXPECT_EQ(program_->window().windowTitle().toStdString(), "Pelkan");
  EXPECT_EQ(Edit("addressEdit")->text().toStdString(), "localhost");
  EXPECT_EQ(Edit("portEdit")->text().toStdString(), "1234");
  EXPECT_EQ(Edit("sendSizeEdit")->text().toStdString(), "32767");
  EXPECT_EQ(Edit("stopTimerEdit")->text().toStdString(), "0");
  ASSERT_EQ(Combo("deviceCombo")->count(), 1);
  EXPECT_EQ(Combo("deviceCombo")->currentText().toStdString(), "Virtual FX2 tuner");
  EXPECT_EQ(Combo("inCombo")->currentText().toStdString(), "0x86");
  // "なし" first, then the bulk OUT endpoints; the last one is preselected.
  EXPECT_EQ(Combo("outCombo")->itemText(0).toStdString(), "なし");
  EXPECT_EQ(Combo("outCombo")->currentText().toStdString(), "0x04");
  EXPECT_EQ(Combo("outCombo")->count(), 3);
  EXPECT_TRUE(Button("connectButton")->isEnabled());
  EXPECT_FALSE(Button("recordButton")->isEnabled());
  EXPECT_FALSE(Button("sendButton")->isEnabled());
  EXPECT_EQ(Text("recordButton"), "録画開始");
  EXPECT_EQ(Text("sendButton"), "送信開始");
  EXPECT_EQ(Text("recordingValue"), "録画停止中");
  EXPECT_EQ(Text("sendingValue"), "送信停止中");
  EXPECT_TRUE(Find<QWidget>("initCheck")->isVisible());
  EXPECT_FALSE(program_->window().channelWindow()->isVisible());
  // Enter presses nothing in the main window.
  QTest::keyClick(&program_->window(), Qt::Key_Return);
  EXPECT_FALSE(program_->app().IsConnected());

  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  const std::string ini = ReadAll(settings_path());
  for (const char* key : {"SORVALINK_INIT=0",
                          "ARIB_B25_PROC=0",
                          "REC_AUTOFILENAME=0",
                          "REC_AUTOPATH=",
                          "TIMER_PERIOD=1",
                          "THREAD_PRIORITY_REC=0",
                          "THREAD_PRIORITY_RES=0",
                          "THREAD_PRIORITY_PROC=0",
                          "LAST_EP_IN=65534",
                          "LAST_EP_OUT=65534",
                          "REC_TIME=0",
                          "NETWORK_ADDRESS=localhost",
                          "NETWORK_PORT=1234",
                          "NETWORK_SEND_SIZE=32767",
                          "POS_X=",
                          "POS_Y=",
                          "CHWND_SHOW=0",
                          "CHWND_POS_X=",
                          "CHWND_POS_Y=",
                          "LAST_CHANNEL=-1",
                          "FILTWND_SHOW=0",
                          "FILTWND_POS_X=",
                          "FILTWND_SIZE_X=",
                          "FILTWND_SIZE_Y=",
                          "SCHEDULE_SHOW=0",
                          "SCHEDULE_POS_Y=",
                          "SCHEDULE_SIZE_X=",
                          // A new home starts with the guide's tables on.
                          "DECODE_PSI=1",
                          "PROC_EPG=1",
                          "SCHEDULE_USE_SYSTEM_TIME=0"}) {
    EXPECT_NE(ini.find(key), std::string::npos) << key;
  }
  EXPECT_NE(ini.find("REC_AUTOPATH=" + dir.string()), std::string::npos);
  EXPECT_TRUE(messages.shown.empty()) << Messages();
}

// Counts the layout requests a widget receives.
struct LayoutCounter : QObject {
  int requests = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    requests += event->type() == QEvent::LayoutRequest;
    return false;
  }
};

// Every status refresh used to lay the window out again, each changed figure resizing its label:
// the status bar's parts change with no new layout, and a figure that gets shorter keeps its width,
// so nothing else in the window moves.
TEST_F(MainWindowTest, ChangingStatusFiguresMoveNothingInTheWindow) {
  Start();
  MainWindow& window = program_->window();
  (void)QTest::qWaitForWindowExposed(&window);
  StatusSnapshot st;
  st.elapsed = "01:23:45";
  st.transfers_ok = "123456789";
  st.transfers_failed = "0";
  st.rate = "123.45 Mbps";
  st.bar = {"", "1:00:00", "59:59", ""};
  window.ShowStatus(st);
  QTest::qWait(100);  // the window's first layouts settle
  std::map<QWidget*, QRect> before;
  for (QWidget* w : window.findChildren<QWidget*>()) before[w] = w->geometry();
  LayoutCounter counter;
  window.installEventFilter(&counter);
  st.bar = {"", "1:00:01", "59:58", ""};
  window.ShowStatus(st);
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.requests, 0) << "the status bar's parts";
  EXPECT_EQ(Text("statusPart1"), "1:00:01");
  st.elapsed = "0:01";
  st.transfers_ok = "7";
  st.rate = "1.00 Mbps";
  window.ShowStatus(st);
  QCoreApplication::processEvents();
  EXPECT_EQ(Text("transfersOkValue"), "7");
  for (QWidget* w : window.findChildren<QWidget*>())
    EXPECT_EQ(w->geometry(), before[w]) << w->objectName().toStdString();
  window.removeEventFilter(&counter);
}

TEST_F(MainWindowTest, ConnectMovesTheStatusAndFreezesTheDeviceChoice) {
  Start();
  Click("connectButton");
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  EXPECT_TRUE(Button("connectButton")->isChecked());
  for (const char* name :
       {"deviceCombo", "rescanButton", "inCombo", "outCombo", "initCheck", "descrambleCheck"})
    EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
  EXPECT_TRUE(Button("recordButton")->isEnabled());
  EXPECT_TRUE(Button("sendButton")->isEnabled());
  WaitForStatus();
  ASSERT_TRUE(WaitFor([&] { return Text("packetSizeValue") == "188"; }));

  // Exit and the options are refused while connected.
  EXPECT_FALSE(Close());
  Trigger("optionsAction");
  EXPECT_EQ(Messages(), "pelkan|接続中は終了できません。\npelkan|接続中は設定変更できません");
  EXPECT_TRUE(program_->window().isVisible());

  Click("connectButton");
  EXPECT_FALSE(program_->app().IsConnected());
  EXPECT_FALSE(Button("connectButton")->isChecked());
  for (const char* name :
       {"deviceCombo", "rescanButton", "inCombo", "outCombo", "initCheck", "descrambleCheck"})
    EXPECT_TRUE(Find<QWidget>(name)->isEnabled()) << name;
  EXPECT_FALSE(Button("recordButton")->isEnabled());
  EXPECT_FALSE(Button("sendButton")->isEnabled());
  program_->app().RefreshStatus();
  EXPECT_EQ(Text("packetSizeValue"), "0");
  EXPECT_EQ(Text("bufferValue"), "0KB/10240KB\nR:0 Sy:0 St:0");
  EXPECT_TRUE(Close());
}

TEST_F(MainWindowTest, RecordsIntoAnAutomaticNameAndThroughTheSaveDialog) {
  Settings s = DefaultSettings(dir.string());
  s.rec_autofilename = 1;
  s.rec_time = 7;
  WriteSettings(s);
  Start();
  CaptureApp& app = program_->app();
  Click("connectButton");
  ASSERT_TRUE(app.IsConnected());

  Edit("stopTimerEdit")->setText("5");
  Click("recordButton");
  ASSERT_TRUE(app.IsRecording()) << Messages();
  EXPECT_EQ(app.GetRecordingPath().rfind((dir / "cap-").string(), 0), 0u) << app.GetRecordingPath();
  EXPECT_EQ(app.settings().rec_time, 5);
  EXPECT_FALSE(Edit("stopTimerEdit")->isEnabled());
  EXPECT_TRUE(Button("recordButton")->isChecked());
  EXPECT_EQ(Text("recordButton"), "録画停止");
  auto* bar2 = program_->window().statusBar()->findChild<QLabel*>("statusPart2");
  ASSERT_TRUE(WaitFor([&] { return Text("recordingValue").rfind("録画中 ", 0) == 0; }, 8000))
      << Text("recordingValue");
  EXPECT_NE(bar2->text().toStdString().find("後に自動停止"), std::string::npos);
  const std::string automatic = app.GetRecordingPath();
  // "+10分" while recording extends the timer, not the edit.
  Click("plusTenButton");
  EXPECT_EQ(Edit("stopTimerEdit")->text().toStdString(), "5");
  Click("recordButton");
  EXPECT_FALSE(app.IsRecording());
  EXPECT_TRUE(Edit("stopTimerEdit")->isEnabled());
  EXPECT_EQ(Text("recordButton"), "録画開始");
  EXPECT_GT(std::filesystem::file_size(automatic), 1u << 20);
  // The group shows what the recording's report says, with a link that opens the report.
  EXPECT_EQ(Text("lastRecordingValue"),
            "前回の録画&nbsp;&nbsp;<a href=\"report\">レポート</a><br>"
            "<span style=\"white-space:pre\">ドロップ 0  エラー 0  スクランブル 0</span>");
  std::string opened;
  SetReportOpener([&](const std::string& path) { opened = path; });
  Q_EMIT Find<QLabel>("lastRecordingValue")->linkActivated(QStringLiteral("report"));
  SetReportOpener(nullptr);
  EXPECT_EQ(opened, automatic + ".err");
  EXPECT_NE(ReadAll(opened).find("result              complete\n"), std::string::npos);
  // Without a recording "+10分" steps the edit; REC_TIME changes only with the next start.
  Click("plusTenButton");
  EXPECT_EQ(Edit("stopTimerEdit")->text().toStdString(), "15");
  EXPECT_EQ(app.settings().rec_time, 5);

  app.settings().rec_autofilename = 0;
  save_path.answer = (dir / "manual.ts").string();
  Click("recordButton");
  ASSERT_TRUE(app.IsRecording());
  EXPECT_EQ(app.GetRecordingPath(), save_path.answer);
  EXPECT_EQ(Text("lastRecordingValue"), "");  // until the next recording starts
  EXPECT_EQ(app.settings().rec_time, 15);
  QTest::qWait(400);
  Click("recordButton");
  EXPECT_TRUE(std::filesystem::exists(save_path.answer));
  // Cancel in the save dialog fails the start.
  save_path.answer.clear();
  Click("recordButton");
  EXPECT_FALSE(app.IsRecording());
  EXPECT_FALSE(Button("recordButton")->isChecked());
  EXPECT_EQ(Messages(), "pelkan|開始に失敗しました");
  EXPECT_EQ(save_path.asked, 2);
  EXPECT_EQ(app.settings().rec_time, 15);
  Click("connectButton");
  EXPECT_TRUE(Close());
}

TEST_F(MainWindowTest, LowDiskStopsTheRecordingWithItsMessage) {
  Settings s = DefaultSettings(dir.string());
  s.rec_autofilename = 1;
  WriteSettings(s);
  Start();
  CaptureApp& app = program_->app();
  app.SetFreeSpaceQuery([](const std::string&, uint64_t* bytes) {
    *bytes = 0xC800000;  // exactly 200 MiB
    return true;
  });
  Click("connectButton");
  Click("recordButton");
  ASSERT_TRUE(app.IsRecording()) << Messages();
  ASSERT_TRUE(WaitFor([&] { return !app.IsRecording(); }));
  EXPECT_EQ(Messages(), "ERROR|録画先ディスク容量が少ないので録画停止しました。");
  EXPECT_EQ(Text("recordButton"), "録画開始");
  EXPECT_FALSE(Button("recordButton")->isChecked());
  EXPECT_TRUE(Edit("stopTimerEdit")->isEnabled());
  Click("connectButton");
  EXPECT_TRUE(Close());
}

// The virtual tuner drops out a second into a recording: the transfer group says so while it is
// away, and no message box comes up meanwhile; back, the recording goes on into the same file and
// its report has the gap.
TEST_F(MainWindowTest, ADroppedOutTunerIsShownAndTheRecordingGoesOn) {
  Settings s = DefaultSettings(dir.string());
  s.rec_autofilename = 1;
  s.virtual_dropout = "1:2";
  WriteSettings(s);
  // The virtual tuner as pelkan.ini describes it (VIRTUAL_DROPOUT), without the real tuners.
  options.make_device = [](const Settings& settings) {
    usb::DriverConfig config = DriverConfigFromSettings(settings);
    config.use_libusb = false;
    return std::make_unique<core::CDTV_EzUSBFX2>(config);
  };
  Start();
  CaptureApp& app = program_->app();
  Click("connectButton");
  Click("recordButton");
  ASSERT_TRUE(app.IsRecording()) << Messages();
  const std::string away = platform::SjisToUtf8(status_text::kTunerAway);
  ASSERT_TRUE(WaitFor([&] { return Text("deviceStatusValue") == away; }, 8000)) << Text("deviceStatusValue");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(Messages(), "");
  EXPECT_TRUE(app.IsRecording());
  ASSERT_TRUE(WaitFor([&] { return Text("deviceStatusValue").empty(); }, 8000)) << Text("deviceStatusValue");
  EXPECT_EQ(Messages(), "");
  const std::string path = app.GetRecordingPath();
  Click("recordButton");
  ASSERT_FALSE(app.IsRecording());
  EXPECT_NE(ReadAll(path + ".err").find("result              recovered (gap 0:00:0"), std::string::npos)
      << ReadAll(path + ".err");
  Click("connectButton");
  EXPECT_TRUE(Close());
}

TEST_F(MainWindowTest, SendsUdpToLoopback) {
  uint16_t port = 0;
  const int fd = pelkan::testing::OpenLoopbackUdp(1 << 20, &port);
  ASSERT_GE(fd, 0);
  Start();
  CaptureApp& app = program_->app();
  Click("connectButton");
  ASSERT_TRUE(app.IsConnected());
  Edit("addressEdit")->setText("no-such-host.invalid");
  Click("sendButton");
  EXPECT_FALSE(app.IsSending());
  EXPECT_TRUE(Edit("addressEdit")->isEnabled());
  EXPECT_EQ(Messages(), "pelkan|開始に失敗しました");

  Edit("addressEdit")->setText("127.0.0.1");
  Edit("portEdit")->setText(QString::number(port + 65536));  // taken modulo 65536
  Edit("sendSizeEdit")->setText("1316");
  Click("sendButton");
  ASSERT_TRUE(app.IsSending()) << Messages();
  EXPECT_EQ(Text("sendButton"), "送信停止");
  for (const char* name : {"addressEdit", "portEdit", "sendSizeEdit"})
    EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
  uint8_t datagram[2048];
  ssize_t got = -1;
  ASSERT_TRUE(WaitFor([&] {
    got = ::recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
    return got > 0;
  }));
  EXPECT_EQ(got, 1316);
  ASSERT_TRUE(WaitFor([&] { return Text("sendingValue").rfind("送信中(127.0.0.1) ", 0) == 0; }))
      << Text("sendingValue");
  Click("sendButton");
  EXPECT_FALSE(app.IsSending());
  EXPECT_TRUE(Edit("portEdit")->isEnabled());
  Click("connectButton");
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  Settings saved;
  LoadSettings(settings_path(), dir.string(), &saved);
  EXPECT_EQ(saved.network_address, "127.0.0.1");
  EXPECT_EQ(saved.network_port, port + 65536);
  EXPECT_EQ(saved.network_send_size, 1316);
  ::close(fd);
}

// Presses a switch as a screen reader does: through its accessibility action, which for a checkable
// button is "Toggle" (there is no "Press").
void ToggleAccessibly(QAbstractButton* button) {
  ASSERT_NE(button, nullptr);
  QAccessibleInterface* widget = QAccessible::queryAccessibleInterface(button);
  ASSERT_NE(widget, nullptr);
  QAccessibleActionInterface* actions = widget->actionInterface();
  ASSERT_NE(actions, nullptr);
  ASSERT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::toggleAction()));
  ASSERT_FALSE(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
  actions->doAction(QAccessibleActionInterface::toggleAction());
}

TEST_F(MainWindowTest, SwitchesDoTheSameThroughAccessibility) {
  Settings s = DefaultSettings(dir.string());
  s.rec_autofilename = 1;
  WriteSettings(s);
  uint16_t port = 0;
  const int fd = pelkan::testing::OpenLoopbackUdp(1 << 20, &port);
  ASSERT_GE(fd, 0);
  Start();
  CaptureApp& app = program_->app();
  Edit("addressEdit")->setText("127.0.0.1");
  Edit("portEdit")->setText(QString::number(port));

  ToggleAccessibly(Button("connectButton"));
  ASSERT_TRUE(app.IsConnected()) << Messages();
  EXPECT_TRUE(Button("connectButton")->isChecked());
  ToggleAccessibly(Button("recordButton"));
  EXPECT_TRUE(app.IsRecording()) << Messages();
  EXPECT_EQ(Text("recordButton"), "録画停止");
  ToggleAccessibly(Button("sendButton"));
  EXPECT_TRUE(app.IsSending()) << Messages();
  EXPECT_EQ(Text("sendButton"), "送信停止");
  // The filter switch: while it is on the service list is frozen.
  QWidget* services = Find<QWidget>("serviceList");
  ToggleAccessibly(Button("filterButton"));
  EXPECT_TRUE(Button("filterButton")->isChecked());
  EXPECT_FALSE(services->isEnabled());

  // A click after the accessibility action undoes what it did, not a state that never was.
  Click("filterButton");
  EXPECT_FALSE(Button("filterButton")->isChecked());
  EXPECT_TRUE(services->isEnabled());
  Click("sendButton");
  EXPECT_FALSE(app.IsSending());
  ToggleAccessibly(Button("recordButton"));
  EXPECT_FALSE(app.IsRecording());
  EXPECT_FALSE(Button("recordButton")->isChecked());
  Click("connectButton");
  EXPECT_FALSE(app.IsConnected());
  // A failing start leaves the switch off, and the next toggle tries again.
  Edit("addressEdit")->setText("no-such-host.invalid");
  Click("connectButton");
  ToggleAccessibly(Button("sendButton"));
  EXPECT_FALSE(app.IsSending());
  EXPECT_FALSE(Button("sendButton")->isChecked());
  Edit("addressEdit")->setText("127.0.0.1");
  ToggleAccessibly(Button("sendButton"));
  EXPECT_TRUE(app.IsSending());
  Click("sendButton");
  Click("connectButton");
  EXPECT_EQ(Messages(), "pelkan|開始に失敗しました");
  EXPECT_TRUE(Close());
  ::close(fd);
}

TEST_F(MainWindowTest, ConnectFailuresAreReportedAndLeaveTheControls) {
  Start();
  CaptureApp& app = program_->app();
  Find<QAbstractButton>("initCheck")->setChecked(true);
  Combo("outCombo")->setCurrentIndex(0);  // なし
  Click("connectButton");
  EXPECT_FALSE(app.IsConnected());
  EXPECT_FALSE(Button("connectButton")->isChecked());
  EXPECT_TRUE(Combo("deviceCombo")->isEnabled());
  Find<QAbstractButton>("initCheck")->setChecked(false);
  Find<QAbstractButton>("descrambleCheck")->setChecked(true);
  std::vector<std::string> log;
  app.SetDecoderLibraryFactory([&log] {
    pelkan::testing::FakeDecoderLibrary::Script script;
    script.loads = false;
    return std::make_unique<pelkan::testing::FakeDecoderLibrary>(script, &log);
  });
  Click("connectButton");
  EXPECT_FALSE(app.IsConnected());
  EXPECT_EQ(Messages(), "Error|Sorvalink初期化には出力EPが必要です\nError|B25Decord.dll not found.");
  EXPECT_TRUE(Close());
}

TEST_F(MainWindowTest, EscapeAndTheMenuExitGoThroughTheSameRefusal) {
  Start();
  Click("connectButton");
  ASSERT_TRUE(program_->app().IsConnected());
  QTest::keyClick(&program_->window(), Qt::Key_Escape);
  Trigger("exitAction");
  EXPECT_TRUE(program_->window().isVisible());
  EXPECT_EQ(Messages(), "pelkan|接続中は終了できません。\npelkan|接続中は終了できません。");
  Click("connectButton");
  QTest::keyClick(&program_->window(), Qt::Key_Escape);
  EXPECT_TRUE(program_->window().exited());
  EXPECT_FALSE(program_->window().isVisible());
}

// The main window's Esc shortcut stayed live in its floating tool windows: Esc in the reservation
// list or in the guide's search field ended the program, in the filtering window while connected it
// said the program cannot end. Esc in a tool window does what it does there: nothing, or it clears
// the search field.
TEST_F(MainWindowTest, EscapeInAToolWindowStaysInIt) {
  Start();
  struct Case {
    const char* action;
    ToolWindow* (MainWindow::*window)() const;
    const char* field;  // the field that has the focus, with a text that Esc clears; none: the window
    bool connected;
  };
  const Case cases[] = {
      {"scheduleAction", &MainWindow::scheduleWindow, nullptr, false},
      {"guideAction", &MainWindow::guideWindow, "searchEdit", false},
      {"filterAction", &MainWindow::filterWindow, nullptr, false},
      {"channelAction", &MainWindow::channelWindow, nullptr, false},
      {"filterAction", &MainWindow::filterWindow, nullptr, true},
      {"guideAction", &MainWindow::guideWindow, "searchEdit", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.action) + (c.connected ? ", connected" : ""));
    if (c.connected != program_->app().IsConnected()) Click("connectButton");
    ASSERT_EQ(program_->app().IsConnected(), c.connected);
    ToolWindow* tool = (program_->window().*c.window)();
    ASSERT_NE(tool, nullptr);
    if (!tool->isVisible()) Trigger(c.action);  // the action shows and hides the window
    ASSERT_TRUE(tool->isVisible());
    tool->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(tool));
    QWidget* target = tool;
    if (c.field != nullptr) {
      auto* edit = tool->findChild<QLineEdit*>(QString::fromLatin1(c.field));
      ASSERT_NE(edit, nullptr);
      edit->setText(QStringLiteral("ニュース"));
      edit->setFocus();
      target = edit;
    }
    QTest::keyClick(target, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(program_->window().exited());
    EXPECT_TRUE(program_->window().isVisible());
    EXPECT_TRUE(tool->isVisible()) << "Esc does not close a tool window";
    EXPECT_EQ(Messages(), "");
    if (c.field != nullptr) {
      EXPECT_EQ(static_cast<QLineEdit*>(target)->text().toStdString(), "") << "Esc clears the search field";
    }
  }
  Click("connectButton");
  // The main window's own Esc still asks to end the program.
  program_->window().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&program_->window()));
  QTest::keyClick(&program_->window(), Qt::Key_Escape);
  EXPECT_TRUE(program_->window().exited());
}

// The tool windows cost more to make than the main window: they are made once it has been drawn,
// and those stored as shown are shown then, where they were.
TEST_F(MainWindowTest, ToolWindowsAreMadeAfterTheWindowIsDrawn) {
  Settings s = DefaultSettings(dir.string());
  WindowLayout layout;
  layout.rule.show = 1;
  layout.rule.x = 460;
  layout.rule.y = 470;
  WriteSettings(s, &layout);
  program_ = std::make_unique<DesktopProgram>(options);
  MainWindow& w = program_->window();
  EXPECT_TRUE(w.findChildren<ToolWindow*>().isEmpty());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ASSERT_TRUE(WaitFor([&] { return w.findChildren<ToolWindow*>().size() == 6; }));
  for (ToolWindow* tool : w.findChildren<ToolWindow*>()) {
    EXPECT_EQ(tool->isVisible(), tool == w.ruleWindow()) << tool->objectName().toStdString();
  }
  EXPECT_EQ(w.ruleWindow()->pos(), QPoint(460, 470));
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
}

TEST_F(MainWindowTest, SettingsAndWindowPositionsSurviveARestart) {
  Settings s = DefaultSettings(dir.string());
  WindowLayout layout;
  layout.main.x = 200;
  layout.main.y = 150;
  layout.channel.show = 1;
  layout.channel.x = 300;
  layout.channel.y = 310;
  layout.filter.show = 1;
  layout.filter.x = 400;
  layout.filter.y = 410;
  layout.filter.width = 500;
  layout.filter.height = 300;
  layout.schedule.x = 420;
  layout.schedule.y = 430;
  layout.schedule.width = 520;
  layout.schedule.height = 320;
  layout.guide.x = 440;
  layout.guide.y = 450;
  layout.guide.width = 800;
  layout.guide.height = 500;
  layout.rule.show = 1;
  layout.rule.x = 460;
  layout.rule.y = 470;
  layout.rule.width = 700;
  layout.rule.height = 260;
  s.last_ep_in = 0x86;
  s.last_ep_out = 0x04;
  s.rec_time = 30;
  s.timer_period = 5;
  s.thread_priority_rec = 2;
  s.network_address = "192.0.2.7";
  s.network_port = 5000;
  s.sorvalink_init = 1;
  s.last_channel = 12;
  s.decode_psi = 1;
  s.schedule_use_system_time = 1;
  WriteSettings(s, &layout);
  const std::string first = ReadAll(settings_path());
  for (int run = 0; run < 2; ++run) {
    Start();
    MainWindow& w = program_->window();
    EXPECT_EQ(w.pos(), QPoint(200, 150));
    EXPECT_TRUE(w.channelWindow()->isVisible());
    EXPECT_EQ(w.channelWindow()->pos(), QPoint(300, 310));
    EXPECT_TRUE(w.filterWindow()->isVisible());
    EXPECT_EQ(w.filterWindow()->size(), QSize(500, 300));
    EXPECT_FALSE(w.scheduleWindow()->isVisible());
    EXPECT_FALSE(w.guideWindow()->isVisible());
    EXPECT_EQ(w.guideWindow()->size(), QSize(800, 500));
    EXPECT_TRUE(w.ruleWindow()->isVisible());
    EXPECT_EQ(w.ruleWindow()->pos(), QPoint(460, 470));
    EXPECT_EQ(w.ruleWindow()->size(), QSize(700, 260));
    EXPECT_EQ(Combo("outCombo")->currentText().toStdString(), "0x04");
    EXPECT_TRUE(Find<QAbstractButton>("initCheck")->isChecked());
    EXPECT_EQ(Edit("stopTimerEdit")->text().toStdString(), "30");
    ASSERT_TRUE(Close());
    ASSERT_TRUE(program_->Finish());
    Stop();
    EXPECT_EQ(ReadAll(settings_path()), first) << "run " << run;
  }
}

TEST_F(MainWindowTest, ToolWindowsShowAndHideFromTheMenu) {
  Start();
  MainWindow& w = program_->window();
  for (auto [action, window] :
       {std::pair{"channelAction", w.channelWindow()}, std::pair{"filterAction", w.filterWindow()},
        std::pair{"scheduleAction", w.scheduleWindow()}, std::pair{"guideAction", w.guideWindow()}}) {
    ASSERT_NE(window, nullptr);
    Trigger(action);
    EXPECT_TRUE(window->isVisible()) << action;
    window->close();  // the close box only hides it
    EXPECT_FALSE(window->isVisible());
    Trigger(action);
    EXPECT_TRUE(window->isVisible());
  }
  EXPECT_EQ(w.channelWindow()->windowTitle().toStdString(), "チャンネル設定");
  EXPECT_EQ(w.filterWindow()->windowTitle().toStdString(), "フィルタリング");
  EXPECT_EQ(w.scheduleWindow()->windowTitle().toStdString(), "録画予約");
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  Settings saved;
  WindowLayout places;
  LoadSettings(settings_path(), dir.string(), &saved, &places);
  EXPECT_EQ(places.channel.show, 1);
  EXPECT_EQ(places.filter.show, 1);
  EXPECT_EQ(places.schedule.show, 1);
}

// True when every column of `list` lies inside its viewport.
bool ShowsEveryColumn(QTableView* list) {
  const int last = list->horizontalHeader()->count() - 1;
  return list->horizontalScrollBar()->maximum() == 0 &&
         list->columnViewportPosition(last) + list->columnWidth(last) <= list->viewport()->width();
}

TEST_F(MainWindowTest, ToolWindowsAreWindowsAndStoreOnlyWhereTheyWere) {
  Start();
  MainWindow& w = program_->window();
  for (ToolWindow* window : {w.channelWindow(), w.filterWindow(), w.scheduleWindow()}) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(window);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::Window) << window->windowTitle().toStdString();
    EXPECT_EQ(a->text(QAccessible::Name), window->windowTitle());
  }
  // At first start both lists show all their columns.
  Trigger("filterAction");
  Trigger("scheduleAction");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.scheduleWindow()));
  EXPECT_TRUE(ShowsEveryColumn(Find<QTableView>("serviceList")));
  EXPECT_TRUE(ShowsEveryColumn(Find<QTableView>("scheduleList")));
  Trigger("scheduleAction");
  // The status bar's four parts, and nothing else: right edges at 50, 105, 250 and the window's
  // edge; the first stays empty, the others hold a blank; no wake alarm to tell in a tool tip.
  const int edges[4] = {50, 105, 250, w.statusBar()->width()};
  for (int part = 0; part < 4; ++part) {
    const auto* label = w.statusBar()->findChild<QLabel*>(QStringLiteral("statusPart%1").arg(part));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().toStdString(), part == 0 ? "" : " ") << part;
    EXPECT_EQ(label->geometry().right() + 1, edges[part]) << part;
    EXPECT_EQ(label->geometry().left(), part == 0 ? 0 : edges[part - 1]) << part;
  }
  EXPECT_EQ(w.statusBar()->findChild<QLabel*>(QStringLiteral("statusPart3"))->toolTip(), QString());
  int shown = 0;
  for (const QLabel* label : w.statusBar()->findChildren<QLabel*>())
    shown += label->isVisible() && !label->objectName().startsWith(QStringLiteral("statusPart")) ? 1 : 0;
  EXPECT_EQ(shown, 0);
  w.resize(w.width() + 40, w.height());
  QCoreApplication::processEvents();
  EXPECT_EQ(w.statusBar()->findChild<QLabel*>(QStringLiteral("statusPart3"))->geometry().right() + 1,
            w.statusBar()->width());
  w.filterWindow()->move(240, 180);
  const QSize filter_size = w.filterWindow()->size();
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  Settings saved;
  WindowLayout places;
  LoadSettings(settings_path(), dir.string(), &saved, &places);
  // The channel window was never shown: it has no position to store.
  EXPECT_EQ(places.channel.x, -30000);
  EXPECT_EQ(places.channel.y, -30000);
  EXPECT_EQ(places.filter.x, 240);
  EXPECT_EQ(places.filter.y, 180);
  EXPECT_EQ(places.filter.width, filter_size.width());
  EXPECT_EQ(places.filter.height, filter_size.height());
  EXPECT_EQ(places.schedule.show, 0);
  EXPECT_GT(places.schedule.width, 0);

  // A position of "none" keeps the first-start position and size, whatever size is stored.
  places.filter.x = -30000;
  places.filter.width = 200;
  places.filter.height = 100;
  places.filter.show = 1;
  places.schedule.y = -30000;
  places.schedule.width = 200;
  places.schedule.height = 100;
  Stop();
  WriteSettings(saved, &places);
  Start();
  ToolWindow* filter = program_->window().filterWindow();
  EXPECT_TRUE(filter->isVisible());
  EXPECT_EQ(filter->size(), filter_size);
  EXPECT_NE(program_->window().scheduleWindow()->size(), QSize(200, 100));
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  // Shown, the filtering window now stores where it is; the hidden schedule window what it read.
  LoadSettings(settings_path(), dir.string(), &saved, &places);
  EXPECT_GT(places.filter.x, -30000);
  EXPECT_EQ(places.filter.width, filter_size.width());
  EXPECT_EQ(places.schedule.y, -30000);
  EXPECT_EQ(places.schedule.width, 200);
}

// A device set that cannot be opened.
class ClosedDevice : public pelkan::testing::FakeDtvDevice {
 public:
  int OpenDevice() override { return 0; }
  int IsDeviceOpen() override { return 0; }
  int GetDeviceCount() override { return 0; }
};

TEST_F(MainWindowTest, WithoutADeviceTheReservationsAreStillLoadedAndKept) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = 60000;
  item.start_second = 3600;
  item.duration = 600;
  ASSERT_TRUE(SaveScheduleFile(schedule_path(), {item}));
  options.make_device = [](const Settings&) { return std::make_unique<ClosedDevice>(); };
  Start();
  EXPECT_FALSE(program_->device_opened());
  EXPECT_EQ(program_->schedule().scheduler().Reservations().size(), 1u);
  for (const char* name :
       {"deviceCombo", "connectButton", "inCombo", "outCombo", "recordButton", "sendButton"})
    EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
  EXPECT_TRUE(Button("rescanButton")->isEnabled());
  Click("rescanButton");
  ASSERT_NE(program_->window().channelWindow(), nullptr);
  ASSERT_TRUE(Close());
  EXPECT_EQ(LoadScheduleFile(schedule_path()).size(), 1u);
}

TEST_F(MainWindowTest, FailedSavesAtExitAreReported) {
  options.settings_path = (dir / "missing" / "pelkan.ini").string();
  options.schedule_path = (dir / "missing" / "schedule.ini").string();
  Start();
  messages.answer = false;  // do not try again
  ASSERT_TRUE(Close());
  EXPECT_FALSE(program_->Finish());
  EXPECT_EQ(Messages(),
            "pelkan|予約ファイル schedule.ini を書き込めません。\nもう一度試しますか？\n"
            "pelkan|設定ファイル pelkan.ini を書き込めません。\nもう一度試しますか？");
}

TEST_F(MainWindowTest, ReservationsWrittenByAnotherProgramAreTakenOver) {
  ScheduleItem first{};
  first.flags = SI_BY_TIME;
  first.start_day = 60000;
  first.start_second = 3600;
  first.duration = 600;
  ASSERT_TRUE(SaveScheduleFile(schedule_path(), {first}));
  Start();
  ASSERT_EQ(program_->schedule().scheduler().Reservations().size(), 1u);
  // As pelkan-cli schedule add would: the file gets a second reservation while the window runs.
  ScheduleItem second = first;
  second.start_day = 60001;
  ASSERT_TRUE(SaveScheduleFile(schedule_path(), {first, second}));
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return program_->schedule().scheduler().Reservations().size() == 2u; }, 5000));
  ASSERT_TRUE(Close());
  EXPECT_EQ(LoadScheduleFile(schedule_path()).size(), 2u);
}

// A schedule.ini that is no reservation file used to be replaced by an empty list without a word.
TEST_F(MainWindowTest, ScheduleFileThatIsNoReservationFileIsKeptAsideWithAMessage) {
  std::ofstream(schedule_path(), std::ios::binary) << "my notes, not reservations\n";
  Start();
  EXPECT_TRUE(program_->schedule().scheduler().Reservations().empty());
  ASSERT_TRUE(WaitFor([&] { return !messages.shown.empty(); })) << Messages();
  EXPECT_EQ(Messages(), "pelkan|予約ファイル " + schedule_path() + " は読めない内容なので、" +
                            schedule_path() + ".bad として残しました。");
  EXPECT_EQ(ReadAll(schedule_path() + ".bad"), "my notes, not reservations\n");
  ASSERT_TRUE(Close());
  EXPECT_TRUE(LoadScheduleFile(schedule_path()).empty());
}

// A scheduled recording whose folder is gone used to end without a word.
TEST_F(MainWindowTest, ScheduledRecordingThatCannotCreateItsFileIsReported) {
  Settings s = DefaultSettings(dir.string());
  s.schedule_use_system_time = 1;
  WriteSettings(s);
  MjdTime start = UnpackMjdTime(LocalMjdTime());
  AddSeconds(&start, 2);
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = start.date;
  item.start_second = start.seconds;
  item.duration = 60;
  const std::string folder = (dir / "removed").string();
  SetText(item.directory, folder);
  ASSERT_TRUE(SaveScheduleFile(schedule_path(), {item}));
  Start();
  Click("connectButton");
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  ASSERT_TRUE(WaitFor([&] { return !messages.shown.empty(); }, 10000));
  EXPECT_EQ(Messages().rfind(
                "ERROR|録画ファイルを作成できないので予約録画を開始できませんでした。\n" + folder + "/", 0),
            0u)
      << Messages();
  EXPECT_NE(Messages().find("\n(No such file or directory)"), std::string::npos) << Messages();
  const auto finished = program_->schedule().scheduler().Finished();
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(ItemState(finished[0]), ST_ERROR);
  Click("connectButton");
  EXPECT_TRUE(Close());
}

}  // namespace
}  // namespace pelkan::ui
