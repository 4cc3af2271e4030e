#pragma once

#include <cstdint>

namespace pelkan {

// The four header bytes of a TS packet, one field per member.
struct PacketHeader {
  uint8_t sync_byte;
  uint8_t transport_error_indicator;
  uint8_t payload_unit_start_indicator;
  uint8_t transport_priority;
  uint16_t pid;
  uint8_t transport_scrambling_control;
  uint8_t adaptation_field_control;
  uint8_t continuity_counter;
};

// Parses the header from the first four bytes of `p` (the caller guarantees four bytes).
inline PacketHeader ParsePacketHeader(const uint8_t* p) {
  PacketHeader h;
  h.sync_byte = p[0];
  h.transport_error_indicator = static_cast<uint8_t>(p[1] >> 7);
  h.payload_unit_start_indicator = static_cast<uint8_t>((p[1] >> 6) & 1);
  h.transport_priority = static_cast<uint8_t>((p[1] >> 5) & 1);
  h.pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  h.transport_scrambling_control = static_cast<uint8_t>(p[3] >> 6);
  h.adaptation_field_control = static_cast<uint8_t>((p[3] >> 4) & 3);
  h.continuity_counter = static_cast<uint8_t>(p[3] & 0x0F);
  return h;
}

// Packet payload bytes handed to the section assembler: bytes 4..187 of every packet size.
constexpr uint32_t kPayloadSize = 184;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr uint8_t kSyncByte = 0x47;

}  // namespace pelkan
