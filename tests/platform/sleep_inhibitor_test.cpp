#include "platform/sleep_inhibitor.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "tests/support/mock_logind.h"

namespace pelkan::platform {
namespace {

using testing::InhibitorEntry;
using testing::MockLogind;

bool OnlyReason(const std::vector<InhibitorEntry>& list, const std::string& why) {
  return list.size() == 1 && list[0].why == why;
}

TEST(SleepInhibitor, HoldsABlockingSleepLockUntilReleased) {
  MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  std::vector<std::string> warnings;
  SetSleepInhibitorWarning([&](const std::string& w) { warnings.push_back(w); });
  {
    SleepInhibitor inhibitor;
    inhibitor.Hold("/rec/20261207-2100.ts");
    ASSERT_TRUE(inhibitor.Settle());
    auto list = logind.WaitFor([](const auto& l) { return !l.empty(); });
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].what, "sleep");
    EXPECT_EQ(list[0].who, "pelkan");
    EXPECT_EQ(list[0].why, "/rec/20261207-2100.ts");
    EXPECT_EQ(list[0].mode, "block");

    // The same reason again keeps the one lock; a new reason replaces it.
    inhibitor.Hold("/rec/20261207-2100.ts");
    EXPECT_TRUE(inhibitor.Settle());
    inhibitor.Hold("ニュース");
    EXPECT_TRUE(inhibitor.Settle());
    list = logind.WaitFor([](const auto& l) { return OnlyReason(l, "ニュース"); });
    EXPECT_TRUE(OnlyReason(list, "ニュース")) << list.size();

    inhibitor.Release();
    EXPECT_FALSE(inhibitor.Settle());
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_TRUE(logind.WaitFor([](const auto& l) { return l.empty(); }).empty());

    inhibitor.Hold("again");
    ASSERT_TRUE(inhibitor.Settle());
    EXPECT_TRUE(OnlyReason(logind.WaitFor([](const auto& l) { return !l.empty(); }), "again"));
  }  // destruction closes the descriptor
  EXPECT_TRUE(logind.WaitFor([](const auto& l) { return l.empty(); }).empty());
  EXPECT_TRUE(warnings.empty());
  SetSleepInhibitorWarning(nullptr);
}

TEST(SleepInhibitor, WithoutASystemBusWarnsOnceAndHoldsNothing) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", testing::UnreachableBusAddress().c_str(), 1);
  std::vector<std::string> warnings;
  SetSleepInhibitorWarning([&](const std::string& w) { warnings.push_back(w); });
  SleepInhibitor first, second;
  first.Hold("a.ts");
  EXPECT_FALSE(first.Settle());
  first.Hold("a.ts");
  EXPECT_FALSE(first.Settle());
  first.Release();
  first.Hold("b.ts");
  EXPECT_FALSE(first.Settle());
  second.Hold("c.ts");
  EXPECT_FALSE(second.Settle());
  EXPECT_FALSE(first.IsHeld());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("no system bus"), std::string::npos) << warnings[0];
  SetSleepInhibitorWarning(nullptr);
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// Requests made faster than logind answers: the last one wins, whatever was in flight.
TEST(SleepInhibitor, LastRequestWins) {
  MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  SleepInhibitor inhibitor;
  inhibitor.Hold("a.ts");
  inhibitor.Hold("b.ts");
  inhibitor.Hold("c.ts");
  ASSERT_TRUE(inhibitor.Settle());
  EXPECT_TRUE(OnlyReason(logind.WaitFor([](const auto& l) { return OnlyReason(l, "c.ts"); }), "c.ts"));

  inhibitor.Hold("d.ts");
  inhibitor.Release();
  EXPECT_FALSE(inhibitor.Settle());
  EXPECT_TRUE(logind.WaitFor([](const auto& l) { return l.empty(); }).empty());
}

// A bus that accepts the connection and never speaks: Hold returns at once, the attempt ends at
// its deadline with one warning, and a Release meanwhile abandons it.
TEST(SleepInhibitor, SilentBusFailsWithOneWarningAndNeverBlocksTheCaller) {
  testing::SilentBus bus;
  ASSERT_TRUE(bus.Start()) << bus.Error();
  std::vector<std::string> warnings;
  SetSleepInhibitorWarning([&](const std::string& w) { warnings.push_back(w); });
  {
    SleepInhibitor inhibitor;
    inhibitor.Hold("a.ts");
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(inhibitor.Settle());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("did not answer"), std::string::npos) << warnings[0];

    inhibitor.Hold("b.ts");
    inhibitor.Release();
    EXPECT_FALSE(inhibitor.Settle());
    inhibitor.Hold("c.ts");
  }  // destruction abandons the attempt in flight
  EXPECT_EQ(warnings.size(), 1u);
  SetSleepInhibitorWarning(nullptr);
}

}  // namespace
}  // namespace pelkan::platform
