#include "ui/schedule_edit_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimeEdit>
#include <filesystem>

#include "platform/text_codec.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_file.h"
#include "tests/support/capture_fakes.h"

namespace pelkan::ui {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03
const MjdTime kNow{kDay, 21 * 3600 + 15 * 60 + 40};

std::string Sjis(const char* utf8) {
  return platform::Utf8ToSjis(utf8);
}

class ScheduleEditDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-dialog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // OK as the user presses it.
  static void ClickOk(ScheduleEditDialog& d) {
    QTest::mouseClick(d.findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
  }
  template <typename T>
  static T* Child(QWidget* w, const char* name) {
    T* c = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
  }
  std::string dir_;
  testing::RecordingMessages messages_;
};

TEST_F(ScheduleEditDialogTest, AddShowsTheNewReservationAndOkKeepsIt) {
  const ScheduleItem item = MakeTimeReservation(Sjis(dir_.c_str()), 0, nullptr, 0, std::nullopt, kNow);
  ScheduleEditDialog d(item, DeviceChannels{}, messages_, nullptr, kNow);
  EXPECT_EQ(d.windowTitle(), QString::fromUtf8("録画予約編集"));
  auto* type = Child<QComboBox>(&d, "typeCombo");
  EXPECT_FALSE(type->isEnabled());
  EXPECT_EQ(type->currentText(), QString::fromUtf8("日時指定"));
  EXPECT_EQ(Child<QDateEdit>(&d, "dateEdit")->text(), QString::fromUtf8("2008年03月03日"));
  EXPECT_EQ(Child<QTimeEdit>(&d, "timeEdit")->text(), QString::fromUtf8("21時15分40秒"));
  EXPECT_EQ(Child<QTimeEdit>(&d, "durationEdit")->text(), QString::fromUtf8("00時間30分00秒"));
  auto* channel = Child<QComboBox>(&d, "channelCombo");
  EXPECT_EQ(channel->currentText(), QString::fromUtf8("無効"));
  EXPECT_FALSE(channel->isEnabled());
  EXPECT_EQ(Child<QLineEdit>(&d, "channelStringEdit")->text(), QString::fromUtf8("無効"));
  EXPECT_EQ(Child<QComboBox>(&d, "afterEndCombo")->currentText(), QString::fromUtf8("予約削除"));
  EXPECT_EQ(Child<QLineEdit>(&d, "networkIdsEdit")->text(), "0x0000/0x0000/0x0000");
  EXPECT_FALSE(Child<QLineEdit>(&d, "eventIdEdit")->isEnabled());
  EXPECT_EQ(Child<QLineEdit>(&d, "fileNameEdit")->text(), "20080303-2115");
  EXPECT_EQ(Child<QLineEdit>(&d, "extensionEdit")->text(), ".ts");
  EXPECT_FALSE(Child<QCheckBox>(&d, "fileNameCheck")->isChecked());
  // Captions name their values.
  EXPECT_EQ(Child<QLabel>(&d, "durationLabel")->buddy(), Child<QTimeEdit>(&d, "durationEdit"));
  EXPECT_EQ(Child<QLabel>(&d, "directoryLabel")->buddy(), Child<QLineEdit>(&d, "directoryEdit"));
  EXPECT_EQ(Child<QDateEdit>(&d, "dateEdit")->maximumDate(), QDate(2038, 4, 22));

  QTest::mouseClick(Child<QPushButton>(&d, "okButton"), Qt::LeftButton);
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_TRUE(messages_.shown.empty());
  EXPECT_EQ(FormatSchedule({d.item()}), FormatSchedule({item}));
}

TEST_F(ScheduleEditDialogTest, MarginsAndPriorityAreEditedInTheirGroup) {
  ScheduleItem item = MakeTimeReservation(Sjis(dir_.c_str()), 0, nullptr, 0, std::nullopt, kNow);
  item.margin_before = 30;
  item.priority = 4;
  ScheduleEditDialog d(item, DeviceChannels{}, messages_, nullptr, kNow);
  EXPECT_EQ(Child<QGroupBox>(&d, "marginGroup")->title(), QString::fromUtf8("録画マージン"));
  auto* before = Child<QSpinBox>(&d, "marginBeforeSpin");
  auto* after = Child<QSpinBox>(&d, "marginAfterSpin");
  auto* priority = Child<QSpinBox>(&d, "prioritySpin");
  EXPECT_EQ(Child<QLabel>(&d, "marginBeforeLabel")->buddy(), before);
  EXPECT_EQ(Child<QLabel>(&d, "marginAfterLabel")->buddy(), after);
  EXPECT_EQ(Child<QLabel>(&d, "priorityLabel")->buddy(), priority);
  EXPECT_EQ(Child<QLabel>(&d, "marginBeforeUnit")->text(), QString::fromUtf8("秒前"));
  EXPECT_EQ(Child<QLabel>(&d, "marginAfterUnit")->text(), QString::fromUtf8("秒後"));
  EXPECT_EQ(before->value(), 30);
  EXPECT_EQ(after->value(), 0);
  EXPECT_EQ(priority->value(), 4);
  EXPECT_EQ(after->maximum(), 600);
  EXPECT_EQ(priority->minimum(), 1);
  EXPECT_EQ(priority->maximum(), 5);
  before->setValue(120);
  after->setValue(600);
  priority->setValue(1);
  QTest::mouseClick(Child<QPushButton>(&d, "okButton"), Qt::LeftButton);
  ASSERT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.item().margin_before, 120);
  EXPECT_EQ(d.item().margin_after, 600);
  EXPECT_EQ(d.item().priority, 1);
}

