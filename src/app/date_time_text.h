#pragma once

#include <optional>

#include "core/mjd_time.h"

namespace pelkan {

// Reads "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (a broadcast time, JST) as typed on the command
// line. Returns nothing for another shape, a field out of range or a date that does not exist
// (31 February, or beyond the 16-bit MJD range of the broadcast tables).
std::optional<MjdTime> ParseDateTimeText(const char* text);

}  // namespace pelkan
