#include "tests/support/ts_builder.h"

#include <algorithm>

#include "base/crc32.h"

// GCC 12 at -O3 reports out-of-bounds memcpy in vector::insert after list-initialisation (a known
// false positive of its -Warray-bounds); the builders below are plain vector appends.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif

namespace pelkan::test {
namespace {

void PutU16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

void AppendCrc(Bytes& b) {
  const uint32_t crc = Crc32Mpeg2(b.data(), b.size());
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(crc >> shift));
}

Bytes Loop(const Bytes& inner, uint16_t top_bits = 0xF000) {
  Bytes b;
  PutU16(b, top_bits | (inner.size() & 0x0FFF));
  b.insert(b.end(), inner.begin(), inner.end());
  return b;
}

}  // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes LongSection(uint8_t table_id, uint16_t ext, uint8_t version, const Bytes& body, uint8_t section_number,
                  uint8_t last_section_number) {
  const uint32_t section_length = static_cast<uint32_t>(5 + body.size() + 4);
  Bytes b{table_id, static_cast<uint8_t>(0xB0 | ((section_length >> 8) & 0x0F)), static_cast<uint8_t>(section_length)};
  PutU16(b, ext);
  b.push_back(static_cast<uint8_t>(0xC1 | (version & 0x1F) << 1));
  b.push_back(section_number);
  b.push_back(last_section_number);
  b.insert(b.end(), body.begin(), body.end());
  AppendCrc(b);
  return b;
}

Bytes ShortSection(uint8_t table_id, const Bytes& body, bool with_crc) {
  const uint32_t section_length = static_cast<uint32_t>(body.size() + (with_crc ? 4 : 0));
  Bytes b{table_id, static_cast<uint8_t>(0x70 | ((section_length >> 8) & 0x0F)), static_cast<uint8_t>(section_length)};
  b.insert(b.end(), body.begin(), body.end());
  if (with_crc) AppendCrc(b);
  return b;
}

Bytes CorruptCrc(Bytes section) {
  if (!section.empty()) section.back() ^= 0x01;
  return section;
}

