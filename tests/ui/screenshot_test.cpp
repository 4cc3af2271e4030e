// Screenshots of the main window (connected to the virtual tuner, recording and sending), the
// options dialog, the version box and the channel window. Written as PNG into the folder named by
// PELKAN_SCREENSHOT_DIR; skipped without it (the CTest entries run it under xvfb-run).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <cstdlib>

#include "core/capture_app.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "platform/text_codec.h"
#include "tests/support/loopback_udp.h"
#include "tests/support/mock_logind.h"
#include "tests/ui/ui_test_support.h"
#include "ui/options_dialog.h"
#include "ui/tool_window.h"
#include "ui/version_dialog.h"

namespace pelkan::ui {
namespace {

class Screenshots : public ::testing::Test, public testing::DesktopFixture {
 protected:
  void SetUp() override {
    const char* out = std::getenv("PELKAN_SCREENSHOT_DIR");
    if (out == nullptr || *out == '\0') GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR is not set";
    out_ = out;
    std::filesystem::create_directories(out_);
  }
  void Save(QWidget* w, const char* name) {
    QApplication::processEvents();
    const QPixmap shot = w->grab();
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString::fromStdString((out_ / name).string()), "PNG")) << name;
  }
  std::filesystem::path out_;
};

TEST_F(Screenshots, MainWindowOptionsAndVersionBox) {
  Settings s = DefaultSettings(dir.string());
  s.decode_psi = 1;  // the broadcast clock
  s.rec_autofilename = 1;
  s.rec_time = 30;
  s.network_address = "127.0.0.1";
  uint16_t port = 0;
  const int fd = pelkan::testing::OpenLoopbackUdp(1 << 20, &port);
  ASSERT_GE(fd, 0);
  s.network_port = port;
  ASSERT_TRUE(SaveSettings(settings_path(), s));
  Start();
  MainWindow& w = program_->window();
  w.move(40, 40);
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  QTest::mouseClick(Find<QPushButton>("recordButton"), Qt::LeftButton);
  QTest::mouseClick(Find<QPushButton>("sendButton"), Qt::LeftButton);
  ASSERT_TRUE(testing::WaitFor(
      [&] { return !Text("clockValue").empty() && Text("recordingValue") != "録画バッファ中"; }, 10000));
  QTest::qWait(1500);
  Save(&w, "main_window.png");
  // Stopped: the group shows the recording's totals with the link to its report.
  QTest::mouseClick(Find<QPushButton>("recordButton"), Qt::LeftButton);
  ASSERT_TRUE(testing::WaitFor([&] { return !Text("lastRecordingValue").empty(); }));
  Save(&w, "main_window_recorded.png");

  w.channelWindow()->show();
  Save(w.channelWindow(), "channel_window.png");

  Settings current = program_->settings();
  OptionsDialog options(current, messages, &w);
  options.setWindowModality(Qt::NonModal);
  options.show();
  (void)QTest::qWaitForWindowExposed(&options);
  Save(&options, "options_dialog.png");
  options.close();

  VersionDialog version(&w);
  version.setWindowModality(Qt::NonModal);
  version.show();
  (void)QTest::qWaitForWindowExposed(&version);
  Save(&version, "version_box.png");
  version.close();

  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_TRUE(Close());
  ::close(fd);
}

// The filtering window as a first start opens it (no stored keys), filled from the virtual tuner:
// every column shows whole.
TEST_F(Screenshots, FilterWindowAtFirstStart) {
  Settings s = DefaultSettings(dir.string());
  s.decode_psi = 1;
  ASSERT_TRUE(SaveSettings(settings_path(), s));
  Start();
  MainWindow& w = program_->window();
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  ToolWindow* filter = w.filterWindow();
  filter->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(filter));
  auto* list = Find<QTableWidget>("serviceList");
  ASSERT_TRUE(testing::WaitFor([&] {
    return list->rowCount() > 0 && list->item(0, 1) != nullptr && !list->item(0, 1)->text().isEmpty();
  }));
  QTest::qWait(500);
  EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
  EXPECT_LE(list->horizontalHeader()->length(), list->viewport()->width());
  Save(filter, "filter_window_first_start.png");
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_TRUE(Close());
}

// Connected with the HTTP server on: the "視聴" link and the playlist's URL; then the quit with a
// reservation pending and the recorder service installed: the hand-off question.
TEST_F(Screenshots, WatchLinkAndQuitQuestion) {
  pelkan::testing::MockUserManager manager;
  if (!manager.Start(R"({"pelkan-recorder.service": "inactive"})")) GTEST_SKIP() << manager.Error();
  options.recorder_bus = manager.address();
  Settings s = DefaultSettings(dir.string());
  s.decode_psi = 1;
  s.http_enabled = 1;
  s.http_port = pelkan::testing::FreeLoopbackTcpPort();
  ASSERT_TRUE(SaveSettings(settings_path(), s));
  Start();
  MainWindow& w = program_->window();
  w.move(40, 40);
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsHttpServing()) << Messages();
  ASSERT_TRUE(testing::WaitFor([&] { return !Text("clockValue").empty(); }, 10000));
  QTest::qWait(1000);
  Save(&w, "main_window_watch.png");
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);

  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  MjdTime later = now;
  AddSeconds(&later, 86400);
  ASSERT_EQ(program_->schedule().scheduler().StoreItem(
                MakeTimeReservation(platform::Utf8ToSjis(dir.string()), 0, &later, 600, std::string_view("news"), now),
                -1),
            1);
  testing::OnModal<QMessageBox>(&w, [this](QMessageBox* box) {
    (void)QTest::qWaitForWindowExposed(box);
    Save(box, "quit_question.png");
    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
  });
  EXPECT_TRUE(Close());
}

}  // namespace
}  // namespace pelkan::ui
