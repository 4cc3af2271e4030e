#include "ts/section_assembler.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/crc32.h"

namespace pelkan {
namespace {

constexpr uint8_t kStuffingByte = 0xFF;

// Fills the header from the first bytes of a buffer holding at least 3 bytes. The extension
// fields need all 8 header bytes and the long form.
SectionHeader ParseSectionHeader(const uint8_t* p, uint32_t available) {
  SectionHeader h;
  h.table_id = p[0];
  h.section_syntax_indicator = static_cast<uint8_t>(p[1] >> 7);
  h.section_length = static_cast<uint32_t>((p[1] & 0x0F) << 8 | p[2]);
  if (h.section_syntax_indicator && available >= 8) {
    h.table_id_extension = static_cast<uint16_t>(p[3] << 8 | p[4]);
    h.version_number = static_cast<uint8_t>((p[5] >> 1) & 0x1F);
    h.current_next_indicator = static_cast<uint8_t>(p[5] & 1);
    h.section_number = p[6];
    h.last_section_number = p[7];
  }
  return h;
}

}  // namespace

SectionAssembler::SectionAssembler() : slot_(8192, 0), scratch_(new uint8_t[kBufferSize]) {}

SectionAssembler::PidState& SectionAssembler::State(uint16_t pid) {
  uint16_t& slot = slot_[pid & 0x1FFF];
  if (slot == 0) {
    states_.emplace_back();
    slot = static_cast<uint16_t>(states_.size());
  }
  return states_[slot - 1u];
}

const SectionAssembler::PidState* SectionAssembler::Find(uint16_t pid) const {
  const uint16_t slot = slot_[pid & 0x1FFF];
  return slot ? &states_[slot - 1u] : nullptr;
}

int SectionAssembler::assembling(uint16_t pid) const {
  const PidState* s = Find(pid);
  return s ? s->assembling : 0;
}

uint32_t SectionAssembler::buffered(uint16_t pid) const {
  const PidState* s = Find(pid);
  return s ? s->length : 0;
}

void SectionAssembler::Reset() {
  for (PidState& s : states_) {
    s.assembling = 0;
    s.length = 0;
  }
}

void SectionAssembler::Put(PidState& s, const uint8_t* data, uint32_t length) {
  if (length == 0) return;
  if (!s.data) {
    s.data.reset(new (std::nothrow) uint8_t[kBufferSize]);
    if (!s.data) return;
  }
  const uint32_t n = std::min(length, kBufferSize - s.length);
  std::memcpy(s.data.get() + s.length, data, n);
  s.length += n;
}

int SectionAssembler::TryComplete(PidState& s, const PacketHeader& packet, int handler, SectionSink& sink) {
  if (s.length <= 2) return kNeedMore;
  const SectionHeader h = ParseSectionHeader(s.data.get(), s.length);
  const uint32_t total = h.TotalLength();
  if (s.length < total) return kNeedMore;
  if (Crc32Mpeg2(s.data.get(), total) != 0) {
    s.length = 0;
    return kBadCrc;
  }
  // The section leaves the buffer before the handler runs; what follows it stays for later.
  std::memcpy(scratch_.get(), s.data.get(), total);
  s.length -= total;
  if (s.length > 0) std::memmove(s.data.get(), s.data.get() + total, s.length);
  sink.OnSection(handler, packet, h, scratch_.get(), total);
  return kHandled;
}

void SectionAssembler::CompleteAll(PidState& s, const PacketHeader& header, int handler, SectionSink& sink) {
  // A packet may carry several sections back to back. Stuffing (0xFF where a table_id would be)
  // fills the rest of the packet, and the next section starts in a packet with
  // payload_unit_start_indicator. The handler may reset the assembler; the loop then finds the
  // state empty and idle.
  while (s.assembling) {
    if (s.length > 0 && s.data[0] == kStuffingByte) {
      s.assembling = 0;
      s.length = 0;
      return;
    }
    const int result = TryComplete(s, header, handler, sink);
    if (result == kNeedMore) return;
    if (result == kBadCrc) {
      s.assembling = 0;
      s.length = 0;
      return;
    }
  }
}

void SectionAssembler::PushPayload(const PacketHeader& header, const uint8_t* payload, int handler,
                                   SectionSink& sink) {
  PidState& s = State(header.pid);
  int pos = 0;
  int len = static_cast<int>(kPayloadSize);
  if (header.adaptation_field_control & 2) {
    pos = payload[0] + 1;
    len -= pos;
  }
  if (header.payload_unit_start_indicator) {
    // An adaptation field that fills the payload leaves no pointer_field to read.
    if (len <= 0) return;
    const int pointer_field = payload[pos];
    if (pointer_field + 1 > len) {
      // The pointer runs past the payload: the packet is corrupt, and so is the section in progress.
      s.assembling = 0;
      s.length = 0;
      return;
    }
    if (pointer_field != 0 && s.assembling) {
      Put(s, payload + pos + 1, static_cast<uint32_t>(pointer_field));
      CompleteAll(s, header, handler, sink);
    }
    pos += pointer_field + 1;
    len -= pointer_field + 1;
  }
  if (len <= 0) return;
  if (header.payload_unit_start_indicator) {
    s.assembling = 1;
    s.length = 0;
  }
  if (!s.assembling) return;
  Put(s, payload + pos, static_cast<uint32_t>(len));
  CompleteAll(s, header, handler, sink);
}

}  // namespace pelkan