Bytes Descriptor(uint8_t tag, const Bytes& body) {
  Bytes b{tag, static_cast<uint8_t>(body.size())};
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes AribAlnum(std::string_view ascii) {
  Bytes b{0x0E};  // LS1: the alphanumeric set of G1 into GL
  for (char c : ascii) b.push_back(static_cast<uint8_t>(c));
  return b;
}

std::string FullWidthUtf8(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    if (c == ' ') continue;
    const uint32_t cp = static_cast<uint8_t>(c) + 0xFEE0u;  // U+FF01..U+FF5E
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

Bytes PatSection(uint16_t tsid, uint8_t version, const std::vector<std::pair<uint16_t, uint16_t>>& programs) {
  Bytes body;
  for (auto [program, pid] : programs) {
    PutU16(body, program);
    PutU16(body, 0xE000 | pid);
  }
  return LongSection(0x00, tsid, version, body);
}

Bytes PmtSection(uint16_t program_number, uint8_t version, uint16_t pcr_pid, const std::vector<PmtStream>& streams,
                 const Bytes& program_descriptors) {
  Bytes body;
  PutU16(body, 0xE000 | pcr_pid);
  const Bytes info = Loop(program_descriptors);
  body.insert(body.end(), info.begin(), info.end());
  for (const PmtStream& s : streams) {
    body.push_back(s.stream_type);
    PutU16(body, 0xE000 | s.pid);
    const Bytes es = Loop(s.descriptors);
    body.insert(body.end(), es.begin(), es.end());
  }
  return LongSection(0x02, program_number, version, body);
}

Bytes NitSection(uint8_t table_id, uint16_t network_id, uint8_t version, const Bytes& network_descriptors,
                 const std::vector<NitStream>& streams, uint8_t section_number, uint8_t last_section_number) {
  Bytes body = Loop(network_descriptors);
  Bytes loop;
  for (const NitStream& s : streams) {
    PutU16(loop, s.tsid);
    PutU16(loop, s.original_network_id);
    const Bytes d = Loop(s.descriptors);
    loop.insert(loop.end(), d.begin(), d.end());
  }
  const Bytes l = Loop(loop);
  body.insert(body.end(), l.begin(), l.end());
  return LongSection(table_id, network_id, version, body, section_number, last_section_number);
}

Bytes SatelliteDeliveryDescriptor(uint32_t frequency_bcd, uint16_t orbital_bcd, uint8_t flags,
                                  uint32_t symbol_rate_bcd28, uint8_t fec) {
  Bytes b;
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(frequency_bcd >> shift));
  PutU16(b, orbital_bcd);
  b.push_back(flags);
  b.push_back(static_cast<uint8_t>(symbol_rate_bcd28 >> 20));
  b.push_back(static_cast<uint8_t>(symbol_rate_bcd28 >> 12));
  b.push_back(static_cast<uint8_t>(symbol_rate_bcd28 >> 4));
  b.push_back(static_cast<uint8_t>((symbol_rate_bcd28 & 0xF) << 4 | (fec & 0xF)));
  return Descriptor(0x43, b);
}

Bytes SdtSection(uint8_t table_id, uint16_t tsid, uint16_t original_network_id, uint8_t version,
                 const std::vector<SdtService>& services, uint8_t section_number,
                 uint8_t last_section_number) {
  Bytes body;
  PutU16(body, original_network_id);
  body.push_back(0xFF);
  for (const SdtService& s : services) {
    PutU16(body, s.service_id);
    body.push_back(0xFC);
    const Bytes d = Loop(s.descriptors, 0x8000);
    body.insert(body.end(), d.begin(), d.end());
  }
  return LongSection(table_id, tsid, version, body, section_number, last_section_number);
}

Bytes ServiceDescriptor(uint8_t service_type, const Bytes& provider, const Bytes& name) {
  Bytes b{service_type, static_cast<uint8_t>(provider.size())};
  b.insert(b.end(), provider.begin(), provider.end());
  b.push_back(static_cast<uint8_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  return Descriptor(0x48, b);
}

Bytes TotSection(uint16_t mjd, uint8_t hh, uint8_t mm, uint8_t ss) {
  Bytes body;
  PutU16(body, mjd);
  body.insert(body.end(), {hh, mm, ss});
  const Bytes offset = Descriptor(0x58, {'J', 'P', 'N', 0x02, 0x00, 0x00, 0xC0, 0x79, 0x00, 0x00, 0x00, 0x00, 0x00});
  const Bytes d = Loop(offset);
  body.insert(body.end(), d.begin(), d.end());
  return ShortSection(0x73, body, true);
}

Bytes TdtSection(uint16_t mjd, uint8_t hh, uint8_t mm, uint8_t ss) {
  Bytes body;
  PutU16(body, mjd);
  body.insert(body.end(), {hh, mm, ss});
  return ShortSection(0x70, body, false);
}

Bytes EitSection(uint8_t table_id, uint16_t service_id, uint8_t version, uint8_t section_number,
                 const std::vector<EitEvent>& events, uint16_t tsid, uint16_t original_network_id) {
  Bytes body;
  PutU16(body, tsid);
  PutU16(body, original_network_id);
  body.push_back(section_number);  // segment_last_section_number
  body.push_back(table_id);        // last_table_id
  for (const EitEvent& e : events) {
    PutU16(body, e.event_id);
    PutU16(body, e.start_mjd);
    body.insert(body.end(), e.start.begin(), e.start.end());
    body.insert(body.end(), e.duration.begin(), e.duration.end());
    const Bytes d = Loop(e.descriptors, 0x8000);
    body.insert(body.end(), d.begin(), d.end());
  }
  return LongSection(table_id, service_id, version, body, section_number, section_number);
}

Bytes ShortEventDescriptor(const Bytes& name, const Bytes& text) {
  Bytes b{'j', 'p', 'n', static_cast<uint8_t>(name.size())};
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(static_cast<uint8_t>(text.size()));
  b.insert(b.end(), text.begin(), text.end());
  return Descriptor(0x4D, b);
}

// ---- Packets ----

void TsBuilder::AddPacket(uint16_t pid, bool start, uint8_t scrambling, uint8_t afc, uint8_t cc,
                          const Bytes& payload) {
  out_.push_back(0x47);
  out_.push_back(static_cast<uint8_t>((start ? 0x40 : 0) | ((pid >> 8) & 0x1F)));
  out_.push_back(static_cast<uint8_t>(pid));
  out_.push_back(static_cast<uint8_t>((scrambling & 3) << 6 | (afc & 3) << 4 | (cc & 0x0F)));
  const size_t n = std::min<size_t>(payload.size(), 184);
  out_.insert(out_.end(), payload.begin(), payload.begin() + static_cast<long>(n));
  out_.insert(out_.end(), 184 - n, 0xFF);
}

TsBuilder& TsBuilder::Packet(uint16_t pid, const Bytes& payload, bool start, uint8_t scrambling, uint8_t afc) {
  AddPacket(pid, start, scrambling, afc, cc_[pid & 0x1FFF]++, payload);
  return *this;
}

TsBuilder& TsBuilder::PacketCc(uint16_t pid, uint8_t cc, const Bytes& payload, bool start) {
  AddPacket(pid, start, 0, 1, cc, payload);
  cc_[pid & 0x1FFF] = static_cast<uint8_t>(cc + 1);
  return *this;
}

TsBuilder& TsBuilder::Section(uint16_t pid, const Bytes& section) { return Sections(pid, {section}); }

TsBuilder& TsBuilder::Sections(uint16_t pid, const std::vector<Bytes>& sections) {
  Bytes data{0x00};  // pointer_field
  for (const Bytes& s : sections) data.insert(data.end(), s.begin(), s.end());
  for (size_t pos = 0; pos < data.size(); pos += 184) {
    const Bytes chunk(data.begin() + static_cast<long>(pos),
                      data.begin() + static_cast<long>(std::min(data.size(), pos + 184)));
    Packet(pid, chunk, pos == 0);
  }
  return *this;
}

TsBuilder& TsBuilder::Null(int count) {
  for (int i = 0; i < count; ++i) AddPacket(0x1FFF, false, 0, 1, 0, {});
  return *this;
}

TsBuilder& TsBuilder::Raw(const Bytes& bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes Reframe(const Bytes& stream188, uint32_t size, uint8_t fill) {
  Bytes out;
  for (size_t pos = 0; pos + 188 <= stream188.size(); pos += 188) {
    out.insert(out.end(), stream188.begin() + static_cast<long>(pos), stream188.begin() + static_cast<long>(pos + 188));
    out.insert(out.end(), size - 188, fill);
  }
  return out;
}

// ---- Events ----

void EventLog::Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
  auto* log = static_cast<EventLog*>(user);
  size_t size = 0;
  switch (type) {
    case EVENT_PACKET:
    case EVENT_PACKETS: size = count; break;
    case EVENT_PROGRAM_LIST: size = count * sizeof(ProgramListEntry); break;
    case EVENT_COMPONENT_LIST: size = count * sizeof(ComponentEntry); break;
    case EVENT_NETWORK_NAME: size = data ? std::strlen(reinterpret_cast<const char*>(data)) + 1 : 0; break;
    case EVENT_SATELLITE_DELIVERY: size = sizeof(SatelliteDelivery); break;
    case EVENT_BROADCAST_TIME: size = sizeof(BroadcastTime); break;
    case EVENT_SERVICE_NAME: size = sizeof(ServiceNames); break;
    case EVENT_EIT_SECTION: size = count; break;
    default: break;
  }
  RecordedEvent e{type, param, count, {}};
  if (data && size) e.data.assign(data, data + size);
  log->events.push_back(std::move(e));
}

std::vector<RecordedEvent> EventLog::OfType(uint32_t type) const {
  std::vector<RecordedEvent> out;
  for (const auto& e : events) {
    if (e.type == type) out.push_back(e);
  }
  return out;
}

size_t EventLog::Count(uint32_t type) const {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [type](const auto& e) { return e.type == type; }));
}

