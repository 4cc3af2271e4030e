// Every dialog of the desktop program answered as its user answers it: the OK and キャンセル buttons
// it shows clicked with the mouse (or Enter and Esc pressed in it), and what was stored afterwards.
// The options, the reservation edit dialog, the rule dialog, the version box and the question and
// notice boxes, all in the running program with its real message boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/rule_desk.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "tests/ui/ui_test_support.h"
#include "ui/rule_list_window.h"
#include "ui/tool_window.h"

namespace pelkan::ui {
namespace {

using testing::DesktopFixture;
using testing::DialogAnswers;
using testing::Press;
using testing::Step;
using testing::WaitFor;

template <typename T>
T* In(QWidget* w, const char* name) {
  return w->findChild<T*>(QString::fromLatin1(name));
}

void ClickIn(QWidget* w, const char* button) {
  QTest::mouseClick(In<QPushButton>(w, button), Qt::LeftButton);
}

void Trigger(DesktopFixture& f, const char* action) {
  f.Find<QAction>(action)->trigger();
}

QWidget* ScheduleWindow(DesktopFixture& f) {
  return f.program_->window().scheduleWindow();
}
RuleListWindow* RuleWindow(DesktopFixture& f) {
  return static_cast<RuleListWindow*>(f.program_->window().ruleWindow());
}
RecordingScheduler& Scheduler(DesktopFixture& f) {
  return f.program_->schedule().scheduler();
}

// The options: the follow limit changed to 60 minutes in the dialog.
void OpenOptions(DesktopFixture& f) {
  Trigger(f, "optionsAction");
}
void FollowLimit60(QWidget* d) {
  In<QSpinBox>(d, "followLimitSpin")->setValue(60);
}
void ExpectFollowLimit(DesktopFixture& f, int minutes) {
  EXPECT_EQ(f.program_->settings().schedule_follow_limit, minutes);
}

// The reservation edit dialog of the list window's 追加.
void AddReservation(DesktopFixture& f) {
  Trigger(f, "scheduleAction");
  ClickIn(ScheduleWindow(f), "addButton");
}
void ExpectReservations(DesktopFixture& f, size_t count) {
  EXPECT_EQ(Scheduler(f).Reservations().size(), count);
}
// A reservation from now on for an hour, in the program's own folder: one that 追加 overlaps.
void StoreReservationNow(DesktopFixture& f) {
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  const ScheduleItem item = MakeTimeReservation(platform::Utf8ToSjis(f.dir.string()), 0, &now, 3600,
                                                std::string_view("now"), now);
  ASSERT_EQ(Scheduler(f).StoreItem(item, -1), 1);
}

// The rule dialog of the rule window's 追加, with words typed in.
void AddRule(DesktopFixture& f) {
  Trigger(f, "ruleAction");
  ClickIn(RuleWindow(f), "addButton");
}
void TypeWords(QWidget* d) {
  In<QLineEdit>(d, "wordsEdit")->setText(QString::fromUtf8("ニュース"));
}
void ExpectRules(DesktopFixture& f, size_t count) {
  EXPECT_EQ(RuleWindow(f)->desk().Rules().size(), count);
  EXPECT_EQ(In<QTableWidget>(RuleWindow(f), "ruleList")->rowCount(), static_cast<int>(count));
}
// A stored rule with one unstarted reservation of its own, selected in the rule window.
void StoreRuleWithReservation(DesktopFixture& f) {
  ReservationRule rule;
  rule.name = "news";
  rule.words = {"news"};
  const uint32_t id = RuleWindow(f)->desk().Save(rule);
  ASSERT_NE(id, 0u);
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  MjdTime later = now;
  AddSeconds(&later, 2 * 86400);  // ahead of the broadcast clock (Japan time) too
  ScheduleItem item =
      MakeTimeReservation(platform::Utf8ToSjis(f.dir.string()), 0, &later, 600, std::string_view("news"), now);
  item.rule_id = id;
  ASSERT_EQ(Scheduler(f).StoreItem(item, -1), 1);
  Trigger(f, "ruleAction");
  RuleWindow(f)->Rebuild();
  In<QTableWidget>(RuleWindow(f), "ruleList")->selectRow(0);
}
void DeleteRule(DesktopFixture& f) {
  ClickIn(RuleWindow(f), "deleteButton");
}

// The version box from the menu: it is gone once answered.
void OpenVersion(DesktopFixture& f) {
  Trigger(f, "versionAction");
}
void ExpectNoDialog(DesktopFixture&) {
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// The options while connected: refused with a notice, nothing opened.
void Connect(DesktopFixture& f) {
  QTest::mouseClick(f.Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(f.program_->app().IsConnected());
}

struct DialogCase {
  const char* name;
  std::function<void(DesktopFixture&)> prepare;  // before the dialog opens (none when null)
  std::function<void(DesktopFixture&)> open;     // the user's action that opens it
  std::vector<Step> steps;                       // the dialogs it opens, answered in turn
  std::vector<std::string> dialogs;              // their classes, as seen
  std::function<void(DesktopFixture&)> check;    // what was stored
};

TEST(DialogButtons, EachDialogStoresOnOkAndNothingOnCancel) {
  using P = Press;
  const auto options = std::vector<std::string>{"pelkan::ui::OptionsDialog"};
  const auto edit = std::vector<std::string>{"pelkan::ui::ScheduleEditDialog"};
  const auto rule = std::vector<std::string>{"pelkan::ui::RuleEditDialog"};
  const auto version = std::vector<std::string>{"pelkan::ui::VersionDialog"};
  const std::vector<DialogCase> cases = {
      {"options OK", nullptr, OpenOptions, {{FollowLimit60, P::kOk}}, options,
       [](DesktopFixture& f) { ExpectFollowLimit(f, 60); }},
      {"options キャンセル", nullptr, OpenOptions, {{FollowLimit60, P::kCancel}}, options,
       [](DesktopFixture& f) { ExpectFollowLimit(f, 180); }},
      {"options Enter", nullptr, OpenOptions, {{FollowLimit60, P::kEnter}}, options,
       [](DesktopFixture& f) { ExpectFollowLimit(f, 60); }},
      {"options Esc", nullptr, OpenOptions, {{FollowLimit60, P::kEscape}}, options,
       [](DesktopFixture& f) { ExpectFollowLimit(f, 180); }},
      {"reservation OK", nullptr, AddReservation, {{nullptr, P::kOk}}, edit,
       [](DesktopFixture& f) { ExpectReservations(f, 1); }},
      {"reservation キャンセル", nullptr, AddReservation, {{nullptr, P::kCancel}}, edit,
       [](DesktopFixture& f) { ExpectReservations(f, 0); }},
      {"reservation Enter", nullptr, AddReservation, {{nullptr, P::kEnter}}, edit,
       [](DesktopFixture& f) { ExpectReservations(f, 1); }},
      {"reservation Esc", nullptr, AddReservation, {{nullptr, P::kEscape}}, edit,
       [](DesktopFixture& f) { ExpectReservations(f, 0); }},
      {"rule OK", nullptr, AddRule, {{TypeWords, P::kOk}}, rule, [](DesktopFixture& f) { ExpectRules(f, 1); }},
      {"rule キャンセル", nullptr, AddRule, {{TypeWords, P::kCancel}}, rule,
       [](DesktopFixture& f) { ExpectRules(f, 0); }},
      {"rule Enter", nullptr, AddRule, {{TypeWords, P::kEnter}}, rule,
       [](DesktopFixture& f) { ExpectRules(f, 1); }},
      {"rule Esc", nullptr, AddRule, {{TypeWords, P::kEscape}}, rule,
       [](DesktopFixture& f) { ExpectRules(f, 0); }},
      {"version 閉じる", nullptr, OpenVersion, {{nullptr, P::kOk}}, version, ExpectNoDialog},
      {"version Enter", nullptr, OpenVersion, {{nullptr, P::kEnter}}, version, ExpectNoDialog},
      {"version Esc", nullptr, OpenVersion, {{nullptr, P::kEscape}}, version, ExpectNoDialog},
      {"overlap question はい", StoreReservationNow, AddReservation, {{nullptr, P::kOk}, {nullptr, P::kOk}},
       {"pelkan::ui::ScheduleEditDialog", "QMessageBox"}, [](DesktopFixture& f) { ExpectReservations(f, 2); }},
      {"overlap question いいえ", StoreReservationNow, AddReservation,
       {{nullptr, P::kOk}, {nullptr, P::kCancel}}, {"pelkan::ui::ScheduleEditDialog", "QMessageBox"},
       [](DesktopFixture& f) { ExpectReservations(f, 1); }},
      {"overlap question Esc", StoreReservationNow, AddReservation,
       {{nullptr, P::kOk}, {nullptr, P::kEscape}}, {"pelkan::ui::ScheduleEditDialog", "QMessageBox"},
       [](DesktopFixture& f) { ExpectReservations(f, 1); }},
      {"rule deletion はい", StoreRuleWithReservation, DeleteRule, {{nullptr, P::kOk}}, {"QMessageBox"},
       [](DesktopFixture& f) {
         ExpectRules(f, 0);
         ExpectReservations(f, 0);
       }},
      {"rule deletion いいえ", StoreRuleWithReservation, DeleteRule, {{nullptr, P::kCancel}}, {"QMessageBox"},
       [](DesktopFixture& f) {
         ExpectRules(f, 0);
         ExpectReservations(f, 1);
       }},
      {"notice OK", Connect, OpenOptions, {{nullptr, P::kOk}}, {"QMessageBox"},
       [](DesktopFixture& f) {
         ExpectFollowLimit(f, 180);
         EXPECT_TRUE(f.program_->app().IsConnected());
         f.program_->app().Disconnect();
       }},
  };
  for (const DialogCase& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopFixture f;
    f.options.messages = nullptr;  // the program's own message boxes
    f.Start();
    if (c.prepare) c.prepare(f);
    if (::testing::Test::HasFatalFailure()) return;
    DialogAnswers answers(c.steps);
    // A dialog its answer did not close fails the case instead of holding the test up.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ADD_FAILURE() << d->metaObject()->className() << " stayed open";
        d->done(QDialog::Rejected);
      }
    });
    guard.start(10000);
    c.open(f);
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeModalWidget() == nullptr; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(answers.seen, c.dialogs);
    c.check(f);
  }
}

// With no window active (no window manager), OK in the edit dialog with a folder that does not
// exist says so first and keeps the dialog; only a valid reservation meets the overlap question.
TEST(DialogButtons, TheEditDialogRefusesAMissingFolderBeforeAskingAboutTheOverlap) {
  DesktopFixture f;
  f.options.messages = nullptr;
  f.Start();
  StoreReservationNow(f);
  const QString folder = QString::fromStdString(f.dir.string());
  const auto set_folder = [](const QString& path) {
    return [path](QWidget* d) {
      In<QLineEdit>(d, "directoryEdit")->setText(path);
      QApplication::setActiveWindow(nullptr);
    };
  };
  DialogAnswers answers({{set_folder(folder + QStringLiteral("/missing")), Press::kOk},
                         {nullptr, Press::kOk},
                         {set_folder(folder), Press::kOk},
                         {nullptr, Press::kCancel}});
  AddReservation(f);
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeModalWidget() == nullptr; }));
  EXPECT_EQ(answers.seen, (std::vector<std::string>{"pelkan::ui::ScheduleEditDialog", "QMessageBox",
                                                     "pelkan::ui::ScheduleEditDialog", "QMessageBox"}));
  EXPECT_EQ(answers.box_texts,
            (std::vector<QString>{QStringLiteral(": 無効なパスです。"),
                                  QStringLiteral("録画予約: 録画予約時間が重複しています。\n重複予約を強行しますか？")}));
  ExpectReservations(f, 1);
}

}  // namespace
}  // namespace pelkan::ui
