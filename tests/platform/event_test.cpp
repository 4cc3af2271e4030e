#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

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

// Transfer records are reused or freed as soon as their completion has been seen: Set must not
// touch the event after signalling it (ASan reports it if it does).
TEST(Event, WaiterMayDestroyTheEventAsSoonAsItIsSignalled) {
  for (int i = 0; i < 500; ++i) {
    auto e = std::make_unique<Event>(i % 2 == 0);
    Event* raw = e.get();
    std::thread setter([raw] { raw->Set(); });
    EXPECT_TRUE(e->Wait(10000));
    e.reset();
    setter.join();
  }
}

TEST(Event, AutoResetReleasesOneWaiterPerSetManualReleasesAll) {
  Event automatic(false), manual(true);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (automatic.Wait(10000)) ++released;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  automatic.Set();
  for (int i = 0; i < 1000 && released.load() < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 1);
  for (int n = 2; n <= 3; ++n) {  // a second Set before a waiter took the first would be lost
    automatic.Set();
    for (int i = 0; i < 1000 && released.load() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(released.load(), n);
  }
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(automatic.IsSet());

  waiters.clear();
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (manual.Wait(10000)) ++released;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  manual.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 6);
  EXPECT_TRUE(manual.IsSet());
}

TEST(Event, TimedWaitEndsUnsignalled) {
  Event e(false);
  const uint32_t start = TickCount();
  EXPECT_FALSE(e.Wait(30));
  EXPECT_GE(TickCount() - start, 29u);
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
