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
    ASSERT_TRUE(inhibitor.Hold("/rec/20261207-2100.ts"));
    auto list = logind.WaitFor([](const auto& l) { return !l.empty(); });
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].what, "sleep");
    EXPECT_EQ(list[0].who, "pelkan");
    EXPECT_EQ(list[0].why, "/rec/20261207-2100.ts");
    EXPECT_EQ(list[0].mode, "block");

    // The same reason again keeps the one lock; a new reason replaces it.
    EXPECT_TRUE(inhibitor.Hold("/rec/20261207-2100.ts"));
    EXPECT_TRUE(inhibitor.Hold("ニュース"));
    list = logind.WaitFor([](const auto& l) { return OnlyReason(l, "ニュース"); });
    EXPECT_TRUE(OnlyReason(list, "ニュース")) << list.size();

    inhibitor.Release();
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_TRUE(logind.WaitFor([](const auto& l) { return l.empty(); }).empty());

    ASSERT_TRUE(inhibitor.Hold("again"));
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
  EXPECT_FALSE(first.Hold("a.ts"));
  EXPECT_FALSE(first.Hold("a.ts"));
  first.Release();
  EXPECT_FALSE(first.Hold("b.ts"));
  EXPECT_FALSE(second.Hold("c.ts"));
  EXPECT_FALSE(first.IsHeld());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("no system bus"), std::string::npos) << warnings[0];
  SetSleepInhibitorWarning(nullptr);
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
}  // namespace pelkan::platform