TEST_F(ScheduleEditDialogTest, RefusedPathsKeepTheDialogOpen) {
  const ScheduleItem item = MakeTimeReservation(Sjis(dir_.c_str()), 0, nullptr, 0, std::nullopt, kNow);
  ScheduleEditDialog d(item, DeviceChannels{}, messages_, nullptr, kNow);
  d.show();
  auto* folder = Child<QLineEdit>(&d, "directoryEdit");
  folder->setText(QString::fromStdString(dir_ + "/missing"));
  ClickOk(d);
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, Sjis("無効なパスです。"));
  EXPECT_EQ(messages_.shown[0].caption, "");
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Rejected);

  folder->setText(QString::fromStdString(dir_));
  Child<QLineEdit>(&d, "fileNameEdit")->setText(QString(300, 'f'));
  ClickOk(d);
  ASSERT_EQ(messages_.shown.size(), 2u);
  EXPECT_EQ(messages_.shown[1].text, Sjis("パス名が長すぎます"));
  EXPECT_TRUE(d.isVisible());

  Child<QLineEdit>(&d, "fileNameEdit")->setText(QString::fromUtf8("番組"));
  Child<QCheckBox>(&d, "fileNameCheck")->setChecked(true);
  Child<QComboBox>(&d, "afterEndCombo")->setCurrentIndex(2);
  Child<QTimeEdit>(&d, "durationEdit")->setTime(QTime(1, 2, 3));
  ClickOk(d);
  EXPECT_EQ(messages_.shown.size(), 2u);
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.item().flags, SI_BY_TIME | SI_FILE_NAME | SI_WEEKLY);
  EXPECT_EQ(d.item().duration, 3723u);
  EXPECT_EQ(platform::SjisToUtf8(GetText(d.item().file_name)), "番組");
}

