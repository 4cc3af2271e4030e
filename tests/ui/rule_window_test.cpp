// The automatic reservation windows in the desktop program, against a guide written beforehand:
// the rule window ("自動予約") with its dialog's checks and live match list (a rerun struck through
// as a duplicate, "この回も録画" reserving it), enabling, and deleting with or without the rule's
// reservations; the guide's popup and search making rules, and a rule's reservation framed.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstdlib>

#include "app/rule_window_rules.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/guide_events.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"
#include "ui/guide_grid.h"
#include "ui/guide_window.h"
#include "ui/qt_text.h"
#include "ui/rule_edit_dialog.h"
#include "ui/rule_list_window.h"

namespace pelkan::ui {
namespace {

using testing::OnModal;
using testing::WaitFor;

constexpr uint16_t kService = 1024;

void Add(GuideStore& guide, uint16_t event_id, const char* title, GuideTime start, uint16_t episode,
         uint8_t repeat) {
  ASSERT_TRUE(test::AddGuideEvent(guide, {4, 5, kService, event_id}, title, start, episode, repeat));
}

// A guide from `day` (days since the MJD epoch) on: a daily drama (episode 12, its rerun the next
// morning, episode 13) and the morning news, on one named service.
void WriteGuide(const std::string& path, GuideTime day) {
  const auto at = [day](int d, int hour) { return (day + d) * 86400 + hour * 3600; };
  std::string error;
  auto guide = GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, &error);
  ASSERT_TRUE(guide) << error;
  guide->Begin();
  guide->SetServiceName(4, 5, kService, platform::Utf8ToBroadcast("ペルカン総合").value());
  Add(*guide, 1, "麒麟の道 第12話", at(0, 8), 12, 0);
  Add(*guide, 2, "麒麟の道 第12話[再]", at(1, 5), 12, 1);
  Add(*guide, 3, "麒麟の道 第13話", at(1, 8), 13, 0);
  Add(*guide, 4, "朝のニュース", at(1, 6), 0, 0);
  ASSERT_TRUE(guide->Commit());
}

class RuleWindowTest : public ::testing::Test, public testing::DesktopFixture {
 protected:
  void SetUp() override {
    day_ = ToGuideTime(JapanTimeNow()) / 86400 + 1;
    WriteGuide((dir / "epg.sqlite").string(), day_);
  }
  GuideTime At(int day, int hour) const { return (day_ + day) * 86400 + hour * 3600; }

  RuleListWindow* Rules() { return static_cast<RuleListWindow*>(program_->window().ruleWindow()); }
  QTableWidget* RuleList() { return Rules()->findChild<QTableWidget*>(QStringLiteral("ruleList")); }
  void Click(const char* button) {
    QTest::mouseClick(Rules()->findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
  }
  std::vector<ScheduleItem> Reservations() { return program_->schedule().scheduler().Reservations(); }
  // The rows of the dialog's match list as "title|verdict", with "~" before a struck-through one.
  static std::vector<std::string> MatchRows(RuleEditDialog* d) {
    auto* list = d->findChild<QTreeWidget*>(QStringLiteral("matchList"));
    std::vector<std::string> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* item = list->topLevelItem(i);
      std::string row = item->font(2).strikeOut() ? "~" : "";
      row.append(item->text(2).toStdString()).append("|").append(item->text(3).toStdString());
      rows.push_back(std::move(row));
    }
    return rows;
  }
  // The dialog answered as the user answers it: its OK or キャンセル clicked.
  static void ClickOk(RuleEditDialog* d) {
    QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
  }
  static void ClickCancel(RuleEditDialog* d) {
    QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cancelButton")), Qt::LeftButton);
  }
  static bool OkEnabled(RuleEditDialog* d) {
    return d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
        ->button(QDialogButtonBox::Ok)
        ->isEnabled();
  }

