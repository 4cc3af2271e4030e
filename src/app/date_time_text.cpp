#include "app/date_time_text.h"

#include <cstdio>

namespace pelkan {

std::optional<MjdTime> ParseDateTimeText(const char* text) {
  if (text == nullptr) return std::nullopt;
  int y, mo, d, h, mi, s = 0, used = 0;
  if (std::sscanf(text, "%d-%d-%d %d:%d%n", &y, &mo, &d, &h, &mi, &used) != 5) return std::nullopt;
  const char* rest = text + used;
  if (*rest == ':') {
    used = 0;
    if (std::sscanf(rest, ":%d%n", &s, &used) != 1) return std::nullopt;
    rest += used;
  }
  if (*rest != '\0' || y < 1900 || y > 2100 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 ||
      mi < 0 || mi > 59 || s < 0 || s > 59) {
    return std::nullopt;
  }
  const uint32_t mjd = MjdFromDate(y, mo, d);
  int cy, cm, cd;
  MjdToDate(mjd, &cy, &cm, &cd);
  if (cy != y || cm != mo || cd != d) return std::nullopt;
  return MjdTime{mjd, static_cast<uint32_t>(h * 3600 + mi * 60 + s)};
}

}  // namespace pelkan
