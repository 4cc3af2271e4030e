#include "library/library_entry.h"

#include <time.h>

#include <array>
#include <cstdio>
#include <string>

#include "hooks/recording_outcome.h"
#include "hooks/wake_alarm_keeper.h"

namespace pelkan {
namespace {

constexpr std::array<std::string_view, 6> kWords = {"recording", "complete", "recovered",
                                                    "partial",   "failed",   "tuner lost"};

}  // namespace

std::string_view LibraryResultWord(LibraryResult result) {
  return kWords[static_cast<size_t>(result)];
}

std::optional<LibraryResult> LibraryResultOfWord(std::string_view word) {
  for (size_t i = 0; i < kWords.size(); ++i) {
    if (kWords[i] == word) return static_cast<LibraryResult>(i);
  }
  return std::nullopt;
}

std::string JapanIsoOfEpoch(int64_t epoch) {
  return epoch == 0 ? std::string() : hooks::JapanIso(hooks::JapanTimeOfEpoch(epoch));
}

int64_t EpochOfIso(std::string_view iso) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, oh = 0, om = 0;
  char sign = 0;
  const std::string text(iso);
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%c%d:%d", &y, &mo, &d, &h, &mi, &s, &sign, &oh, &om) != 9 ||
      (sign != '+' && sign != '-') || mo < 1 || mo > 12 || d < 1 || d > 31)
    return 0;
  const int64_t offset = (int64_t{oh} * 3600 + int64_t{om} * 60) * (sign == '-' ? -1 : 1);
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return static_cast<int64_t>(timegm(&t)) - offset;
}

}  // namespace pelkan
