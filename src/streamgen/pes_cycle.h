#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelkan::streamgen {

// A ready-made packet of an elementary stream; only the continuity counter, the PTS and the PCR
// are filled in when it is sent. Its 188 bytes lie in its cycle's pool.
struct TemplatePacket {
  std::span<const uint8_t> bytes;
  uint8_t pts_pos = 0;         // offset of the 5 PTS bytes in the packet; 0 = no PTS
  bool pcr = false;            // bytes 6..11 take the PCR
  uint32_t pts_offset90 = 0;   // PTS relative to the start of the cycle (90 kHz)
};

// The packets of one elementary stream over a repeating period (a GOP, an audio frame, ...),
// sent evenly spread over that period: packet i of cycle g is due at g * ticks27 + i * ticks27 / N.
// The packets that are alike (most of a video cycle is the stuffing of its pictures) share their
// bytes in `pool`, so that sending a cycle reads a few kilobytes again and again, not the whole
// cycle from memory. The packets point into the pool: a cycle is moved, never copied.
struct PesCycle {
  PesCycle() = default;
  PesCycle(PesCycle&&) = default;
  PesCycle& operator=(PesCycle&&) = default;
  PesCycle(const PesCycle&) = delete;
  PesCycle& operator=(const PesCycle&) = delete;

  uint16_t pid = 0;
  std::vector<TemplatePacket> packets;
  std::vector<std::array<uint8_t, 188>> pool;
  uint64_t ticks27 = 0;  // duration of a cycle at 27 MHz
  uint64_t ticks90 = 0;  // the same at 90 kHz

  // Due time (27 MHz, from the stream's origin) of the j-th packet sent.
  uint64_t Due(uint64_t j) const {
    const uint64_t n = packets.size();
    return j / n * ticks27 + j % n * ticks27 / n;
  }
};

// One access unit of a stream and its presentation time within the cycle.
struct AccessUnit {
  std::vector<uint8_t> data;
  uint32_t pts_offset90 = 0;
};

// Video cycle: one PES per access unit, the whole cycle in exactly `packets` packets (raised to the
// minimum that holds the units), each unit padded with zero stuffing in the elementary stream.
// Every `pcr_every`-th packet, from the first, carries a PCR in its adaptation field.
PesCycle BuildVideoCycle(uint16_t pid, const std::vector<AccessUnit>& units, uint64_t ticks27,
                         size_t packets, size_t pcr_every);

// Cycle of one PES per access unit with stream_id `stream_id`; the last packet of each PES is
// completed with adaptation-field stuffing.
PesCycle BuildPesCycle(uint16_t pid, uint8_t stream_id, const std::vector<AccessUnit>& units,
                       uint64_t ticks27);

// Writes a 33-bit PTS with the '0010' prefix and marker bits into 5 bytes.
void WritePts(uint8_t* p, uint64_t pts);
// Writes the 6-byte PCR field (33-bit base, 6 reserved bits, 9-bit extension) for a 27 MHz time.
void WritePcr(uint8_t* p, uint64_t time27);

}  // namespace pelkan::streamgen
