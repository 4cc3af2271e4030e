// The desktop program and the recorder service, against a stand-in for systemd's user manager
// (python3-dbusmock on a private session bus): the quit question's はい / いいえ / キャンセル clicked,
// the connection while the service runs, and the "視聴" link of the HTTP server.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <fstream>

#include "app/recorder_service.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "tests/support/loopback_udp.h"
#include "tests/support/mock_logind.h"
#include "tests/ui/ui_test_support.h"

namespace pelkan::ui {
namespace {

using testing::DesktopFixture;
using testing::OnModal;

constexpr char kInactive[] = R"({"pelkan-recorder.service": "inactive"})";

// A reservation tomorrow, pending at the quit.
void StoreReservation(DesktopFixture& f) {
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  MjdTime later = now;
  AddSeconds(&later, 86400);
  const ScheduleItem item = MakeTimeReservation(platform::Utf8ToSjis(f.dir.string()), 0, &later, 600,
                                                std::string_view("news"), now);
  ASSERT_EQ(f.program_->schedule().scheduler().StoreItem(item, -1), 1);
}

TEST(RecorderHandoffWindow, TheQuitQuestionsAnswersClicked) {
  const struct {
    const char* name;
    QMessageBox::StandardButton click;
    bool exits;
    const char* active;
    const char* file;
  } cases[] = {
      {"はい", QMessageBox::Yes, true, "active", "enabled"},
      {"いいえ", QMessageBox::No, true, "inactive", "disabled"},
      {"キャンセル", QMessageBox::Cancel, false, "inactive", "disabled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pelkan::testing::MockUserManager manager;
    if (!manager.Start(kInactive)) GTEST_SKIP() << manager.Error();
    DesktopFixture f;
    f.options.recorder_bus = manager.address();
    f.Start();
    StoreReservation(f);
    QString question, button;
    OnModal<QMessageBox>(&f.program_->window(), [&](QMessageBox* box) {
      question = box->text();
      button = box->button(c.click)->text();
      QTest::mouseClick(box->button(c.click), Qt::LeftButton);
    });
    EXPECT_EQ(f.Close(), c.exits);
    EXPECT_EQ(question, QStringLiteral("予約が 1 件あります。録画サービスに任せますか？"));
    EXPECT_EQ(button, QString::fromUtf8(c.name));
    // The service starts once the program has let go of the tuner.
    EXPECT_EQ(RecorderService(manager.address()).Query().active, "inactive");
    f.Stop();
    const RecorderUnitState after = RecorderService(manager.address()).Query();
    EXPECT_EQ(after.active, c.active);
    EXPECT_EQ(after.file, c.file);
  }
}

// Connecting while the service runs asks first; はい stops it for the session, and the exit starts
// it again without asking about the reservations it takes back.
TEST(RecorderHandoffWindow, ConnectingStopsTheRunningServiceUntilTheExit) {
  pelkan::testing::MockUserManager manager;
  if (!manager.Start(R"({"pelkan-recorder.service": "active"})")) GTEST_SKIP() << manager.Error();
  DesktopFixture f;
  f.options.recorder_bus = manager.address();
  f.Start();
  StoreReservation(f);
  f.messages.answer = false;
  QTest::mouseClick(f.Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_FALSE(f.program_->app().IsConnected());
  EXPECT_EQ(RecorderService(manager.address()).Query().active, "active");
  f.messages.answer = true;
  QTest::mouseClick(f.Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_TRUE(f.program_->app().IsConnected());
  EXPECT_EQ(RecorderService(manager.address()).Query().active, "inactive");
  EXPECT_EQ(f.Messages(),
            "pelkan|録画サービスがチューナーを使っています。\n終了するまで録画サービスを止めて接続しますか？\n"
            "pelkan|録画サービスがチューナーを使っています。\n終了するまで録画サービスを止めて接続しますか？");
  f.program_->app().Disconnect();
  EXPECT_TRUE(f.Close());
  f.Stop();
  EXPECT_EQ(RecorderService(manager.address()).Query().active, "active");
}

TEST(RecorderHandoffWindow, TheWatchLinkAndThePlaylistUrlWhileServing) {
  DesktopFixture f;
  const uint16_t port = pelkan::testing::FreeLoopbackTcpPort();
  std::ofstream(f.settings_path()) << "[Pelkan_Q_HTTP]\nHTTP_ENABLED=1\nHTTP_PORT=" << port << "\n";
  f.Start();
  auto* link = f.Find<QLabel>("watchValue");
  ASSERT_NE(link, nullptr);
  EXPECT_FALSE(link->isVisible());
  QTest::mouseClick(f.Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(f.program_->app().IsHttpServing());
  f.program_->app().RefreshStatus();
  const QString url = QStringLiteral("http://127.0.0.1:%1/playlist.m3u").arg(port);
  EXPECT_TRUE(link->isVisible());
  EXPECT_EQ(link->text(), QStringLiteral("<a href=\"%1\">視聴</a>&nbsp;&nbsp;%1").arg(url));
  f.program_->app().Disconnect();
  f.program_->app().RefreshStatus();
  EXPECT_FALSE(link->isVisible());
}

}  // namespace
}  // namespace pelkan::ui
