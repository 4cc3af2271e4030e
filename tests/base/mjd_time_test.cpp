#include "base/mjd_time.h"

#include <gtest/gtest.h>

#include <chrono>

namespace pelkan {
namespace {

TEST(MjdTime, EveryDayMatchesTheGregorianCalendarBothWays) {
  using namespace std::chrono;
  const sys_days epoch = year{1858} / November / 17;
  for (uint32_t mjd = 1; mjd <= 65535; ++mjd) {
    const year_month_day ymd{epoch + days{mjd}};
    int y, m, d;
    MjdToDate(mjd, &y, &m, &d);
    ASSERT_EQ(y, static_cast<int>(ymd.year())) << mjd;
    ASSERT_EQ(m, static_cast<int>(static_cast<unsigned>(ymd.month()))) << mjd;
    ASSERT_EQ(d, static_cast<int>(static_cast<unsigned>(ymd.day()))) << mjd;
    ASSERT_EQ(MjdFromDate(y, m, d), mjd);
  }
}

TEST(MjdTime, KnownDates) {
  int y, m, d;
  MjdToDate(0, &y, &m, &d);
  EXPECT_EQ(y + m + d, 0);
  MjdToDate(1, &y, &m, &d);
  EXPECT_EQ((std::array{y, m, d}), (std::array{1858, 11, 18}));
  EXPECT_EQ(MjdFromDate(2008, 3, 3), 54528);
  EXPECT_EQ(MjdFromDate(2000, 1, 1), 51544);
  EXPECT_EQ(MjdFromDate(2000, 2, 29), 51603);
  EXPECT_EQ(MjdFromDate(2008, 3, 1), 54526);
}

TEST(MjdTime, AddSecondsCrossesMidnightBothWays) {
  MjdTime t{54528, 86399};
  EXPECT_EQ(AddSeconds(&t, 1), 54529u);
  EXPECT_EQ(t.seconds, 0u);
  EXPECT_EQ(AddSeconds(&t, -1), 54528u);
  EXPECT_EQ(t.seconds, 86399u);
  AddSeconds(&t, 86400 * 3 + 2);
  EXPECT_EQ(t.date, 54532u);
  EXPECT_EQ(t.seconds, 1u);
}

TEST(MjdTime, SecondsToHmsDoesNotWrapHours) {
  int h, m, s;
  SecondsToHms(90061, &h, &m, &s);
  EXPECT_EQ((std::array{h, m, s}), (std::array{25, 1, 1}));
}

TEST(MjdTime, PackingAndLocalTime) {
  const MjdTime t{54528, 3600};
  EXPECT_EQ(PackMjdTime(t), 54528ull | (3600ull << 32));
  EXPECT_EQ(UnpackMjdTime(PackMjdTime(t)).seconds, 3600u);
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  EXPECT_GT(now.date, 60000u);  // after 2023
  EXPECT_LT(now.seconds, 86400u);
}

TEST(MjdTime, JapanTimeIsUtcPlusNineHoursWhateverTheZone) {
  using namespace std::chrono;
  const auto before = floor<seconds>(system_clock::now()) + hours{9};
  const MjdTime jst = JapanTimeNow();
  const auto after = floor<seconds>(system_clock::now()) + hours{9};
  const sys_seconds got = sys_days{year{1858} / November / 17} + days{jst.date} + seconds{jst.seconds};
  EXPECT_GE(got, before);
  EXPECT_LE(got, after);
  EXPECT_LT(jst.seconds, 86400u);
}

}  // namespace
}  // namespace pelkan