TEST_F(ScheduleEditDialogTest, EventReservationAndItsConversion) {
  ScheduleItem item = MakeEventReservation(Sjis(dir_.c_str()), 0, 0, 1024, 0x1234, Sjis("ニュース"), kNow);
  {
    ScheduleEditDialog d(item, DeviceChannels{}, messages_, nullptr, kNow);
    EXPECT_EQ(Child<QComboBox>(&d, "typeCombo")->currentText(), QString::fromUtf8("イベント指定"));
    EXPECT_EQ(Child<QDateEdit>(&d, "dateEdit")->text(), QString::fromUtf8("指定なし"));
    EXPECT_EQ(Child<QTimeEdit>(&d, "timeEdit")->text(), QString::fromUtf8("指定なし"));
    EXPECT_EQ(Child<QTimeEdit>(&d, "durationEdit")->text(), QString::fromUtf8("指定なし"));
    EXPECT_FALSE(Child<QPushButton>(&d, "convertButton")->isEnabled());
    EXPECT_FALSE(Child<QLineEdit>(&d, "directoryEdit")->isEnabled());
    EXPECT_FALSE(Child<QCheckBox>(&d, "serviceLimitCheck")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(&d, "networkIdsEdit")->text(), "0x0000/0x0000/0x0400");
    auto* event_id = Child<QLineEdit>(&d, "eventIdEdit");
    EXPECT_EQ(event_id->text(), "0x1234");
    event_id->setText("4660");
    ClickOk(d);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].text, Sjis("無効なイベントIDです。"));
    EXPECT_EQ(d.result(), QDialog::Rejected);
    event_id->setText("0x1235");
    ClickOk(d);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.item().event_id, 0x1235);
    EXPECT_EQ(d.item().flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
  }
  item.start_day = kDay;  // the event was found
  item.start_second = 19 * 3600;
  item.duration = 1800;
  ScheduleEditDialog d(item, DeviceChannels{}, messages_, nullptr, kNow);
  EXPECT_EQ(Child<QTimeEdit>(&d, "timeEdit")->text(), QString::fromUtf8("19時00分00秒"));
  auto* convert = Child<QPushButton>(&d, "convertButton");
  ASSERT_TRUE(convert->isEnabled());
  QTest::mouseClick(convert, Qt::LeftButton);
  EXPECT_EQ(Child<QComboBox>(&d, "typeCombo")->currentText(), QString::fromUtf8("日時指定"));
  EXPECT_FALSE(convert->isEnabled());
  EXPECT_FALSE(Child<QLineEdit>(&d, "eventIdEdit")->isEnabled());
  EXPECT_TRUE(Child<QLineEdit>(&d, "directoryEdit")->isEnabled());
  EXPECT_TRUE(Child<QDateEdit>(&d, "dateEdit")->isEnabled());
  Child<QCheckBox>(&d, "fileNameCheck")->setChecked(true);
  ClickOk(d);
  ASSERT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.item().flags, SI_BY_TIME | SI_SERVICE_LIMIT | SI_FILE_NAME);
  EXPECT_EQ(d.item().start_second, 19u * 3600);
  EXPECT_EQ(d.item().duration, 1800u);
  EXPECT_EQ(platform::SjisToUtf8(GetText(d.item().file_name)), "ニュース");
}

TEST_F(ScheduleEditDialogTest, ChangeKeepsChannelRepetitionAndALongDuration) {
  DeviceChannels device;
  device.capabilities = kCanSelectChannel;
  device.channels = {{"NHK", 3}, {"教育", 5}};
  ScheduleItem item = MakeTimeReservation(Sjis(dir_.c_str()), 1024, &kNow, 600, std::nullopt, kNow);
  item.flags |= SI_CHANNEL_VALUE | SI_DAILY;
  item.channel_value = 5;
  item.duration = 2 * 86400;  // longer than the picker shows
  ScheduleEditDialog d(item, device, messages_, nullptr, kNow);
  auto* channel = Child<QComboBox>(&d, "channelCombo");
  EXPECT_TRUE(channel->isEnabled());
  ASSERT_EQ(channel->count(), 3);
  EXPECT_EQ(channel->itemText(0), QString::fromUtf8("なし"));
  EXPECT_EQ(channel->currentText(), QString::fromUtf8("教育"));
  EXPECT_EQ(Child<QComboBox>(&d, "afterEndCombo")->currentText(),
            QString::fromUtf8("翌日の同じ時間帯に予約"));
  EXPECT_EQ(Child<QTimeEdit>(&d, "durationEdit")->text(), QString::fromUtf8("23時間59分59秒"));
  ClickOk(d);
  ASSERT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(FormatSchedule({d.item()}), FormatSchedule({item}));
}

}  // namespace
}  // namespace pelkan::ui
