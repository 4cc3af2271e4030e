#include "ui/tool_window.h"

#include <gtest/gtest.h>

#include <QTest>

namespace pelkan::ui {
namespace {

TEST(ToolWindow, CloseAndEscapeHideInsteadOfDestroying) {
  QWidget owner;
  ToolWindow window(&owner);
  bool last_visible = false;
  QObject::connect(&window, &ToolWindow::visibilityChanged, [&](bool v) { last_visible = v; });
  window.show();
  ASSERT_TRUE(window.isVisible());
  EXPECT_TRUE(last_visible);
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.close());
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(last_visible);
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

}  // namespace
}  // namespace pelkan::ui
