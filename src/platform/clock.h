#pragma once

#include <cstdint>

namespace pelkan::platform {

// Milliseconds since an arbitrary start, from the steady clock, wrapping at 2^32 (about 49.7 days).
// Compare ticks only by unsigned difference: `TickCount() - start >= interval`.
uint32_t TickCount();
// True when `now` has reached `deadline` on the wrapping 32-bit millisecond tick (the two are
// less than 2^31 ms, about 24.8 days, apart).
inline bool TickReached(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) >= 0;
}

// A broken-down local calendar time (month 1-12, weekday 0 = Sunday).
struct CalendarTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
  int weekday = 0;
};

// The machine's local time now.
CalendarTime LocalTimeNow();

}  // namespace pelkan::platform