  GuideTime day_ = 0;
};

TEST_F(RuleWindowTest, AddsARuleWithItsLiveMatchesReservesARerunAnywayAndDeletes) {
  Start();
  program_->window().findChild<QAction*>(QStringLiteral("ruleAction"))->trigger();
  ASSERT_TRUE(Rules()->isVisible());
  EXPECT_EQ(RuleList()->rowCount(), 0);

  // A new rule: refused until it has words, refused with a broken expression; the live list
  // shows the drama's three airings, the rerun struck through as a duplicate.
  bool seen = false;
  OnModal<RuleEditDialog>(Rules(), [&](RuleEditDialog* d) {
    seen = true;
    auto* error = d->findChild<QLabel*>(QStringLiteral("errorLabel"));
    EXPECT_FALSE(OkEnabled(d));
    EXPECT_EQ(error->text(), U8("キーワードか正規表現を入力してください。"));
    d->findChild<QLineEdit*>(QStringLiteral("wordsEdit"))->setText(U8("麒麟"));
    EXPECT_TRUE(OkEnabled(d));
    EXPECT_TRUE(error->text().isEmpty());
    const std::vector<std::string> expected = {"麒麟の道 第12話|予約する",
                                               "~麒麟の道 第12話[再]|同じ回の放送が先にあります",
                                               "麒麟の道 第13話|予約する"};
    EXPECT_TRUE(WaitFor([&] { return MatchRows(d) == expected; }, 3000))
        << ::testing::PrintToString(MatchRows(d));
    auto* regex = d->findChild<QLineEdit*>(QStringLiteral("regexEdit"));
    regex->setText(QStringLiteral("("));
    EXPECT_FALSE(OkEnabled(d));
    EXPECT_EQ(error->text(), U8("正規表現が正しくありません。\n(missing closing parenthesis at offset 1)"));
    regex->clear();
    // A new rule has no marks yet: nothing to reserve anyway.
    auto* list = d->findChild<QTreeWidget*>(QStringLiteral("matchList"));
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 3; }, 3000));
    list->setCurrentItem(list->topLevelItem(1));
    EXPECT_FALSE(d->findChild<QPushButton*>(QStringLiteral("reserveAnywayButton"))->isEnabled());
    ClickOk(d);
  });
  Click("addButton");
  ASSERT_TRUE(seen);

  // Stored and run at once: the two first airings of the episodes are reserved by the rule.
  ASSERT_EQ(RuleList()->rowCount(), 1);
  EXPECT_EQ(RuleList()->item(0, 0)->text(), U8("麒麟"));
  EXPECT_EQ(RuleList()->item(0, 2)->text(), U8("すべて"));
  std::vector<ScheduleItem> reserved = Reservations();
  ASSERT_EQ(reserved.size(), 2u) << Messages();
  for (const ScheduleItem& item : reserved) EXPECT_NE(item.rule_id, 0u);
  EXPECT_EQ(RuleList()->item(0, 4)->text(), QStringLiteral("2"));
  EXPECT_TRUE(RuleList()->item(0, 3)->text().contains(U8("麒麟の道 第12話")))
      << RuleList()->item(0, 3)->text().toStdString();

  // The stored rule: the rerun reserved anyway, and then shown reserved, not struck through.
  RuleList()->selectRow(0);
  seen = false;
  OnModal<RuleEditDialog>(Rules(), [&](RuleEditDialog* d) {
    seen = true;
    EXPECT_EQ(d->findChild<QLineEdit*>(QStringLiteral("wordsEdit"))->text(), U8("麒麟"));
    auto* list = d->findChild<QTreeWidget*>(QStringLiteral("matchList"));
    ASSERT_EQ(list->topLevelItemCount(), 3) << ::testing::PrintToString(MatchRows(d));
    EXPECT_EQ(MatchRows(d)[0], "麒麟の道 第12話|予約済み");
    list->setCurrentItem(list->topLevelItem(1));
    auto* anyway = d->findChild<QPushButton*>(QStringLiteral("reserveAnywayButton"));
    ASSERT_TRUE(anyway->isEnabled());
    QTest::mouseClick(anyway, Qt::LeftButton);
    EXPECT_EQ(MatchRows(d)[1], "麒麟の道 第12話[再]|予約済み");
    ClickCancel(d);
  });
  Click("changeButton");
  ASSERT_TRUE(seen);
  reserved = Reservations();
  EXPECT_EQ(reserved.size(), 3u);
  EXPECT_TRUE(
      std::all_of(reserved.begin(), reserved.end(), [](const ScheduleItem& i) { return i.rule_id != 0; }));

  // Disabled: said so in the list; enabled again.
  Click("enableButton");
  EXPECT_EQ(RuleList()->item(0, 3)->text(), U8("無効"));
  Click("enableButton");
  EXPECT_NE(RuleList()->item(0, 3)->text(), U8("無効"));

  // Deleted, answering that its unstarted reservations go too.
  messages.answer = true;
  Click("deleteButton");
  EXPECT_EQ(RuleList()->rowCount(), 0);
  EXPECT_TRUE(Reservations().empty());
  EXPECT_NE(Messages().find(rule_text::DeleteQuestion("麒麟")), std::string::npos) << Messages();
}

