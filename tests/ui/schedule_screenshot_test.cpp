// Pictures of the reservation windows for the documentation: run with PELKAN_SCREENSHOT_DIR set
// (under xvfb-run, once as is and once with QT_SCALE_FACTOR=2); skipped otherwise.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QPixmap>
#include <QRadioButton>
#include <QTableWidget>
#include <cstdlib>
#include <filesystem>

#include "app/scheduled_capture.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/guide_events.h"
#include "ui/schedule_edit_dialog.h"
#include "ui/schedule_list_window.h"

namespace pelkan::ui {
namespace {

std::string Shot(const char* name) {
  const std::string scale = qEnvironmentVariable("QT_SCALE_FACTOR").toStdString();
  return std::string(std::getenv("PELKAN_SCREENSHOT_DIR")) + "/" + name + (scale == "2" ? "@2x" : "") +
         ".png";
}

void Settle() {
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
}

TEST(ScheduleScreenshots, ListWindowAndEditDialog) {
  if (std::getenv("PELKAN_SCREENSHOT_DIR") == nullptr) GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR not set";
  ScheduledCapture capture([](std::function<void()> work) { work(); });
  RecordingScheduler& s = capture.scheduler();
  s.SetDefaultDirectory("/tmp");
  const MjdTime now{54528, 20 * 3600 + 59 * 60 + 40};  // 2008-03-03 20:59:40
  ScheduleItem daily = MakeTimeReservation("/tmp", 0, nullptr, 0, std::nullopt, MjdTime{54528, 21 * 3600});
  daily.flags |= SI_DAILY | SI_SERVICE_LIMIT | SI_FILE_NAME;
  SetText(daily.service_id_text, "1024");
  s.StoreItem(daily, -1);
  const MjdTime news{54529, 19 * 3600};
  // A title as broadcast: [新] (ED E9), [字] (ED D4), [デ] (ED D6) and the additional kanji 﨑 (EB 5F).
  const std::string title = "\xED\xE9" + platform::Utf8ToSjis("ドラマ「山") + "\xEB\x5F" +
                            platform::Utf8ToSjis("家の人々」") + "\xED\xD4\xED\xD6";
  s.StoreItem(MakeTimeReservation("/tmp", 1032, &news, 1800, title, now), -1);
  s.StoreItem(MakeEventReservation("/tmp", 0, 0, 0x400, 0x1234, std::nullopt, now), -1);
  // An event found with its length left undetermined: "未定".
  ScheduleItem open_end = MakeEventReservation("/tmp", 0, 0, 0x400, 0x1235, platform::Utf8ToSjis("深夜映画"), now);
  open_end.start_day = 54529;
  open_end.start_second = 23 * 3600;
  open_end.duration = kMaxRecordSeconds;
  s.StoreItem(open_end, -1);
  // Two on other channels: one during the first, of a lower priority (録画不可), one of a higher
  // priority that takes the end of the drama (一部).
  ScheduleItem weather = MakeTimeReservation("/tmp", 0, nullptr, 0, platform::Utf8ToSjis("天気"),
                                             MjdTime{54528, 21 * 3600 + 10 * 60});
  weather.flags |= SI_CHANNEL_VALUE;
  weather.channel_value = 13;
  weather.duration = 600;
  weather.priority = 1;
  s.StoreItem(weather, -1);
  const MjdTime sports{54529, 19 * 3600 + 20 * 60};
  ScheduleItem match = MakeTimeReservation("/tmp", 1024, &sports, 3600, platform::Utf8ToSjis("サッカー"), now);
  match.flags |= SI_CHANNEL_VALUE;
  match.channel_value = 20;
  match.priority = 5;
  match.margin_before = 60;
  s.StoreItem(match, -1);
  s.Tick(now);  // the first one is being prepared
  // The guide names the event reservation's programme and the services.
  char guide_folder[] = "/tmp/pelkan-shot-guide-XXXXXX";
  ASSERT_NE(mkdtemp(guide_folder), nullptr);
  const std::string guide = std::string(guide_folder) + "/epg.sqlite";
  ASSERT_TRUE(test::WriteGuideProgramme(guide, {0x7FE8, 0x7FE8, 0x400, 0x1234}, "🈑ニュース・気象情報",
                                        GuideTime{54529} * 86400 + 22 * 3600, 1800, "NHK総合",
                                        ToGuideTime(JapanTimeNow())));
  testing::RecordingMessages messages;
  ScheduleListWindow window(capture, nullptr, &messages);
  window.ReadProgrammesFrom(guide, std::string());
  window.resize(1700, 300);
  window.show();
  Settle();
  window.findChild<QTableWidget*>("scheduleList")->selectRow(3);
  Settle();
  ASSERT_TRUE(window.grab().save(QString::fromStdString(Shot("schedule_list_window"))));

  DeviceChannels device;
  device.capabilities = kCanSelectChannel | kCanSendString;
  device.channels = {{"NHK総合", 27}, {"Eテレ", 26}, {"日本テレビ", 25}};
  const ScheduleItem programme =
      MakeTimeReservation(platform::Utf8ToSjis("/home/user/録画"), 1024, &news, 1800, title, now);
  ScheduleEditDialog dialog(programme, device, messages, nullptr, now);
  dialog.show();
  Settle();
  ASSERT_TRUE(dialog.grab().save(QString::fromStdString(Shot("schedule_edit_dialog"))));

  ScheduleEditDialog event(
      MakeEventReservation(platform::Utf8ToSjis("/home/user/録画"), 0, 0, 1024, 0x1234, title, now), device,
      messages, nullptr, now);
  event.show();
  Settle();
  ASSERT_TRUE(event.grab().save(QString::fromStdString(Shot("schedule_edit_dialog_event"))));
  ScheduleEditDialog undetermined(open_end, device, messages, nullptr, now);
  undetermined.show();
  Settle();
  ASSERT_TRUE(undetermined.grab().save(QString::fromStdString(Shot("schedule_edit_dialog_open_end"))));

  // The finished view: a recording with its totals, and a reservation that was never recorded.
  char folder[] = "/tmp/pelkan-shot-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  ScheduledCapture done([](std::function<void()> work) { work(); });
  RecordingScheduler& d = done.scheduler();
  d.StoreItem(MakeTimeReservation(folder, 1024, &news, 600, platform::Utf8ToSjis("ニュース"), now), -1);
  const MjdTime missed{54529, 18 * 3600};
  d.StoreItem(MakeTimeReservation(folder, 0, &missed, 600, std::nullopt, now), -1);
  d.Tick(MjdTime{54529, 18 * 3600 + 700});  // 18:00 passed without a recording
  d.Tick(MjdTime{54529, 19 * 3600 - 4});
  std::vector<uint8_t> packets = testing::MakePacketRun(0x100, 3000);
  packets.erase(packets.begin() + 1000 * 188, packets.begin() + 1014 * 188);
  for (size_t pos = 0; pos < packets.size(); pos += 188) d.ReceivePacket(packets.data() + pos, 188);
  d.Tick(MjdTime{54529, 19 * 3600 + 602});
  ASSERT_EQ(d.FinishedRecordings().size(), 2u);
  ScheduleListWindow finished(done, nullptr, &messages);
  finished.resize(1040, 200);
  finished.show();
  finished.findChild<QRadioButton*>("finishedRadio")->click();
  Settle();
  finished.findChild<QTableWidget*>("scheduleList")->selectRow(1);
  Settle();
  ASSERT_TRUE(finished.grab().save(QString::fromStdString(Shot("schedule_list_finished"))));
  std::filesystem::remove_all(folder);
  std::filesystem::remove_all(guide_folder);
}

}  // namespace
}  // namespace pelkan::ui
