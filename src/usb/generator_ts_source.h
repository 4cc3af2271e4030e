#pragma once

// The Japan time under the name the programme guide window still uses; it lives in
// base/mjd_time.h, the synthetic broadcast source in core/generator_ts_source.h.
#include "base/mjd_time.h"

namespace pelkan::usb {
using pelkan::JapanTimeNow;
}  // namespace pelkan::usb