// The guide's popup prefills the dialog from the programme; its reservations, made by the rule,
// are framed as the rule's; a rule from the search keeps its reservations when deleted with "no".
TEST_F(RuleWindowTest, TheGuideMakesRulesAndFramesTheirReservations) {
  Start();
  program_->window().findChild<QAction*>(QStringLiteral("guideAction"))->trigger();
  auto* guide = static_cast<GuideWindow*>(program_->window().guideWindow());
  auto* grid = guide->findChild<GuideGrid*>(QStringLiteral("grid"));
  ASSERT_TRUE(WaitFor([&] { return guide->model().columns().size() == 1; }));
  const auto cell = guide->model().Find({4, 5, kService, 3});
  ASSERT_TRUE(cell);
  grid->SetCurrent(cell, true);
  const GuideEvent episode13 = guide->model().event(*cell);
  EXPECT_FALSE(grid->IsReservedByRule(episode13));

  // The series on every day at any time; "この曜日・時間帯だけ" keeps it to this airing's weekday and hour.
  bool seen = false;
  OnModal<RuleEditDialog>(guide, [&](RuleEditDialog* d) {
    seen = true;
    auto* window = d->findChild<QLineEdit*>(QStringLiteral("timeWindowEdit"));
    auto* airing = d->findChild<QCheckBox*>(QStringLiteral("airingCheck"));
    EXPECT_EQ(d->findChild<QLineEdit*>(QStringLiteral("wordsEdit"))->text(), U8("麒麟の道"));
    EXPECT_EQ(window->text(), QString());
    ASSERT_TRUE(airing->isVisible());
    EXPECT_EQ(airing->text(), U8("この曜日・時間帯だけ"));
    EXPECT_FALSE(airing->isChecked());
    EXPECT_TRUE(WaitFor([&] { return MatchRows(d).size() == 3; }, 3000)) << MatchRows(d).size();
    QTest::mouseClick(airing, Qt::LeftButton);
    EXPECT_EQ(window->text(), QStringLiteral("07:30-08:30"));
    int days = 0;
    for (QCheckBox* c : d->findChildren<QCheckBox*>())
      days += c->objectName().startsWith(QStringLiteral("weekdayCheck")) && c->isChecked();
    EXPECT_EQ(days, 1);
    EXPECT_TRUE(OkEnabled(d));
    ClickOk(d);
  });
  // The popup as the user opens it: a double click on the programme, then its item.
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->BoxRect(*cell).center());
  QMenu* menu = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }));
  QAction* item = guide->findChild<QAction*>(QStringLiteral("ruleFromProgrammeAction"));
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
  ASSERT_TRUE(WaitFor([&] { return seen; }));
  // Episode 12's first airing is on another weekday: only episode 13 falls in the rule's window.
  const std::vector<ScheduleItem> reserved = Reservations();
  ASSERT_EQ(reserved.size(), 1u) << Messages();
  EXPECT_EQ(reserved[0].event_id, 3);
  EXPECT_TRUE(WaitFor([&] { return grid->IsReservedByRule(episode13); }, 5000));

  // From the search: every text searched; deleted with "no", its reservation stays.
  auto* search = guide->findChild<QLineEdit*>(QStringLiteral("searchEdit"));
  auto* from_search = guide->findChild<QPushButton*>(QStringLiteral("ruleFromSearchButton"));
  EXPECT_FALSE(from_search->isEnabled());
  search->setText(U8("ニュース"));
  ASSERT_TRUE(from_search->isEnabled());
  seen = false;
  OnModal<RuleEditDialog>(guide, [&](RuleEditDialog* d) {
    seen = true;
    EXPECT_EQ(d->findChild<QLineEdit*>(QStringLiteral("wordsEdit"))->text(), U8("ニュース"));
    EXPECT_TRUE(WaitFor(
        [&] { return MatchRows(d) == std::vector<std::string>{"朝のニュース|回の情報なし: 毎回録画"}; },
        3000));
    ClickOk(d);
  });
  QTest::mouseClick(from_search, Qt::LeftButton);
  ASSERT_TRUE(seen);
  ASSERT_EQ(Reservations().size(), 2u);
  ASSERT_EQ(RuleList()->rowCount(), 2);
  RuleList()->selectRow(1);
  messages.answer = false;
  Click("deleteButton");
  EXPECT_EQ(RuleList()->rowCount(), 1);
  EXPECT_EQ(Reservations().size(), 2u);
}

