#include "test_scrambler.h"

#include <array>

namespace pelkan::streamgen {
namespace {

// 188 keystream bytes from a fixed xorshift sequence, one per byte position of a packet.
constexpr std::array<uint8_t, 188> MakeKeystream() {
  std::array<uint8_t, 188> key{};
  uint32_t x = 0x2545F491u;
  for (auto& k : key) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    k = static_cast<uint8_t>(x >> 24);
  }
  return key;
}

constexpr std::array<uint8_t, 188> kKeystream = MakeKeystream();

// Start of the 188-byte packet inside a unit, or null when the unit is not a packet. A 192-byte
// unit is either cut at the sync byte (as a receiver that aligns on sync bytes passes it on) or
// starts with the 4-byte time-stamp prefix, whose first byte is never 0x47 with copy permission 0.
uint8_t* PacketStart(uint8_t* unit, size_t size) {
  if (unit == nullptr || (size != 188 && size != 192 && size != 204)) return nullptr;
  if (unit[0] == 0x47) return unit;
  if (size == 192 && unit[4] == 0x47) return unit + 4;
  return nullptr;
}

// Offset of the first payload byte, or 0 when the packet carries no payload (or a malformed
// adaptation field leaves none).
size_t PayloadOffset(const uint8_t* p) {
  const unsigned afc = (p[3] >> 4) & 3;
  if ((afc & 1) == 0) return 0;
  if (afc == 1) return 4;
  const size_t off = 5u + p[4];
  return off < 188 ? off : 0;
}

void XorPayload(uint8_t* p, size_t from) {
  for (size_t i = from; i < 188; ++i) p[i] ^= kKeystream[i];
}

}  // namespace

void ApplyTestScrambling(uint8_t* packet, size_t packet_size) {
  uint8_t* p = PacketStart(packet, packet_size);
  if (p == nullptr || (p[3] & 0xC0) != 0) return;
  const size_t from = PayloadOffset(p);
  if (from == 0) return;
  XorPayload(p, from);
  p[3] |= 0xC0;
}

bool RemoveTestScrambling(uint8_t* packet, size_t packet_size) {
  uint8_t* p = PacketStart(packet, packet_size);
  if (p == nullptr || (p[3] & 0xC0) != 0xC0) return false;
  const size_t from = PayloadOffset(p);
  if (from == 0) return false;
  XorPayload(p, from);
  p[3] &= 0x3F;
  return true;
}

}  // namespace pelkan::streamgen
