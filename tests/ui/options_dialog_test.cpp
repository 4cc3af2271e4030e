#include "ui/options_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
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
