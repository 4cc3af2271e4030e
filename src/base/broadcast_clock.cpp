#include "base/broadcast_clock.h"

#include <cstdio>

namespace pelkan {

std::string FormatBroadcastClock(uint32_t date, uint32_t seconds, uint32_t age_ms, MjdTime* now) {
  if (date == 0) {
    if (now) *now = MjdTime{};
    return std::string();
  }
  MjdTime t{date, seconds};
  if (age_ms > 1000) {
    const uint64_t total = uint64_t{date} * 86400 + age_ms / 1000 + seconds;
    t.date = static_cast<uint32_t>(total / 86400);
    t.seconds = static_cast<uint32_t>(total % 86400);
  }
  if (now) *now = t;
  int year = 0, month = 0, day = 0, h = 0, m = 0, s = 0;
  MjdToDate(t.date, &year, &month, &day);
  SecondsToHms(t.seconds, &h, &m, &s);
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%c%04d/%02d/%02d\n%02d:%02d:%02d",
                              age_ms < 1000 ? '*' : ' ', year, month, day, h, m, s);
  if (n < 0) return std::string();
  return std::string(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

}  // namespace pelkan