// Pictures of the rule window and its dialog for the documentation: run with PELKAN_SCREENSHOT_DIR
// set (the ui_screenshots tests, under xvfb-run); skipped otherwise.
TEST(RuleScreenshots, ListWindowAndEditDialog) {
  const char* shots = std::getenv("PELKAN_SCREENSHOT_DIR");
  if (shots == nullptr) GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR not set";
  const std::string scale = qEnvironmentVariable("QT_SCALE_FACTOR") == QStringLiteral("2") ? "@2x" : "";
  const test::TempDir dir;
  const GuideTime day = ToGuideTime(JapanTimeNow()) / 86400 + 1;
  WriteGuide(dir.File("epg.sqlite"), day);
  ScheduledCapture capture([](std::function<void()> work) { work(); });
  pelkan::testing::RecordingMessages messages;
  RuleFiles files(dir.File("rules.sqlite"), dir.File("epg.sqlite"));
  RuleListWindow window(
      capture.scheduler(), files, [] { return ToGuideTime(JapanTimeNow()); }, nullptr, messages);
  ReservationRule drama;
  drama.name = "麒麟の道";
  drama.words = {"麒麟"};
  drama.exclude = {"総集編"};
  ASSERT_NE(window.desk().Save(drama), 0u);
  ReservationRule news = RuleFromSearch("ニュース");
  news.services = {kService};
  news.enabled = false;
  ASSERT_NE(window.desk().Save(news), 0u);
  window.resize(900, 240);
  window.show();
  QTest::qWait(50);
  window.findChild<QTableWidget*>(QStringLiteral("ruleList"))->selectRow(0);
  QTest::qWait(50);
  ASSERT_TRUE(
      window.grab().save(QString::fromStdString(std::string(shots) + "/rule_list_window" + scale + ".png")));

  drama.id = 1;
  drama.window_from = 5 * 60;
  drama.window_to = 9 * 60;
  RuleEditDialog dialog(drama, window.desk(), messages, &window);
  dialog.show();
  QTest::qWait(RuleEditDialog::kRefreshDelayMs + 100);
  auto* list = dialog.findChild<QTreeWidget*>(QStringLiteral("matchList"));
  ASSERT_EQ(list->topLevelItemCount(), 3);
  list->setCurrentItem(list->topLevelItem(1));
  QTest::qWait(50);
  ASSERT_TRUE(
      dialog.grab().save(QString::fromStdString(std::string(shots) + "/rule_edit_dialog" + scale + ".png")));
}

}  // namespace
}  // namespace pelkan::ui
