#include "ui/tool_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QTest>
#include <QWindow>

#include "tests/ui/ui_test_support.h"

namespace pelkan::ui {
namespace {

TEST(ToolWindow, CloseAndEscapeHideInsteadOfDestroying) {
  QWidget owner;
  ToolWindow window(&owner);
  window.show();
  ASSERT_TRUE(window.isVisible());
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.close());
  EXPECT_FALSE(window.isVisible());
}

// The close box of each tool window of the program (the window system's close request, as a window
// manager sends it) hides the window and leaves the program running.
TEST(ToolWindow, TheCloseBoxOfEachToolWindowHidesIt) {
  testing::DesktopFixture f;
  f.Start();
  MainWindow& main = f.program_->window();
  const std::pair<const char*, ToolWindow*> windows[] = {
      {"channelAction", main.channelWindow()}, {"filterAction", main.filterWindow()},
      {"scheduleAction", main.scheduleWindow()}, {"guideAction", main.guideWindow()},
      {"ruleAction", main.ruleWindow()}, {"libraryAction", main.recordingsWindow()}};
  for (const auto& [action, window] : windows) {
    SCOPED_TRACE(action);
    f.Find<QAction>(action)->trigger();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_NE(window->windowHandle(), nullptr);
    window->windowHandle()->close();
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->windowHandle()->isVisible());
    // Shown again from the menu, as it was.
    f.Find<QAction>(action)->trigger();
    EXPECT_TRUE(window->isVisible());
    f.Find<QAction>(action)->trigger();
  }
  EXPECT_TRUE(main.isVisible());
  EXPECT_FALSE(main.exited());
}

TEST(ToolWindow, PlacementRoundTripDoesNotCreep) {
  ToolWindow window;
  window.RestorePlacement({120, 80, 400, 300});
  window.show();
  WindowPlacement p = window.SavedPlacement();
  for (int run = 0; run < 3; ++run) {
    ToolWindow again;
    again.RestorePlacement(p);
    again.show();
    WindowPlacement q = again.SavedPlacement();
    EXPECT_EQ(q.x, p.x);
    EXPECT_EQ(q.y, p.y);
    EXPECT_EQ(q.width, p.width);
    EXPECT_EQ(q.height, p.height);
    p = q;
  }
  EXPECT_EQ(p.width, 400);
  EXPECT_EQ(p.height, 300);
}

TEST(ToolWindow, NoStoredPositionKeepsTheOwnSizeAndStoresWhatWasRead) {
  ToolWindow window;
  window.resize(320, 200);
  const WindowPlacement stored{-30000, 150, 500, 300};
  window.RestorePlacement(stored);
  EXPECT_EQ(window.size(), QSize(320, 200));
  // Never shown, the window has no place of its own: the keys are written back as read.
  WindowPlacement p = window.SavedPlacement();
  EXPECT_EQ(p.x, -30000);
  EXPECT_EQ(p.y, 150);
  EXPECT_EQ(p.width, 500);
  EXPECT_EQ(p.height, 300);
  window.show();
  p = window.SavedPlacement();
  EXPECT_GT(p.x, -30000);
  EXPECT_EQ(p.width, 320);
  EXPECT_EQ(p.height, 200);
}

}  // namespace
}  // namespace pelkan::ui
