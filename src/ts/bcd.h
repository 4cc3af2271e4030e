#pragma once

#include <cstdint>

namespace pelkan {

// Seconds of a BCD time hh:mm:ss (three bytes as broadcast). Digits above 9 are not rejected.
constexpr uint32_t BcdTimeToSeconds(uint8_t hh, uint8_t mm, uint8_t ss) {
  return (ss & 0xFu) + (ss >> 4) * 10u + (mm & 0xFu) * 60u + (mm >> 4) * 600u + (hh & 0xFu) * 3600u +
         (hh >> 4) * 36000u;
}

// Integer value of up to eight BCD digits, lowest nibble = lowest digit.
constexpr uint32_t BcdToInt(uint32_t value) {
  uint32_t result = 0;
  uint32_t scale = 1;
  for (int i = 0; i < 8; ++i) {
    result += ((value >> (4 * i)) & 0xFu) * scale;
    scale *= 10;
  }
  return result;
}

// Plain value of one BCD byte (two digits).
constexpr uint8_t BcdByteToInt(uint8_t b) { return static_cast<uint8_t>((b >> 4) * 10 + (b & 0xF)); }

}  // namespace pelkan
