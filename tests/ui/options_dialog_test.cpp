#include "ui/options_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/scheduled_capture.h"
#include "core/capture_app.h"
#include "platform/text_codec.h"
#include "tests/ui/ui_test_support.h"

namespace pelkan::ui {
namespace {

// Runs `step` on the options dialog once it is the modal window.
void WhenOpen(std::function<void(QDialog*)> step) {
  QTimer::singleShot(0, [step] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    step(dialog);
  });
}

template <typename T>
T* Child(QWidget* w, const char* name) {
  return w->findChild<T*>(QString::fromLatin1(name));
}

class OptionsDialogTest : public ::testing::Test, public testing::DesktopFixture {};

TEST_F(OptionsDialogTest, OkChecksEveryFieldAndAppliesOnlyValidSettings) {
  Start();
  const std::filesystem::path folder = dir / "録画";
  std::filesystem::create_directory(folder);
  bool closed_after_refusals = true;
  WhenOpen([&](QDialog* d) {
    EXPECT_EQ(d->windowTitle().toStdString(), "オプション");
    EXPECT_TRUE(d->isModal());
    EXPECT_EQ(d->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(Child<QLineEdit>(d, "timerPeriodEdit")->text().toStdString(), "1");
    EXPECT_EQ(Child<QLabel>(d, "timerRangeValue")->text().toStdString(), "設定可能範囲 : 1 - 1000000");
    EXPECT_EQ(Child<QLabel>(d, "timerResolutionValue")->text().toStdString().rfind("標準タイマ分解能 : ", 0),
              0u);
    auto* priority = Child<QComboBox>(d, "requestPriorityCombo");
    EXPECT_FALSE(priority->isEnabled());
    ASSERT_EQ(priority->count(), 2);
    EXPECT_EQ(priority->itemText(1).toStdString(), "高");
    auto* ok = Child<QPushButton>(d, "okButton");
    Child<QLineEdit>(d, "timerPeriodEdit")->setText("1000001");
    ok->click();
    Child<QLineEdit>(d, "timerPeriodEdit")->setText("0");
    Child<QLineEdit>(d, "autoPathEdit")->setText(QString::fromStdString((dir / "missing").string()));
    ok->click();
    closed_after_refusals = !d->isVisible();
    Child<QLineEdit>(d, "autoPathEdit")->setText(QString::fromStdString(folder.string()));
    Child<QCheckBox>(d, "decodePsiCheck")->setChecked(true);
    Child<QCheckBox>(d, "autoFileNameCheck")->setChecked(true);
    // The reservations' defaults, each spin box named by its caption.
    auto* before = Child<QSpinBox>(d, "marginBeforeSpin");
    EXPECT_EQ(Child<QLabel>(d, "marginBeforeLabel")->buddy(), before);
    EXPECT_EQ(Child<QLabel>(d, "followLimitLabel")->buddy(), Child<QSpinBox>(d, "followLimitSpin"));
    EXPECT_EQ(before->value(), 5);
    EXPECT_EQ(Child<QSpinBox>(d, "followLimitSpin")->value(), 180);
    EXPECT_EQ(Child<QSpinBox>(d, "marginAfterSpin")->maximum(), 600);
    before->setValue(30);
    Child<QSpinBox>(d, "marginAfterSpin")->setValue(60);
    Child<QSpinBox>(d, "followLimitSpin")->setValue(90);
    ok->click();
  });
  Find<QAction>("optionsAction")->trigger();
  EXPECT_FALSE(closed_after_refusals);
  EXPECT_EQ(Messages(), "pelkan|タイマ精度設定値が不正です\npelkan|保存先パスは無効です");
  CaptureApp& app = program_->app();
  EXPECT_EQ(app.settings().timer_period, 0);
  EXPECT_EQ(app.settings().decode_psi, 1);
  EXPECT_EQ(app.settings().rec_autofilename, 1);
  EXPECT_EQ(platform::SjisToUtf8(app.settings().rec_autopath), folder.string());
  EXPECT_EQ(platform::SjisToUtf8(program_->schedule().scheduler().DefaultDirectory()), folder.string());
  EXPECT_EQ(program_->schedule().scheduler().DefaultMargins(), std::make_pair(uint16_t{30}, uint16_t{60}));

  // Cancel after editing changes nothing.
  WhenOpen([&](QDialog* d) {
    Child<QLineEdit>(d, "timerPeriodEdit")->setText("7");
    Child<QCheckBox>(d, "decodePsiCheck")->setChecked(false);
    Child<QPushButton>(d, "cancelButton")->click();
  });
  Find<QAction>("optionsAction")->trigger();
  EXPECT_EQ(app.settings().timer_period, 0);
  EXPECT_EQ(app.settings().decode_psi, 1);
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  Settings saved;
  LoadSettings(settings_path(), dir.string(), &saved);
  EXPECT_EQ(saved.timer_period, 0);
  EXPECT_EQ(saved.decode_psi, 1);
  EXPECT_EQ(saved.rec_autopath, platform::Utf8ToSjis(folder.string()));
  EXPECT_EQ(saved.schedule_margin_before, 30);
  EXPECT_EQ(saved.schedule_margin_after, 60);
  EXPECT_EQ(saved.schedule_follow_limit, 90);
}

// Every key the dialog shows has its control: a check box for a flag, a spin box held to the key's
// range for a number. Each one changed and OK clicked, the key holds what its control showed.
TEST_F(OptionsDialogTest, EveryKeyWithAControlIsShownAndStoredThroughIt) {
  Start();
  CaptureApp& app = program_->app();
  const Settings before = app.settings();
  int shown = 0;
  WhenOpen([&](QDialog* d) {
    for (const SettingKey& k : SettingKeys()) {
      if (k.control == nullptr) continue;
      ++shown;
      if (k.type == SettingType::kFlag) {
        auto* box = Child<QCheckBox>(d, k.control);
        ASSERT_NE(box, nullptr) << k.name;
        EXPECT_EQ(box->isChecked(), before.*k.number != 0) << k.name;
        box->setChecked(!box->isChecked());
        continue;
      }
      ASSERT_EQ(k.type, SettingType::kNumber) << k.name;
      auto* spin = Child<QSpinBox>(d, k.control);
      ASSERT_NE(spin, nullptr) << k.name;
      EXPECT_EQ(spin->minimum(), k.min) << k.name;
      EXPECT_EQ(spin->maximum(), k.max) << k.name;
      EXPECT_EQ(spin->value(), before.*k.number) << k.name;
      spin->setValue(k.max + 1);
    }
    QTest::mouseClick(Child<QPushButton>(d, "okButton"), Qt::LeftButton);
  });
  Find<QAction>("optionsAction")->trigger();
  EXPECT_EQ(shown, 14);
  for (const SettingKey& k : SettingKeys()) {
    if (k.control == nullptr) continue;
    const int32_t expected = k.type == SettingType::kFlag ? (before.*k.number != 0 ? 0 : 1) : k.max;
    EXPECT_EQ(app.settings().*k.number, expected) << k.name;
  }
  // The test's program keeps its hands off the computer's wake alarm.
  app.settings().wake_alarm = 0;
  EXPECT_TRUE(Close());
}

TEST_F(OptionsDialogTest, VersionBoxClosesWithItsButton) {
  Start();
  std::string name, version, button;
  WhenOpen([&](QDialog* d) {
    name = Child<QLabel>(d, "nameValue")->text().toStdString();
    version = Child<QLabel>(d, "versionValue")->text().toStdString();
    button = Child<QPushButton>(d, "closeButton")->text().toStdString();
    Child<QPushButton>(d, "closeButton")->click();
  });
  Find<QAction>("versionAction")->trigger();
  EXPECT_EQ(name, "Pelkan");
  EXPECT_EQ(version, std::string("バージョン ") + PELKAN_VERSION);
  EXPECT_EQ(button, "閉じる");
  EXPECT_TRUE(Close());
}

}  // namespace
}  // namespace pelkan::ui