std::vector<uint32_t> EventLog::TableEventTypes() const {
  std::vector<uint32_t> out;
  for (const auto& e : events) {
    if (e.type != EVENT_PACKET) out.push_back(e.type);
  }
  return out;
}

// ---- Synthetic broadcast ----

Bytes SyntheticBroadcast(const SyntheticOptions& o) {
  const int n = std::max(1, o.services);
  std::vector<std::pair<uint16_t, uint16_t>> programs{{0, 0x0010}};
  std::vector<SdtService> sdt;
  for (int i = 0; i < n; ++i) {
    const uint16_t sid = static_cast<uint16_t>(0x0400 + i);
    programs.emplace_back(sid, static_cast<uint16_t>(0x1F0 + i));
    sdt.push_back({sid, ServiceDescriptor(0x01, AribAlnum("PELKAN"), AribAlnum("SERVICE " + std::to_string(i + 1)))});
  }
  const Bytes pat = PatSection(0x7FE0, 1, programs);
  const Bytes nit = NitSection(0x40, 0x7FE0, 1, Descriptor(0x40, AribAlnum("SYNTH NET")), {{0x7FE0, 0x7FE0, {}}});
  const Bytes sdt_section = SdtSection(0x42, 0x7FE0, 0x7FE0, 1, sdt);
  std::vector<Bytes> pmts;
  for (int i = 0; i < n; ++i) {
    pmts.push_back(PmtSection(static_cast<uint16_t>(0x0400 + i), 1, static_cast<uint16_t>(0x100 + 0x10 * i),
                              {{0x02, static_cast<uint16_t>(0x100 + 0x10 * i), Descriptor(0x52, {0x00})},
                               {0x0F, static_cast<uint16_t>(0x101 + 0x10 * i), Descriptor(0x52, {0x10})}}));
  }
  // Present/following and eight schedule sections per service, with enough text to span packets.
  std::vector<Bytes> eits;
  const Bytes text = AribAlnum("A PROGRAMME DESCRIPTION THAT RUNS FOR A WHILE 0123456789");
  for (int i = 0; i < n; ++i) {
    const uint16_t sid = static_cast<uint16_t>(0x0400 + i);
    for (int s = 0; s < 2; ++s) {
      eits.push_back(EitSection(0x4E, sid, 1, static_cast<uint8_t>(s),
                                {{static_cast<uint16_t>(0x1000 + s), 0xEA60, {static_cast<uint8_t>(0x20 + s), 0x00, 0x00},
                                  {0x01, 0x00, 0x00},
                                  Concat({ShortEventDescriptor(AribAlnum("TITLE"), text),
                                          Descriptor(0x50, {0x01, 0xB3, 0x00}), Descriptor(0xC4, {0x02, 0x03, 0x00})})}}));
    }
    for (int s = 0; s < 8; ++s) {
      std::vector<EitEvent> events;
      for (int k = 0; k < 4; ++k) {
        events.push_back({static_cast<uint16_t>(0x2000 + s * 8 + k), static_cast<uint16_t>(0xEA60 + s),
                          {static_cast<uint8_t>(k * 3), 0x00, 0x00}, {0x01, 0x30, 0x00},
                          ShortEventDescriptor(AribAlnum("SCHEDULED"), text)});
      }
      eits.push_back(EitSection(0x50, sid, 1, static_cast<uint8_t>(s * 8), events));
    }
  }
  const Bytes tot = TotSection(0xEA60, 0x21, 0x00, 0x00);

  TsBuilder b;
  size_t eit_index = 0;
  uint32_t payload_seed = 1;
  Bytes av(184);
  for (size_t i = 0; b.packets() < o.packets; ++i) {
    // Tables: PAT/PMT every 400 packets, NIT/SDT/TOT every 2000, one EIT section every 120.
    if (i % 400 == 0) {
      b.Section(0x0000, pat);
      for (int k = 0; k < n; ++k) b.Section(static_cast<uint16_t>(0x1F0 + k), pmts[static_cast<size_t>(k)]);
    }
    if (i % 2000 == 0) {
      b.Section(0x0010, nit);
      b.Section(0x0011, sdt_section);
      b.Section(0x0014, tot);
    }
    if (i % 120 == 0) {
      b.Section(0x0012, eits[eit_index]);
      eit_index = (eit_index + 1) % eits.size();
    }
    if (i % 50 == 0) b.Null();
    // Audio and video: video 10 times as often as audio.
    const int service = static_cast<int>(i % static_cast<size_t>(n));
    const bool audio = i % 11 == 0;
    const uint16_t pid = static_cast<uint16_t>(0x100 + 0x10 * service + (audio ? 1 : 0));
    for (auto& byte : av) {
      payload_seed = payload_seed * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(payload_seed >> 16);
    }
    b.Packet(pid, av, i % 30 == 0, o.scrambled ? 2 : 0);
  }
  Bytes out = b.bytes();
  out.resize(o.packets * 188);
  return out;
}

}  // namespace pelkan::test
