#include "base/mjd_time.h"

#include <chrono>

#include "platform/clock.h"

namespace pelkan {

uint16_t MjdFromDate(int year, int month, int day) {
  if (month <= 2) {
    year -= 1;
    month += 12;
  }
  const int a = static_cast<int>((month - 2) * -30.59);
  const int b = static_cast<int>(year * 365.25);
  const int n = b - a + year / 400 - year / 100 + day;
  return static_cast<uint16_t>(static_cast<int64_t>(n + 0.5 - 678912.0));
}

void MjdToDate(uint32_t mjd, int* year, int* month, int* day) {
  if (mjd == 0) {
    *year = *month = *day = 0;
    return;
  }
  const double j = mjd + 2400000.5 + 0.5;
  const int64_t z = static_cast<int64_t>(j);
  const double f = j - static_cast<double>(z);
  int64_t a = z;
  if (z >= 2299161) {
    const int64_t alpha = static_cast<int64_t>((static_cast<double>(z) - 1867216.25) * 2.7379070069885075e-05);
    a = z + 1 + alpha - alpha / 4;
  }
  const int64_t b = a + 1524;
  const int64_t k = static_cast<int64_t>((static_cast<double>(b) - 122.1) * 0.0027378507871321013);
  const int64_t dd = static_cast<int64_t>(static_cast<double>(k) * 365.25);
  const int64_t e = static_cast<int64_t>(static_cast<double>(b - dd) * 0.03267963176590926);
  *day = static_cast<int>(
      static_cast<double>(b - dd - static_cast<int64_t>(static_cast<double>(e) * 30.6001)) + f);
  *month = static_cast<int>(e < 14 ? e - 1 : e - 13);
  *year = static_cast<int>(*month > 2 ? k - 4716 : k - 4715);
}

void SecondsToHms(uint32_t seconds, int* hours, int* minutes, int* secs) {
  const uint32_t h = seconds / 3600;
  const uint32_t m = (seconds % 3600) / 60;
  *hours = static_cast<int>(h);
  *minutes = static_cast<int>(m);
  *secs = static_cast<int>(seconds - h * 3600 - m * 60);
}

uint32_t AddSeconds(MjdTime* t, int64_t delta) {
  const uint64_t total = uint64_t{t->date} * 86400 + t->seconds + static_cast<uint64_t>(delta);
  t->date = static_cast<uint32_t>(total / 86400);
  t->seconds = static_cast<uint32_t>(total % 86400);
  return t->date;
}

uint64_t LocalMjdTime() {
  const platform::CalendarTime now = platform::LocalTimeNow();
  MjdTime t;
  t.date = MjdFromDate(now.year, now.month, now.day);
  t.seconds = static_cast<uint32_t>(now.hour * 3600 + now.minute * 60 + now.second);
  return PackMjdTime(t);
}

MjdTime JapanTimeNow() {
  constexpr int64_t kJapanOffset = 9 * 3600;
  constexpr int64_t kMjdOfUnixEpoch = 40587;  // 1970-01-01
  const auto unix_seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  const int64_t local = unix_seconds.time_since_epoch().count() + kJapanOffset;
  int64_t days = local / 86400;
  int64_t seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // The broadcast date is 16 bits wide, as MjdFromDate gives it.
  return MjdTime{static_cast<uint32_t>((days + kMjdOfUnixEpoch) & 0xFFFF), static_cast<uint32_t>(seconds)};
}

}  // namespace pelkan
