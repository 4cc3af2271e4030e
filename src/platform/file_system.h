#pragma once

#include <string>

namespace pelkan::platform {

// True when `path` (UTF-8) names an existing directory; a regular file, a missing path and the
// empty path give false. Safe from any thread.
bool IsDirectory(const std::string& path);

// The system timer resolution the options dialog shows, in milliseconds: the kernel timer tick, as
// the resolution of the coarse monotonic clock (clock_getres); 0 when the system does not say.
double SystemTimerResolutionMs();

// The timer periods (ms) the options dialog accepts for TIMER_PERIOD besides 0. Linux sleeps at
// millisecond precision without raising any timer, so the period is stored, never applied; the
// range is the one stored files of the program have always been valid in.
inline constexpr int kTimerPeriodMin = 1;
inline constexpr int kTimerPeriodMax = 1000000;

}  // namespace pelkan::platform
