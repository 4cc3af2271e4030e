#include "app/date_time_text.h"

#include <cstdio>

namespace pelkan {

namespace {

bool IsRealDate(int y, int mo, int d) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[mo - 1] + (mo == 2 && leap ? 1 : 0);
}

}  // namespace

std::optional<MjdTime> ParseDateTimeText(const char* text, const char** problem) {
  const char* why = nullptr;
  if (problem == nullptr) problem = &why;
  *problem = "must be \"YYYY-MM-DD HH:MM[:SS]\"";
  if (text == nullptr) return std::nullopt;
  int y, mo, d, h, mi, s = 0, used = 0;
  if (std::sscanf(text, "%d-%d-%d %d:%d%n", &y, &mo, &d, &h, &mi, &used) != 5) return std::nullopt;
  const char* rest = text + used;
  if (*rest == ':') {
    used = 0;
    if (std::sscanf(rest, ":%d%n", &s, &used) != 1) return std::nullopt;
    rest += used;
  }
  if (*rest != '\0' || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) return std::nullopt;
  *problem = "is not a real date";
  if (y < 1900 || y > 9999 || mo < 1 || mo > 12 || d < 1 || !IsRealDate(y, mo, d)) return std::nullopt;
  if (y > 2038 || (y == 2038 && (mo > 4 || (mo == 4 && d > 22)))) {
    *problem = "is after 2038-04-22, the last day that broadcast times and schedule.ini can hold";
    return std::nullopt;
  }
  *problem = nullptr;
  return MjdTime{MjdFromDate(y, mo, d), static_cast<uint32_t>(h * 3600 + mi * 60 + s)};
}

}  // namespace pelkan
