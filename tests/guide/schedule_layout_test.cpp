#include "guide/schedule_layout.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

constexpr GuideTime kMidnight = GuideTime{61000} * 86400;

// Sends every section of tables first..last (each 32 segments of `sections` sections) but the
// segments for which `skip` is true.
template <typename Skip>
void SendAll(ScheduleLayout& l, uint8_t first, uint8_t last, uint8_t version, int sections, Skip skip) {
  for (int t = first; t <= last; ++t) {
    const uint8_t last_section = static_cast<uint8_t>(31 * 8 + sections - 1);
    for (int segment = 0; segment < 32; ++segment) {
      if (skip(t, segment)) continue;
      for (int n = 0; n < sections; ++n) {
        l.Add(static_cast<uint8_t>(t), version, static_cast<uint8_t>(segment * 8 + n), last_section,
              static_cast<uint8_t>(segment * 8 + sections - 1), last);
      }
    }
  }
}

TEST(ScheduleLayout, CompleteWhenEverySectionOfEverySegmentStillToComeHasArrived) {
  ScheduleLayout l;
  const GuideTime now = kMidnight + 10 * 3600;  // segment 3 of day 0 runs
  EXPECT_FALSE(l.Complete(now));
  // Basic tables 0x50-0x51 (eight days), two sections per segment, the past segments 0-2 not sent
  // and segment 17 of table 0x51 missing.
  SendAll(l, 0x50, 0x51, 1, 2, [](int t, int s) { return (t == 0x50 && s < 3) || (t == 0x51 && s == 17); });
  EXPECT_FALSE(l.Complete(now));
  l.Add(0x51, 1, 17 * 8, 31 * 8 + 1, 17 * 8 + 1, 0x51);
  EXPECT_FALSE(l.Complete(now)) << "one of the segment's two sections";
  l.Add(0x51, 1, 17 * 8 + 1, 31 * 8 + 1, 17 * 8 + 1, 0x51);
  EXPECT_TRUE(l.Complete(now));
  EXPECT_FALSE(l.Complete(kMidnight + 8 * 3600)) << "at 08:00 segment 2 was still to come";

  // The service sends extended tables too: they have to be complete as well.
  l.Add(0x58, 1, 3 * 8, 31 * 8, 3 * 8, 0x59);
  EXPECT_FALSE(l.Complete(now));
  SendAll(l, 0x58, 0x59, 1, 1, [](int t, int s) { return t == 0x58 && s < 3; });
  EXPECT_TRUE(l.Complete(now));

  // A new version of a table starts it over.
  l.Add(0x50, 2, 3 * 8, 31 * 8 + 1, 3 * 8 + 1, 0x51);
  EXPECT_FALSE(l.Complete(now));
  SendAll(l, 0x50, 0x50, 2, 2, [](int, int s) { return s < 3; });
  EXPECT_TRUE(l.Complete(now));
}

TEST(ScheduleLayout, LayoutFieldsDecideWhatIsWaitedFor) {
  const GuideTime now = kMidnight;
  // Table 0x50 whole, but last_table_id names 0x51 too.
  ScheduleLayout two_tables;
  for (int segment = 0; segment < 32; ++segment)
    two_tables.Add(0x50, 0, static_cast<uint8_t>(segment * 8), 31 * 8, static_cast<uint8_t>(segment * 8),
                   0x51);
  EXPECT_FALSE(two_tables.Complete(now));
  ScheduleLayout one_table;
  SendAll(one_table, 0x50, 0x50, 0, 1, [](int, int) { return false; });
  EXPECT_TRUE(one_table.Complete(now));
  // last_section_number in segment 7: one day of schedule, nothing after it is waited for.
  ScheduleLayout one_day;
  for (int segment = 0; segment <= 7; ++segment)
    one_day.Add(0x50, 0, static_cast<uint8_t>(segment * 8), 7 * 8, static_cast<uint8_t>(segment * 8), 0x50);
  EXPECT_TRUE(one_day.Complete(now));
  // Present/following and other tables do not count.
  one_day.Add(0x4E, 0, 0, 1, 1, 0x4E);
  one_day.Add(0x60, 0, 0, 0, 0, 0x60);
  EXPECT_TRUE(one_day.Complete(now));
  // A segment_last_section_number outside the section's segment counts as the section itself.
  ScheduleLayout odd;
  odd.Add(0x50, 0, 0, 0, 200, 0x50);
  EXPECT_TRUE(odd.Complete(now));
}

}  // namespace
}  // namespace pelkan
