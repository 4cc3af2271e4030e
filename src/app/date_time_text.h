#pragma once

#include <optional>

#include "base/mjd_time.h"

namespace pelkan {

// Reads "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (a broadcast time, JST) as typed on the command
// line. Returns nothing for another shape, a field out of range, a date that does not exist (31
// February) or one after 2038-04-22 (the last day of the 16-bit MJD of the broadcast tables and of
// schedule.ini); *problem (if given) then receives why, in English, to follow the option's name
// ("is not a real date").
std::optional<MjdTime> ParseDateTimeText(const char* text, const char** problem = nullptr);

}  // namespace pelkan
