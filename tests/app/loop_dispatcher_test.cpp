#include "app/loop_dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

}  // namespace
}  // namespace pelkan
