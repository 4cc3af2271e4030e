// A reservation made in the list window's dialog is recorded from the running virtual tuner, and
// neither the edit dialog nor the overlap question holds the capture pipeline up while open.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <filesystem>
#include <thread>

#include "app/capture_bindings.h"
#include "app/scheduled_capture.h"
#include "core/capture_app.h"
#include "core/device_channels.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "schedule/recording_scheduler.h"
#include "tests/support/capture_fakes.h"
#include "tests/ui/ui_test_support.h"
#include "ui/qt_dispatcher.h"
#include "ui/qt_text.h"
#include "ui/report_opener.h"
#include "ui/schedule_edit_dialog.h"
#include "ui/schedule_list_window.h"
#include "usb/virtual_tuner.h"

namespace pelkan::ui {
namespace {

using testing::OnModal;

// Answers like RecordingMessages, but only after `during_ask` ran (a box stays open meanwhile).
class SlowMessages : public pelkan::testing::RecordingMessages {
 public:
  bool Ask(const std::string& text, const std::string& caption) override {
    if (during_ask) during_ask();
    return RecordingMessages::Ask(text, caption);
  }
  std::function<void()> during_ask;
};

// Runs the event loop for `ms` milliseconds, as an open modal box does.
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

uintmax_t FileSize(const std::string& path) {
  std::error_code ec;
  const uintmax_t n = std::filesystem::file_size(path, ec);
  return ec ? 0 : n;
}

TEST(ScheduleRecording, DialogReservationIsRecordedAndNothingWaitsForTheUser) {
  char pattern[] = "/tmp/pelkan-ui-rec-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  QObject context;
  QtDispatcher dispatcher(&context);
  SlowMessages messages;
  {
    CaptureApp app(&dispatcher, &messages);
    app.settings().schedule_use_system_time = 1;
    usb::VirtualTunerOptions tuner;
    tuner.source_factory = [] { return core::MakeDefaultTsSource(usb::kDefaultVirtualBitRate); };
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(tuner));
    device->OpenDevice();
    app.SetDevice(std::move(device));
    ScheduledCapture capture([&dispatcher](std::function<void()> work) { dispatcher.Post(std::move(work)); });
    capture.Begin(dir, dir + "/schedule.ini");
    capture.Attach(app);
    // The heartbeat a session runs: the status refresh ticks the scheduler's clock.
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&app] {
      if (app.IsConnected()) app.RefreshStatus();
    });
    beat.start(300);
    // However the test ends, the capture stops before its listeners go.
    struct StopFirst {
      CaptureApp& app;
      ~StopFirst() { app.Disconnect(); }
    } stop_first{app};
    ScheduleListWindow window(
        capture, [&app] { return ReadDeviceChannels(app.device()); }, &messages);
    window.show();
    ConnectRequest request;
    request.device_index = 0;
    request.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    request.out_address = core::kNoEndpoint;
    ASSERT_TRUE(app.Connect(request));

    // 追加: starting in 3 s, for 20 s.
    const QDateTime start = QDateTime::currentDateTime().addSecs(3);
    OnModal<ScheduleEditDialog>(&context, [start](ScheduleEditDialog* d) {
      d->findChild<QDateEdit*>("dateEdit")->setDate(start.date());
      d->findChild<QTimeEdit*>("timeEdit")->setTime(start.time());
      d->findChild<QTimeEdit*>("durationEdit")->setTime(QTime(0, 0, 20));
      d->findChild<QPushButton*>("okButton")->click();
    });
    QTest::mouseClick(window.findChild<QPushButton*>("addButton"), Qt::LeftButton);
    ASSERT_EQ(capture.scheduler().Reservations().size(), 1u);

    std::string path;
    ASSERT_TRUE(WaitUntil(
        [&] {
          path = capture.scheduler().ActiveOutputPath();
          return !path.empty();
        },
        20000));
    EXPECT_EQ(std::filesystem::path(path).filename().string(),
              start.toString("yyyyMMdd-HHmm").toStdString() + ".ts");
    auto* list = window.findChild<QTableWidget*>("scheduleList");
    ASSERT_TRUE(
        WaitUntil([&] { return list->item(0, 0) && list->item(0, 0)->text().contains(U8("録画中")); }, 5000));

    // The edit dialog stays open 6 s while the recording runs: longer than the capture FIFO
    // (10 MiB, about 5 s of the stream) would hold if the pipeline waited for it.
    uintmax_t at_open = 0, at_close = 0;
    OnModal<ScheduleEditDialog>(&context, [&](ScheduleEditDialog* d) {
      at_open = FileSize(path);
      Spin(6000);
      at_close = FileSize(path);
      QTest::mouseClick(d->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    });
    QTest::mouseClick(window.findChild<QPushButton*>("addButton"), Qt::LeftButton);
    EXPECT_GT(at_close, at_open) << "the recording stood still while the dialog was open";
    EXPECT_EQ(app.stats().fifo_overflows.load(), 0u);

    // An overlapping reservation: the question stays open 1.5 s and is answered no.
    uintmax_t at_ask = 0, at_answer = 0;
    messages.answer = false;
    messages.during_ask = [&] {
      at_ask = FileSize(path);
      Spin(1500);
      at_answer = FileSize(path);
    };
    OnModal<ScheduleEditDialog>(
        &context, [](ScheduleEditDialog* d) { d->findChild<QPushButton*>("okButton")->click(); });
    QTest::mouseClick(window.findChild<QPushButton*>("addButton"), Qt::LeftButton);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_GT(at_answer, at_ask) << "the recording stood still while the question was open";
    EXPECT_EQ(capture.scheduler().Reservations().size(), 1u);
    EXPECT_EQ(app.stats().fifo_overflows.load(), 0u);

    ASSERT_TRUE(WaitUntil([&] { return !capture.scheduler().Finished().empty(); }, 30000));
    EXPECT_EQ(app.stats().fifo_overflows.load(), 0u);
    app.Disconnect();
    QCoreApplication::processEvents();
    window.findChild<QRadioButton*>("finishedRadio")->click();
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->item(0, 0)->text(), U8("日付[ 終了 ]"));
    // Its totals, and its report opened from the list.
    EXPECT_EQ(list->item(0, 5)->text(), U8("ドロップ 0  エラー 0  スクランブル 0"));
    std::string opened;
    SetReportOpener([&](const std::string& report) { opened = report; });
    list->selectRow(0);
    auto* open_report = window.findChild<QPushButton*>("openReportButton");
    ASSERT_TRUE(open_report->isEnabled());
    QTest::mouseClick(open_report, Qt::LeftButton);
    EXPECT_EQ(opened, path + ".err");
    opened.clear();
    const QPoint cell = list->visualItemRect(list->item(0, 1)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell);
    SetReportOpener(nullptr);
    EXPECT_EQ(opened, path + ".err");
    EXPECT_TRUE(std::filesystem::exists(path + ".err"));
    EXPECT_EQ(window.findChild<QRadioButton*>("reservationsRadio")->text(), U8("録画予約(0件)"));
    EXPECT_TRUE(capture.End());
    const uintmax_t size = FileSize(path);
    EXPECT_GT(size, 1000u * 188);
    EXPECT_EQ(size % 188, 0u);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan::ui
