#include "streamgen/si_tables.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "streamgen/arib_encoder.h"
#include "streamgen/programme_descriptors.h"
#include "streamgen/section_builder.h"

namespace pelkan::streamgen {
namespace {

constexpr uint16_t kCaSystemId = 0x0005;  // the system used by Japanese broadcasters
constexpr AbsTime kSegmentSeconds = 10800;
// Longest EIT schedule section the generator makes (section_length + 3 may reach 4096).
constexpr size_t kMaxScheduleSection = 4096;

void PutStreamIdentifier(SectionBuilder& b, uint8_t component_tag) {
  const size_t d = b.OpenDescriptor(0x52);
  b.U8(component_tag);
  b.CloseDescriptor(d);
}

void PutBcd(SectionBuilder& b, uint32_t value, int digits) {
  uint32_t bcd = 0;
  for (int i = 0; i < digits; ++i) {
    bcd |= (value % 10) << (4 * i);
    value /= 10;
  }
  for (int shift = (digits - 2) * 4; shift >= 0; shift -= 8) b.U8(bcd >> shift);
}

// One event entry as a section carries it: its timing and its descriptors, built before.
struct EntryBytes {
  ProgrammeSchedule::Timing timing;
  uint8_t running_status = 0;
  bool free_ca = false;
  std::span<const uint8_t> descriptors;
};

// event_id, start_time, duration and the descriptors' loop length.
constexpr size_t kEntryHeader = 12;
// An EIT section without events: its header and CRC_32.
constexpr size_t kEmptyEit = 14 + 4;

std::vector<uint8_t> BuildEitSection(const EitSectionHeader& h, std::span<const EntryBytes> events) {
  SectionBuilder b(h.table_id, 1, h.service_id, h.version, h.section_number, h.last_section_number);
  size_t size = kEmptyEit;
  for (const EntryBytes& e : events) size += kEntryHeader + e.descriptors.size();
  b.Reserve(size);
  b.U16(h.transport_stream_id);
  b.U16(h.original_network_id);
  b.U8(h.segment_last_section_number);
  b.U8(h.last_table_id);
  for (const EntryBytes& e : events) {
    b.U16(e.timing.event_id);
    PutMjdBcdTime(b, e.timing.start.date, e.timing.start.seconds);
    PutBcdDuration(b, e.timing.duration);
    const size_t loop = b.OpenLength12(static_cast<uint8_t>(e.running_status << 1 | (e.free_ca ? 1 : 0)));
    b.Bytes(e.descriptors.data(), e.descriptors.size());
    b.CloseLength12(loop);
  }
  return b.Finish();
}

// The programmes of `schedule` whose start (as announced at `now`) lies in the segment beginning at
// `segment_start`, as schedule entries, cut into the events of each section.
std::vector<std::vector<EntryBytes>> SegmentSections(const ProgrammeSchedule& schedule,
                                                     ProgrammeDescriptors& descriptors, bool scrambled,
                                                     bool extended, AbsTime segment_start, AbsTime now) {
  std::vector<std::vector<EntryBytes>> sections(1);
  size_t used = 0;
  const auto [first, last] = schedule.IndicesStartingIn(segment_start, segment_start + kSegmentSeconds);
  for (uint64_t k = first; k < last; ++k) {
    const ProgrammeSchedule::Timing timing = schedule.AnnouncedTiming(k, now, false);
    const AbsTime start = ToAbs(timing.start);
    if (start < segment_start || start >= segment_start + kSegmentSeconds) continue;
    const ProgrammeDescriptors::Loops loops = descriptors.Of(schedule, k);
    const EntryBytes e{timing, 0, scrambled, extended ? loops.extended : loops.basic};
    const size_t size = kEntryHeader + e.descriptors.size();
    if (used > 0 && kEmptyEit + used + size > kMaxScheduleSection) {
      if (sections.size() == 8) break;  // a segment has at most 8 sections
      sections.emplace_back();
      used = 0;
    }
    sections.back().push_back(e);
    used += size;
  }
  return sections;
}

}  // namespace

std::vector<uint8_t> BuildPat(const MultiplexInfo& mux) {
  SectionBuilder b(0x00, 0, mux.transport_stream_id, 0, 0, 0);
  b.U16(0x0000);
  b.U16(0xE000 | 0x0010);  // network PID
  for (const ServiceInfo& s : mux.services) {
    b.U16(s.service_id);
    b.U16(0xE000 | s.pmt_pid);
  }
  return b.Finish();
}

std::vector<uint8_t> BuildCat(uint16_t emm_pid) {
  SectionBuilder b(0x01, 0, 0xFFFF, 0, 0, 0);
  const size_t d = b.OpenDescriptor(0x09);
  b.U16(kCaSystemId);
  b.U16(0xE000 | emm_pid);
  b.CloseDescriptor(d);
  return b.Finish();
}

std::vector<uint8_t> BuildPmt(const ServiceInfo& service) {
  SectionBuilder b(0x02, 0, service.service_id, 0, 0, 0);
  b.U16(0xE000 | service.pcr_pid);
  const size_t info = b.OpenLength12();
  if (service.scrambled) {
    const size_t d = b.OpenDescriptor(0x09);  // CA_descriptor
    b.U16(kCaSystemId);
    b.U16(0xE000 | service.ecm_pid);
    b.CloseDescriptor(d);
  }
  b.CloseLength12(info);
  for (const ComponentInfo& c : service.components) {
    b.U8(c.stream_type);
    b.U16(0xE000 | c.pid);
    const size_t es = b.OpenLength12();
    PutStreamIdentifier(b, c.component_tag);
    if (c.stream_type == 0x06 || c.stream_type == 0x0D) {
      const size_t d = b.OpenDescriptor(0xFD);  // data_component_descriptor
      b.U16(c.stream_type == 0x06 ? 0x0008 : 0x000C);  // captions / BML data broadcasting
      b.CloseDescriptor(d);
    }
    b.CloseLength12(es);
  }
  return b.Finish();
}

std::vector<uint8_t> BuildNit(const MultiplexInfo& mux) {
  SectionBuilder b(0x40, 1, mux.network_id, 0, 0, 0);
  const size_t net = b.OpenLength12();
  {
    const size_t d = b.OpenDescriptor(0x40);  // network_name_descriptor
    b.Bytes(EncodeAribString(mux.network_name));
    b.CloseDescriptor(d);
  }
  {
    const size_t d = b.OpenDescriptor(0xFE);  // system_management_descriptor
    b.U8(mux.satellite ? 0x02 : 0x03);         // broadcasting: ISDB-S / ISDB-T
    b.U8(0x01);
    b.CloseDescriptor(d);
  }
  b.CloseLength12(net);
  const size_t loop = b.OpenLength12();
  b.U16(mux.transport_stream_id);
  b.U16(mux.original_network_id);
  const size_t ts = b.OpenLength12();
  {
    const size_t d = b.OpenDescriptor(0x41);  // service_list_descriptor
    for (const ServiceInfo& s : mux.services) {
      b.U16(s.service_id);
      b.U8(s.service_type);
    }
    b.CloseDescriptor(d);
  }
  if (mux.satellite) {
    const SatelliteInfo& s = mux.delivery;
    const size_t d = b.OpenDescriptor(0x43);  // satellite_delivery_system_descriptor
    PutBcd(b, s.frequency, 8);
    PutBcd(b, s.orbital_position, 4);
    b.U8((s.east ? 0x80 : 0) | (s.polarisation & 3) << 5 | (s.modulation & 0x1F));
    // symbol_rate: 7 BCD digits, then FEC_inner in the last nibble.
    uint32_t bcd = 0;
    uint32_t v = s.symbol_rate;
    for (int i = 0; i < 7; ++i) {
      bcd |= (v % 10) << (4 * i);
      v /= 10;
    }
    b.U32(bcd << 4 | (s.fec_inner & 0xF));
    b.CloseDescriptor(d);
  } else {
    const size_t d = b.OpenDescriptor(0xFA);  // terrestrial_delivery_system_descriptor
    b.U16(0x0150 << 4 | 0x2 << 2 | 0x3);       // area code, guard interval 1/8, mode 3
    b.U16(0x0C8A);                             // 27th channel: 557.142857 MHz in 1/7 MHz units
    b.CloseDescriptor(d);
    const size_t t = b.OpenDescriptor(0xCD);   // ts_information_descriptor
    const std::string name = EncodeAribString(mux.network_name);
    b.U8(mux.services.empty() ? 1 : mux.services[0].service_id % 12 + 1);  // remote_control_key_id
    b.U8(static_cast<uint32_t>(name.size() & 0x3F) << 2);  // ts name length, no transmission types
    b.Bytes(name.data(), name.size() & 0x3F);
    b.CloseDescriptor(t);
  }
  b.CloseLength12(ts);
  b.CloseLength12(loop);
  return b.Finish();
}

std::vector<uint8_t> BuildSdt(const MultiplexInfo& mux) {
  SectionBuilder b(0x42, 1, mux.transport_stream_id, 0, 0, 0);
  b.U16(mux.original_network_id);
  b.U8(0xFF);
  for (const ServiceInfo& s : mux.services) {
    b.U16(s.service_id);
    b.U8(0xE3);  // EIT schedule and present/following flags
    const size_t loop = b.OpenLength12(0x8 | (s.scrambled ? 1 : 0));  // running, free_CA_mode
    const size_t d = b.OpenDescriptor(0x48);
    const std::string provider = EncodeAribString(s.provider);
    const std::string name = EncodeAribString(s.name);
    b.U8(s.service_type);
    b.U8(static_cast<uint32_t>(provider.size()));
    b.Bytes(provider);
    b.U8(static_cast<uint32_t>(name.size()));
    b.Bytes(name);
    b.CloseDescriptor(d);
    b.CloseLength12(loop);
  }
  return b.Finish();
}

std::vector<uint8_t> BuildTot(MjdTime jst) {
  SectionBuilder b(0x73);
  PutMjdBcdTime(b, jst.date, jst.seconds);
  const size_t loop = b.OpenLength12();
  const size_t d = b.OpenDescriptor(0x58);  // local_time_offset_descriptor
  b.Bytes("JPN", 3);
  b.U8(0x02);        // country_region_id 0, reserved, polarity +
  b.U16(0x0000);     // local_time_offset: the time is already JST
  b.U16(0x0000);     // time_of_change: none planned
  b.U24(0x000000);
  b.U16(0x0000);     // next_time_offset
  b.CloseDescriptor(d);
  b.CloseLength12(loop);
  return b.Finish(true);
}

std::vector<uint8_t> BuildTdt(MjdTime jst) {
  SectionBuilder b(0x70);
  PutMjdBcdTime(b, jst.date, jst.seconds);
  return b.Finish(false);
}

std::vector<uint8_t> BuildEit(const EitSectionHeader& h, const std::vector<EitEntry>& events) {
  std::vector<std::vector<uint8_t>> bytes(events.size());
  std::vector<EntryBytes> entries;
  for (size_t i = 0; i < events.size(); ++i) {
    const EitEntry& e = events[i];
    const ProgrammeInfo& p = e.programme;
    const size_t basic = ProgrammeDescriptors::Build(p, bytes[i]);
    const std::span<const uint8_t> all(bytes[i]);
    const std::span<const uint8_t> chosen = e.basic ? (e.extended ? all : all.first(basic))
                                                    : (e.extended ? all.subspan(basic) : all.first(0));
    entries.push_back({{p.event_id, p.start, p.duration}, e.running_status, e.free_ca, chosen});
  }
  return BuildEitSection(h, entries);
}

std::vector<uint8_t> BuildEcm(uint16_t service_id, uint64_t seed) {
  SectionBuilder b(0x82, 1, service_id, 0, 0, 0);
  uint64_t x = seed ^ 0xECECECECull ^ service_id;
  for (int i = 0; i < 84; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b.U8(static_cast<uint32_t>(x >> 32));
  }
  return b.Finish();
}

std::vector<uint8_t> BuildDownloadInfo(uint16_t module_id, uint32_t module_size) {
  SectionBuilder b(0x3B, 0, 0x0000, 0, 0, 0);
  const uint16_t message_length = 30;
  b.U8(0x11);         // protocolDiscriminator
  b.U8(0x03);         // dsmccType: download
  b.U16(0x1002);      // messageId: DownloadInfoIndication
  b.U32(0x00000000);  // transactionId
  b.U8(0xFF);
  b.U8(0x00);         // adaptationLength
  b.U16(message_length);
  b.U32(0x00000001);  // downloadId
  b.U16(4066);        // blockSize
  b.U8(0);            // windowSize
  b.U8(0);            // ackPeriod
  b.U32(0);           // tCDownloadWindow
  b.U32(0);           // tCDownloadScenario
  b.U16(0);           // compatibilityDescriptor: empty
  b.U16(1);           // numberOfModules
  b.U16(module_id);
  b.U32(module_size);
  b.U8(0);            // moduleVersion
  b.U8(0);            // moduleInfoLength
  b.U16(0);           // privateDataLength
  return b.Finish();
}

std::vector<uint8_t> BuildDownloadData(uint16_t module_id, const std::vector<uint8_t>& module) {
  SectionBuilder b(0x3C, 0, module_id, 0, 0, 0);
  b.U8(0x11);
  b.U8(0x03);
  b.U16(0x1003);      // messageId: DownloadDataBlock
  b.U32(0x00000001);  // downloadId
  b.U8(0xFF);
  b.U8(0x00);
  b.U16(static_cast<uint32_t>(6 + module.size()));
  b.U16(module_id);
  b.U8(0);            // moduleVersion
  b.U8(0xFF);
  b.U16(0);           // blockNumber
  b.Bytes(module.data(), module.size());
  return b.Finish();
}

std::vector<std::vector<uint8_t>> BuildPresentFollowing(const MultiplexInfo& mux, size_t service,
                                                        const ProgrammeSchedule& schedule, AbsTime now,
                                                        ProgrammeDescriptors* descriptors) {
  ProgrammeDescriptors own;
  ProgrammeDescriptors& d = descriptors != nullptr ? *descriptors : own;
  const bool ca = mux.services[service].scrambled;
  const uint64_t k = schedule.IndexAt(now);
  const ProgrammeSchedule::Timing present = schedule.AnnouncedTiming(k, now, true);
  const ProgrammeSchedule::Timing following = schedule.AnnouncedTiming(k + 1, now, true);
  const EntryBytes entries[2] = {{present, 4, ca, d.Of(schedule, k).both},
                                 {following, 1, ca, d.Of(schedule, k + 1).both}};
  EitSectionHeader h;
  h.table_id = 0x4E;
  h.service_id = mux.services[service].service_id;
  h.version = schedule.PresentFollowingVersion(now);
  h.last_section_number = 1;
  h.transport_stream_id = mux.transport_stream_id;
  h.original_network_id = mux.original_network_id;
  h.segment_last_section_number = 1;
  h.last_table_id = 0x4E;
  std::vector<std::vector<uint8_t>> sections;
  for (uint8_t n = 0; n < 2; ++n) {
    h.section_number = n;
    sections.push_back(BuildEitSection(h, std::span(entries).subspan(n, 1)));
  }
  return sections;
}

std::vector<std::vector<uint8_t>> BuildScheduleSegment(const MultiplexInfo& mux, size_t service,
                                                       const ProgrammeSchedule& schedule, bool extended,
                                                       AbsTime segment_start, AbsTime now,
                                                       size_t* table_last_count, ProgrammeDescriptors* descriptors) {
  ProgrammeDescriptors own;
  ProgrammeDescriptors& d = descriptors != nullptr ? *descriptors : own;
  // Tables 0x50 (0x58 extended) hold days 0-3 from today's midnight, 0x51 (0x59) days 4-7; each has
  // 32 segments of 3 hours with up to 8 sections each, numbered segment * 8 + n.
  const AbsTime day0 = now / 86400 * 86400;
  if (segment_start < day0 || segment_start >= day0 + 8 * 86400) return {};
  const bool ca = mux.services[service].scrambled;
  const uint64_t segment = (segment_start - day0) / kSegmentSeconds;
  const uint8_t table_index = static_cast<uint8_t>(segment / 32);
  const uint8_t base = extended ? 0x58 : 0x50;
  const std::vector<std::vector<EntryBytes>> events = SegmentSections(schedule, d, ca, extended, segment_start, now);
  const AbsTime last_segment_start = day0 + (uint64_t{table_index} * 32 + 31) * kSegmentSeconds;
  size_t last_count = table_last_count != nullptr ? *table_last_count : 0;
  if (last_count == 0) {
    last_count = last_segment_start == segment_start
                     ? events.size()
                     : SegmentSections(schedule, d, ca, extended, last_segment_start, now).size();
    if (table_last_count != nullptr) *table_last_count = last_count;
  }
  EitSectionHeader h;
  h.table_id = static_cast<uint8_t>(base + table_index);
  h.service_id = mux.services[service].service_id;
  // The near tables change with every 3-hour window and every overrun announced; the far ones only
  // when the day turns, unless the service has changes: an extension moves every later programme.
  h.version = table_index == 0 || schedule.HasChanges() ? schedule.ScheduleVersion(now)
                                                        : static_cast<uint8_t>(now / 86400 % 32);
  h.last_section_number = static_cast<uint8_t>(31 * 8 + last_count - 1);
  h.transport_stream_id = mux.transport_stream_id;
  h.original_network_id = mux.original_network_id;
  h.segment_last_section_number = static_cast<uint8_t>(segment % 32 * 8 + events.size() - 1);
  h.last_table_id = static_cast<uint8_t>(base + 1);
  std::vector<std::vector<uint8_t>> sections;
  for (size_t n = 0; n < events.size(); ++n) {
    h.section_number = static_cast<uint8_t>(segment % 32 * 8 + n);
    sections.push_back(BuildEitSection(h, events[n]));
  }
  return sections;
}

}  // namespace pelkan::streamgen
