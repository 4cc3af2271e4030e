#include "app/loop_dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace pelkan {
namespace {

using Clock = std::chrono::steady_clock;

TEST(LoopDispatcher, RunOnceEndsWithTheFirstTasksAWakeOrTheTimeout) {
  LoopDispatcher loop;
  EXPECT_EQ(loop.RunOnce(0), 0);
  EXPECT_EQ(loop.RunOnce(5), 0);

  // Tasks queued before the call, and those they queue, run at once.
  int ran = 0;
  loop.Post([&] {
    ++ran;
    loop.Post([&] { ++ran; });
  });
  EXPECT_EQ(loop.RunOnce(60000), 2);
  EXPECT_EQ(ran, 2);

  // A task from another thread ends the wait long before its timeout.
  auto t0 = Clock::now();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    loop.Post([&] { ++ran; });
  });
  EXPECT_EQ(loop.RunOnce(60000), 1);
  poster.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));

  // So does a wake, without a task; a wake while nobody waits ends the next wait.
  t0 = Clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    loop.Wake();
  });
  EXPECT_EQ(loop.RunOnce(60000), 0);
  waker.join();
  loop.Wake();
  EXPECT_EQ(loop.RunOnce(60000), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  EXPECT_EQ(ran, 3);
}

// A delayed task runs once its time has come, in the order of the times, and ends a wait then;
// one not yet due is neither run nor counted.
TEST(LoopDispatcher, ADelayedTaskRunsAtItsTime) {
  LoopDispatcher loop;
  std::vector<int> ran;
  const auto t0 = Clock::now();
  loop.PostAfter(60, [&] { ran.push_back(2); });
  loop.PostAfter(30, [&] { ran.push_back(1); });
  loop.PostAfter(60000, [&] { ran.push_back(3); });
  EXPECT_EQ(loop.RunPending(), 0);
  EXPECT_EQ(loop.Pending(), 0u);
  while (ran.size() < 2) ASSERT_GE(loop.RunOnce(30000), 1);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(60));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  loop.Clear();
  EXPECT_EQ(loop.RunFor(10), 0);
}

}  // namespace
}  // namespace pelkan
