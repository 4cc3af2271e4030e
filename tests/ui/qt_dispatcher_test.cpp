#include "ui/qt_dispatcher.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QTest>
#include <memory>
#include <thread>
#include <vector>

namespace pelkan::ui {
namespace {

// The delayed tasks share one timer: each still runs when it is due, those due together in the
// order they were posted, from whichever thread; one not yet due when the context goes never runs.
TEST(QtDispatcher, DelayedTasksRunInTheOrderOfTheirTimesFromAnyThread) {
  std::vector<int> ran;
  auto context = std::make_unique<QObject>();
  QtDispatcher dispatcher(context.get());
  std::thread([&] { dispatcher.PostAfter(0, [&] { ran.push_back(0); }); }).join();
  dispatcher.PostAfter(60, [&] { ran.push_back(3); });
  dispatcher.PostAfter(20, [&] { ran.push_back(1); });
  dispatcher.PostAfter(20, [&] { ran.push_back(2); });
  dispatcher.PostAfter(600000, [&] { ran.push_back(9); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() >= 4; }, 5000));
  context.reset();
  QTest::qWait(50);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace pelkan::ui
