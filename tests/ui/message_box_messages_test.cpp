// Message boxes of the desktop program: a box that answers the user's own action shows at once,
// whichever window is active; a notice from the background (a posted task) that comes while the
// program is in the background waits until its window is active.
#include "ui/message_box_messages.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/main_window_rules.h"
#include "core/capture_app.h"
#include "core/status_text.h"
#include "tests/ui/ui_test_support.h"
#include "ui/qt_dispatcher.h"
#include "ui/qt_text.h"

namespace pelkan::ui {
namespace {

// Presses the first button (OK, or はい of a question) on each message box as it opens, noting its
// caption and text.
struct BoxAnswerer {
  BoxAnswerer() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box == nullptr || !box->isVisible()) continue;
        seen.push_back(box->windowTitle() + QStringLiteral(": ") + box->text());
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        (yes != nullptr ? yes : box->button(QMessageBox::Ok))->click();
      }
    });
    timer.start(5);
  }
  QTimer timer;
  std::vector<QString> seen;
};

// Each way a box comes, with the program in the background: replies and questions at once,
// posted notices once the window is active, in the order they came.
TEST(MessageBoxMessages, RepliesShowAtOnceAndBackgroundNoticesWaitForTheWindow) {
  struct Case {
    const char* name;
    std::function<void(MessageBoxMessages&, QtDispatcher&)> send;
    bool at_once;
  };
  const std::vector<Case> cases = {
      {"a reply", [](MessageBoxMessages& m, QtDispatcher&) { m.Notify("reply", "pelkan"); }, true},
      {"a question", [](MessageBoxMessages& m, QtDispatcher&) { m.Ask("question", "pelkan"); }, true},
      {"a posted question",
       [](MessageBoxMessages& m, QtDispatcher& d) { d.Post([&m] { m.Ask("question", "pelkan"); }); }, true},
      {"a posted notice",
       [](MessageBoxMessages& m, QtDispatcher& d) {
         d.Post([&m] { m.Notify(status_text::kTunerLostStop, status_text::kCaptionError); });
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QApplication::setActiveWindow(nullptr);
    QWidget window;
    QObject context;
    QtDispatcher dispatcher(&context);
    MessageBoxMessages messages(&window);
    BoxAnswerer answerer;
    c.send(messages, dispatcher);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(answerer.seen.size(), c.at_once ? 1u : 0u);
    EXPECT_EQ(messages.HeldCount(), c.at_once ? 0u : 1u);
    if (c.at_once) continue;
    // The window becomes active: the held notice shows, once.
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.seen.empty(); }, 5000));
    EXPECT_EQ(answerer.seen,
              std::vector<QString>{QStringLiteral("Error: チューナーが戻らないため録画を終了しました")});
    QApplication::setActiveWindow(nullptr);
    QApplication::setActiveWindow(&window);
    QCoreApplication::processEvents();
    EXPECT_EQ(answerer.seen.size(), 1u);
    QApplication::setActiveWindow(nullptr);
  }
}

TEST(MessageBoxMessages, BackgroundNoticesShowInTheOrderTheyCame) {
  QApplication::setActiveWindow(nullptr);
  QWidget window;
  QObject context;
  QtDispatcher dispatcher(&context);
  MessageBoxMessages messages(&window);
  BoxAnswerer answerer;
  dispatcher.Post([&] { messages.Notify("1", "pelkan"); });
  dispatcher.Post([&] { messages.Notify("2", "pelkan"); });
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(messages.HeldCount(), 2u);
  window.show();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.seen.size() >= 2; }, 5000));
  EXPECT_EQ(answerer.seen, (std::vector<QString>{QStringLiteral("pelkan: 1"), QStringLiteral("pelkan: 2")}));
  QApplication::setActiveWindow(nullptr);
}

// The acceptance path of the desktop program with no window active (no window manager), the user
// acting through the menu and the accessibility interface: every box that answers the action shows
// while the action runs.
TEST(MessageBoxMessages, BoxesAnsweringTheUsersActionShowWithNoWindowActive) {
  using testing::DesktopFixture;
  const auto toggle_connect = [](DesktopFixture& f) {
    QAccessibleInterface* button = QAccessible::queryAccessibleInterface(f.Find<QPushButton>("connectButton"));
    ASSERT_NE(button, nullptr);
    button->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  };
  const auto connected = [toggle_connect](DesktopFixture& f) {
    toggle_connect(f);
    ASSERT_TRUE(f.program_->app().IsConnected());
  };
  struct Case {
    const char* name;
    std::function<void(DesktopFixture&)> prepare;
    std::function<void(DesktopFixture&)> act;
    QString box;  // "caption: text"
  };
  const std::vector<Case> cases = {
      {"終了 while connected", connected,
       [](DesktopFixture& f) { f.Find<QAction>("exitAction")->trigger(); },
       QStringLiteral("pelkan: ") + FromSjis(desktop_text::kExitWhileConnected)},
      {"設定 while connected", connected,
       [](DesktopFixture& f) { f.Find<QAction>("optionsAction")->trigger(); },
       QStringLiteral("pelkan: ") + FromSjis(desktop_text::kOptionsWhileConnected)},
      {"the decoder missing", [](DesktopFixture& f) { f.Find<QCheckBox>("descrambleCheck")->setChecked(true); },
       toggle_connect, QStringLiteral("Error: ") + QString::fromLatin1(status_text::kDecoderNotFound)},
      {"the initialisation without an OUT endpoint",
       [](DesktopFixture& f) {
         f.Find<QCheckBox>("initCheck")->setChecked(true);
         f.Find<QComboBox>("outCombo")->setCurrentIndex(0);
       },
       toggle_connect, QStringLiteral("Error: ") + FromSjis(status_text::kOutEndpointRequired)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopFixture f;
    f.options.messages = nullptr;  // the program's own message boxes
    f.Start();
    c.prepare(f);
    if (::testing::Test::HasFatalFailure()) return;
    QApplication::setActiveWindow(nullptr);
    BoxAnswerer answerer;
    c.act(f);
    EXPECT_EQ(answerer.seen, std::vector<QString>{c.box});
    f.program_->app().Disconnect();
  }
}

}  // namespace
}  // namespace pelkan::ui
