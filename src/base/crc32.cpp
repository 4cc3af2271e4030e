#include "base/crc32.h"

#include <array>

namespace pelkan {
namespace {

// Slicing-by-8 tables: kTables[k][i] is the register after byte i followed by k zero bytes.
struct CrcTables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  constexpr CrcTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k) {
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    }
  }
};

constexpr CrcTables kTables;

}  // namespace

uint32_t Crc32Mpeg2(const uint8_t* data, size_t length, uint32_t crc) {
  const auto& t = kTables.t;
  while (length >= 8) {
    const uint32_t x = crc ^ (uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 |
                              uint32_t{data[3]});
    crc = t[7][x >> 24] ^ t[6][(x >> 16) & 0xFF] ^ t[5][(x >> 8) & 0xFF] ^ t[4][x & 0xFF] ^ t[3][data[4]] ^
          t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += 8;
    length -= 8;
  }
  while (length-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *data++];
  return crc;
}

}  // namespace pelkan
