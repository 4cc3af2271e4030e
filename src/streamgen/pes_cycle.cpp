#include "streamgen/pes_cycle.h"

#include <cstring>
#include <map>

namespace pelkan::streamgen {
namespace {

constexpr size_t kPesHeaderSize = 14;  // start code, length, flags, PTS

std::vector<uint8_t> PesHeader(uint8_t stream_id, size_t payload_size, bool allow_unbounded) {
  size_t length = payload_size + 8;
  if (length > 0xFFFF) length = allow_unbounded ? 0 : 0xFFFF;
  return {0x00, 0x00, 0x01, stream_id, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
          0x84,  // '10', not scrambled, data_alignment_indicator
          0x80,  // PTS only
          0x05,  0, 0, 0, 0, 0};
}

using PacketBytes = std::array<uint8_t, 188>;

// Fills one packet: header, optional adaptation field (PCR and/or stuffing), payload.
void FillPacket(PacketBytes& bytes, TemplatePacket& t, uint16_t pid, bool unit_start, bool pcr,
                bool random_access, const uint8_t* payload, size_t payload_size) {
  uint8_t* p = bytes.data();
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0) | (pid >> 8 & 0x1F));
  p[2] = static_cast<uint8_t>(pid);
  size_t pos = 4;
  if (pcr || payload_size < 184) {
    p[3] = 0x30;
    const size_t af_length = 183 - payload_size;  // bytes after the length byte
    p[4] = static_cast<uint8_t>(af_length);
    pos = 5;
    if (af_length > 0) {
      p[5] = static_cast<uint8_t>((pcr ? 0x10 : 0) | (random_access ? 0x40 : 0));
      pos = 6;
      if (pcr) {
        t.pcr = true;
        pos += 6;
      }
      std::memset(p + pos, 0xFF, 5 + af_length - pos);
      pos = 5 + af_length;
    }
  } else {
    p[3] = 0x10;
  }
  std::memcpy(p + pos, payload, payload_size);
}

// Puts each packet's bytes into the cycle's pool, one copy of each different packet.
void ShareBytes(PesCycle& cycle, const std::vector<PacketBytes>& bytes) {
  std::map<PacketBytes, size_t> index;
  std::vector<size_t> at(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto [it, added] = index.try_emplace(bytes[i], cycle.pool.size());
    if (added) cycle.pool.push_back(bytes[i]);
    at[i] = it->second;
  }
  for (size_t i = 0; i < bytes.size(); ++i) cycle.packets[i].bytes = cycle.pool[at[i]];
}

}  // namespace

void WritePts(uint8_t* p, uint64_t pts) {
  pts &= (uint64_t{1} << 33) - 1;
  p[0] = static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E));
  p[1] = static_cast<uint8_t>(pts >> 22);
  p[2] = static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1);
  p[3] = static_cast<uint8_t>(pts >> 7);
  p[4] = static_cast<uint8_t>(((pts << 1) & 0xFE) | 1);
}

void WritePcr(uint8_t* p, uint64_t time27) {
  const uint64_t base = (time27 / 300) & ((uint64_t{1} << 33) - 1);
  const uint32_t ext = static_cast<uint32_t>(time27 % 300);
  p[0] = static_cast<uint8_t>(base >> 25);
  p[1] = static_cast<uint8_t>(base >> 17);
  p[2] = static_cast<uint8_t>(base >> 9);
  p[3] = static_cast<uint8_t>(base >> 1);
  p[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
  p[5] = static_cast<uint8_t>(ext);
}

PesCycle BuildVideoCycle(uint16_t pid, const std::vector<AccessUnit>& units, uint64_t ticks27,
                         size_t packets, size_t pcr_every) {
  if (pcr_every == 0) pcr_every = 1;
  auto capacity = [pcr_every](size_t i) -> size_t { return i % pcr_every == 0 ? 176 : 184; };
  // Split the packets among the units: each unit gets what it needs at least, the first unit
  // (the I picture) nothing more, the others an even share of what is left.
  std::vector<size_t> first(units.size() + 1);
  size_t n = packets;
  for (;;) {
    size_t i = 0;
    bool fits = true;
    first[0] = 0;
    // Minimum for the first unit.
    size_t need = kPesHeaderSize + units[0].data.size();
    size_t cap = 0;
    while (cap < need) cap += capacity(i++);
    first[1] = i;
    const size_t rest_units = units.size() - 1;
    const size_t rest = n > i ? n - i : 0;
    for (size_t u = 1; u <= rest_units; ++u) {
      size_t share = rest / rest_units + (u - 1 < rest % rest_units ? 1 : 0);
      size_t got = 0;
      cap = 0;
      need = kPesHeaderSize + units[u].data.size();
      while (got < share || cap < need) {
        cap += capacity(i++);
        ++got;
      }
      if (got > share) fits = false;
      first[u + 1] = i;
    }
    if (fits && i == n) break;
    n = i > n ? i : n + 1;
  }

  PesCycle cycle;
  cycle.pid = pid;
  cycle.ticks27 = ticks27;
  cycle.ticks90 = ticks27 / 300;
  cycle.packets.resize(n);
  std::vector<PacketBytes> bytes(n);
  for (size_t u = 0; u < units.size(); ++u) {
    size_t cap = 0;
    for (size_t i = first[u]; i < first[u + 1]; ++i) cap += capacity(i);
    std::vector<uint8_t> pes = PesHeader(0xE0, cap - kPesHeaderSize, true);
    pes.insert(pes.end(), units[u].data.begin(), units[u].data.end());
    pes.resize(cap, 0x00);  // zero stuffing before the next start code
    size_t pos = 0;
    for (size_t i = first[u]; i < first[u + 1]; ++i) {
      TemplatePacket& t = cycle.packets[i];
      const bool pcr = i % pcr_every == 0;
      FillPacket(bytes[i], t, pid, i == first[u], pcr, pcr && u == 0 && i == first[u], pes.data() + pos,
                 capacity(i));
      if (i == first[u]) {
        t.pts_pos = static_cast<uint8_t>((pcr ? 12 : 4) + 9);
        t.pts_offset90 = units[u].pts_offset90;
      }
      pos += capacity(i);
    }
  }
  ShareBytes(cycle, bytes);
  return cycle;
}

PesCycle BuildPesCycle(uint16_t pid, uint8_t stream_id, const std::vector<AccessUnit>& units,
                       uint64_t ticks27) {
  PesCycle cycle;
  cycle.pid = pid;
  cycle.ticks27 = ticks27;
  cycle.ticks90 = ticks27 / 300;
  std::vector<PacketBytes> bytes;
  for (const AccessUnit& unit : units) {
    std::vector<uint8_t> pes = PesHeader(stream_id, unit.data.size(), false);
    pes.insert(pes.end(), unit.data.begin(), unit.data.end());
    for (size_t pos = 0; pos < pes.size();) {
      const size_t chunk = pes.size() - pos < 184 ? pes.size() - pos : 184;
      TemplatePacket t;
      FillPacket(bytes.emplace_back(), t, pid, pos == 0, false, false, pes.data() + pos, chunk);
      if (pos == 0) {
        t.pts_pos = static_cast<uint8_t>(4 + (chunk < 184 ? 1 + (183 - chunk) : 0) + 9);
        t.pts_offset90 = unit.pts_offset90;
      }
      cycle.packets.push_back(t);
      pos += chunk;
    }
  }
  ShareBytes(cycle, bytes);
  return cycle;
}

}  // namespace pelkan::streamgen
