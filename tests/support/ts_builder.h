#pragma once

// Builders of transport-stream test data: PSI/SI sections with correct CRC_32, ARIB text, packets
// with per-PID continuity counters, a recorder of processor events, and a synthetic broadcast.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ts/ts_events.h"

namespace pelkan::test {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts);

// ---- Sections ----

// A section with the long header (section_syntax_indicator 1) and CRC_32.
Bytes LongSection(uint8_t table_id, uint16_t table_id_extension, uint8_t version, const Bytes& body,
                  uint8_t section_number = 0, uint8_t last_section_number = 0);
// A section with the short header; with_crc appends a CRC_32 (counted in section_length).
Bytes ShortSection(uint8_t table_id, const Bytes& body, bool with_crc);
// Flips one bit of the CRC_32 at the end of a section.
Bytes CorruptCrc(Bytes section);

Bytes Descriptor(uint8_t tag, const Bytes& body);
// ARIB 8-unit text that decodes to the full-width form of `ascii` (LS1, then alphanumeric codes).
Bytes AribAlnum(std::string_view ascii);
// Full-width UTF-8 form of the letters and digits of `ascii` (what AribAlnum decodes to).
std::string FullWidthUtf8(std::string_view ascii);

Bytes PatSection(uint16_t tsid, uint8_t version, const std::vector<std::pair<uint16_t, uint16_t>>& programs);

struct PmtStream {
  uint8_t stream_type;
  uint16_t pid;
  Bytes descriptors;
};
Bytes PmtSection(uint16_t program_number, uint8_t version, uint16_t pcr_pid, const std::vector<PmtStream>& streams,
                 const Bytes& program_descriptors = {});

struct NitStream {
  uint16_t tsid;
  uint16_t original_network_id;
  Bytes descriptors;
};
Bytes NitSection(uint8_t table_id, uint16_t network_id, uint8_t version, const Bytes& network_descriptors,
                 const std::vector<NitStream>& streams, uint8_t section_number = 0,
                 uint8_t last_section_number = 0);
// satellite_delivery_system_descriptor from BCD digit fields as broadcast.
Bytes SatelliteDeliveryDescriptor(uint32_t frequency_bcd, uint16_t orbital_bcd, uint8_t flags,
                                  uint32_t symbol_rate_bcd28, uint8_t fec);

struct SdtService {
  uint16_t service_id;
  Bytes descriptors;
};
Bytes SdtSection(uint8_t table_id, uint16_t tsid, uint16_t original_network_id, uint8_t version,
                 const std::vector<SdtService>& services, uint8_t section_number = 0,
                 uint8_t last_section_number = 0);
Bytes ServiceDescriptor(uint8_t service_type, const Bytes& provider, const Bytes& name);

// Time-offset table (0x73, with CRC) and time-and-date table (0x70, no CRC); hh/mm/ss are BCD.
Bytes TotSection(uint16_t mjd, uint8_t hh, uint8_t mm, uint8_t ss);
Bytes TdtSection(uint16_t mjd, uint8_t hh, uint8_t mm, uint8_t ss);

struct EitEvent {
  uint16_t event_id;
  uint16_t start_mjd;
  std::array<uint8_t, 3> start;     // BCD hh mm ss
  std::array<uint8_t, 3> duration;  // BCD hh mm ss; FF FF FF = undefined
  Bytes descriptors;
};
Bytes EitSection(uint8_t table_id, uint16_t service_id, uint8_t version, uint8_t section_number,
                 const std::vector<EitEvent>& events, uint16_t tsid = 0x7FE0, uint16_t original_network_id = 0x7FE0);
Bytes ShortEventDescriptor(const Bytes& name, const Bytes& text);

// ---- Packets ----

// Appends 188-byte packets; continuity counters run per PID from 0.
class TsBuilder {
 public:
  // The packets carrying one section from a start packet (pointer_field 0), stuffed with 0xFF.
  TsBuilder& Section(uint16_t pid, const Bytes& section);
  // Several sections back to back from one start packet.
  TsBuilder& Sections(uint16_t pid, const std::vector<Bytes>& sections);
  // One packet; `payload` (at most 184 bytes) is padded with 0xFF. afc 1 = payload only.
  TsBuilder& Packet(uint16_t pid, const Bytes& payload, bool start = false, uint8_t scrambling = 0, uint8_t afc = 1);
  // One packet with an explicit continuity counter (the PID's counter continues from it).
  TsBuilder& PacketCc(uint16_t pid, uint8_t cc, const Bytes& payload, bool start = false);
  TsBuilder& Null(int count = 1);
  TsBuilder& Raw(const Bytes& bytes);

  const Bytes& bytes() const { return out_; }
  size_t packets() const { return out_.size() / 188; }

 private:
  void AddPacket(uint16_t pid, bool start, uint8_t scrambling, uint8_t afc, uint8_t cc, const Bytes& payload);
  Bytes out_;
  std::array<uint8_t, 8192> cc_{};
};

// Re-frames a stream of 188-byte packets as `size`-byte packets (192: 4 trailing bytes, 204: 16),
// the extra bytes being `fill`.
Bytes Reframe(const Bytes& stream188, uint32_t size, uint8_t fill = 0x00);

// ---- Events ----

struct RecordedEvent {
  uint32_t type;
  int32_t param;
  uint32_t count;
  Bytes data;  // a copy of the payload
};

// Records every processor event with a copy of its payload. Install with
// processor.SetEventHandler(EventLog::Handler, &log).
class EventLog {
 public:
  static void Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user);

  std::vector<RecordedEvent> events;

  std::vector<RecordedEvent> OfType(uint32_t type) const;
  size_t Count(uint32_t type) const;
  // Types of all events except EVENT_PACKET, in order.
  std::vector<uint32_t> TableEventTypes() const;
  void Clear() { events.clear(); }
};

template <typename T>
T PayloadAs(const RecordedEvent& e, size_t index = 0) {
  T v{};
  if ((index + 1) * sizeof(T) <= e.data.size()) std::memcpy(&v, e.data.data() + index * sizeof(T), sizeof(T));
  return v;
}

// ---- A synthetic broadcast ----

struct SyntheticOptions {
  size_t packets = 100000;
  int services = 3;
  bool scrambled = false;
};
// A terrestrial-like multiplex of 188-byte packets: per service a PMT, video and audio PIDs; PAT,
// NIT, SDT, TOT and EIT (present/following and schedule) repeated at broadcast-like intervals,
// about 2 % of all packets; some null packets. Services are 0x0400 + i with PMT PID 0x1F0 + i,
// video 0x100 + 0x10 * i, audio 0x101 + 0x10 * i.
Bytes SyntheticBroadcast(const SyntheticOptions& options);

}  // namespace pelkan::test
