// Message boxes of the desktop program: a notice that comes while the program is in the background
// waits until its window is active.
#include "ui/message_box_messages.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <vector>

#include "core/status_text.h"

namespace pelkan::ui {
namespace {

// Presses OK on each message box as it opens, noting its caption and text.
struct BoxAnswerer {
  BoxAnswerer() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box == nullptr || !box->isVisible()) continue;
        seen.push_back(box->windowTitle() + QStringLiteral(": ") + box->text());
        box->button(QMessageBox::Ok)->click();
      }
    });
    timer.start(5);
  }
  QTimer timer;
  std::vector<QString> seen;
};

TEST(MessageBoxMessages, ANoticeWhileInTheBackgroundWaitsForTheWindowToBeActive) {
  QApplication::setActiveWindow(nullptr);
  QWidget window;
  MessageBoxMessages messages(&window);
  BoxAnswerer answerer;
  // The program is in the background: the notices return at once, no box open.
  messages.Notify(status_text::kTunerLostStop, status_text::kCaptionError);
  messages.Notify(platform::Sjis("2件目"), "pelkan");
  EXPECT_TRUE(answerer.seen.empty());
  EXPECT_EQ(messages.HeldCount(), 2u);

  // The window becomes active: both show, in order, once.
  window.show();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.seen.size() >= 2; }, 5000));
  EXPECT_EQ(answerer.seen,
            (std::vector<QString>{QStringLiteral("Error: チューナーが戻らないため録画を終了しました"),
                                  QStringLiteral("pelkan: 2件目")}));
  EXPECT_EQ(messages.HeldCount(), 0u);
  QApplication::setActiveWindow(nullptr);
  QApplication::setActiveWindow(&window);
  QCoreApplication::processEvents();
  EXPECT_EQ(answerer.seen.size(), 2u);

  // While the window is active a notice shows at once (Notify returns once it is answered).
  messages.Notify("now", "pelkan");
  ASSERT_EQ(answerer.seen.size(), 3u);
  EXPECT_EQ(answerer.seen[2], QStringLiteral("pelkan: now"));
  QApplication::setActiveWindow(nullptr);
}

}  // namespace
}  // namespace pelkan::ui
