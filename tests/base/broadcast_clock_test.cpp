#include "base/broadcast_clock.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

TEST(BroadcastClock, ClockIsEmptyWithoutADate) {
  MjdTime now{1, 1};
  EXPECT_EQ(FormatBroadcastClock(0, 500, 0, &now), "");
  EXPECT_EQ(now.date, 0u);
}

TEST(BroadcastClock, FreshClockShowsItsOwnTimeWithAMarker) {
  MjdTime now;
  EXPECT_EQ(FormatBroadcastClock(54528, 21 * 3600 + 15 * 60 + 2, 400, &now), "*2008/03/03\n21:15:02");
  EXPECT_EQ(now.date, 54528u);
  EXPECT_EQ(now.seconds, 21u * 3600 + 15 * 60 + 2);
}

TEST(BroadcastClock, OldClockAdvancesByWholeSecondsWithoutMarker) {
  MjdTime now;
  // 400 ms old at the first look, 2.5 s later it is 2,900 ms old: two whole seconds on.
  EXPECT_EQ(FormatBroadcastClock(54528, 76502, 2900, &now), " 2008/03/03\n21:15:04");
  EXPECT_EQ(now.seconds, 76504u);
  // Exactly one second old: not advanced, and no longer marked.
  EXPECT_EQ(FormatBroadcastClock(54528, 76502, 1000, &now), " 2008/03/03\n21:15:02");
}

TEST(BroadcastClock, ClockAdvancesAcrossMidnight) {
  MjdTime now;
  EXPECT_EQ(FormatBroadcastClock(54528, 86399, 1500, &now), " 2008/03/04\n00:00:00");
  EXPECT_EQ(now.date, 54529u);
  EXPECT_EQ(now.seconds, 0u);
}

}  // namespace
}  // namespace pelkan
