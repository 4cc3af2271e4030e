#pragma once

#include <cstdint>
#include <memory>

#include "core/dtv_ezusb_fx2.h"

namespace pelkan::testing {

// The virtual tuner, opened, playing the generated broadcast at `bit_rate` (bits per second).
std::unique_ptr<core::CDTV_EzUSBFX2> VirtualTunerDevice(uint32_t bit_rate = 8'000'000);

}  // namespace pelkan::testing
