#include "platform/sleep_watcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "tests/support/mock_logind.h"

namespace pelkan::platform {
namespace {

// logind's going to sleep and waking are heard in order; without a bus the watcher gives up
// quietly.
TEST(SleepWatcher, HearsLogindSayTheComputerSleepsAndWakes) {
  testing::MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<bool> heard;
  SleepWatcher watcher([&](bool sleeping) {
    std::lock_guard lock(mutex);
    heard.push_back(sleeping);
    changed.notify_all();
  });
  ASSERT_TRUE(watcher.WaitListening(5000));
  ASSERT_TRUE(logind.EmitPrepareForSleep(true));
  ASSERT_TRUE(logind.EmitPrepareForSleep(false));
  std::unique_lock lock(mutex);
  changed.wait_for(lock, std::chrono::seconds(5), [&] { return heard.size() >= 2; });
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
}

TEST(SleepWatcher, WithoutASystemBusHearsNothing) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", testing::UnreachableBusAddress().c_str(), 1);
  bool called = false;
  {
    SleepWatcher watcher([&](bool) { called = true; });
    EXPECT_FALSE(watcher.WaitListening(5000));
  }
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  EXPECT_FALSE(called);
}

// A bus socket that accepts and never speaks: the watcher gives up, and its end is never held.
TEST(SleepWatcher, AHangingBusNeverHoldsItsEnd) {
  testing::SilentBus bus;
  ASSERT_TRUE(bus.Start());
  const auto start = std::chrono::steady_clock::now();
  { SleepWatcher watcher([](bool) {}); }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace pelkan::platform
