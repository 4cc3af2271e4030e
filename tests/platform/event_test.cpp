#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

namespace pelkan::platform {
namespace {

TEST(Event, ManualResetStaysSetAutoResetReleasesOnce) {
  Event manual(true), automatic(false);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(10));
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Event, WakesAWaiterOnAnotherThread) {
  Event e(true);
  std::thread t([&] { e.Set(); });
  EXPECT_TRUE(e.Wait(5000));
  t.join();
}

TEST(Clock, TickAdvancesInMilliseconds) {
  const uint32_t start = TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const uint32_t elapsed = TickCount() - start;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
}  // namespace pelkan::platform
