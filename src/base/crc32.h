#pragma once

#include <cstddef>
#include <cstdint>

namespace pelkan {

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, MSB first, no reflection, no final XOR).
// Continues from `crc`; start a new computation with 0xFFFFFFFF. Over a whole PSI section
// including its CRC field the result is 0. Pure function, safe from any thread.
uint32_t Crc32Mpeg2(const uint8_t* data, size_t length, uint32_t crc = 0xFFFFFFFFu);

}  // namespace pelkan
