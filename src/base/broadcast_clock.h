#pragma once

#include <cstdint>
#include <string>

#include "base/mjd_time.h"

namespace pelkan {

// The broadcast clock text "%c%04d/%02d/%02d\n%02d:%02d:%02d": empty when `date` is 0. `age_ms` is
// the time since the table arrived; above 1000 ms the clock is advanced by whole seconds of age.
// The marker is '*' when the table is younger than one second, a blank otherwise. *now (if given)
// receives the (advanced) time, or {0, 0} when there is no date. Pure function, any thread.
std::string FormatBroadcastClock(uint32_t date, uint32_t seconds, uint32_t age_ms, MjdTime* now);

}  // namespace pelkan
