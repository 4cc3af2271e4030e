#include "streamgen/si_tables.h"

#include <algorithm>
#include <string>
#include <utility>

#include "streamgen/arib_encoder.h"
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

// The programmes of `schedule` whose start (as announced at `now`) lies in the segment beginning at
// `segment_start`, as schedule entries, cut into the events of each section.
std::vector<std::vector<EitEntry>> SegmentSections(const ProgrammeSchedule& schedule, bool scrambled,
                                                   bool extended, AbsTime segment_start, AbsTime now) {
  std::vector<std::vector<EitEntry>> sections(1);
  size_t used = 0;
  EitSectionHeader probe;
  probe.table_id = extended ? 0x58 : 0x50;
  const size_t empty_size = BuildEit(probe, {}).size();
  const auto [first, last] = schedule.IndicesStartingIn(segment_start, segment_start + kSegmentSeconds);
  for (uint64_t k = first; k < last; ++k) {
    EitEntry e{schedule.Announced(k, now, false), 0, scrambled, !extended, extended};
    const AbsTime start = ToAbs(e.programme.start);
    if (start < segment_start || start >= segment_start + kSegmentSeconds) continue;
    const size_t size = BuildEit(probe, {e}).size() - empty_size;
    if (used > 0 && empty_size + used + size > kMaxScheduleSection) {
      if (sections.size() == 8) break;  // a segment has at most 8 sections
      sections.emplace_back();
      used = 0;
    }
    sections.back().push_back(std::move(e));
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

namespace {

// The extended_event descriptors of `items`. Each heading and text is encoded on its own; the items
// are packed into descriptors of at most 255 bytes, and a text that does not fit goes on in the
// next descriptor under an empty heading, cut where the room ends (also inside a character).
void PutExtendedEvent(SectionBuilder& b, const std::vector<ExtendedItem>& items) {
  struct Piece {
    std::string heading;
    std::string text;
  };
  constexpr size_t kItemsRoom = 255 - 6;  // number, language, length_of_items and text_length
  constexpr size_t kMaxDescriptors = 16;  // descriptor_number has 4 bits
  std::vector<std::vector<Piece>> descriptors(1);
  size_t used = 0;
  for (const ExtendedItem& item : items) {
    const std::string heading = EncodeAribString(item.description);
    std::string text = EncodeAribString(item.text);
    for (bool first = true; first || !text.empty(); first = false) {
      const size_t head = first ? heading.size() : 0;
      if (used + 2 + head + (text.empty() ? 0 : 1) > kItemsRoom) {
        descriptors.emplace_back();
        used = 0;
      }
      const size_t n = std::min(text.size(), kItemsRoom - used - 2 - head);
      descriptors.back().push_back({first ? heading : std::string(), text.substr(0, n)});
      used += 2 + head + n;
      text.erase(0, n);
    }
  }
  if (descriptors.size() > kMaxDescriptors) descriptors.resize(kMaxDescriptors);
  const size_t last = descriptors.size() - 1;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const size_t d = b.OpenDescriptor(0x4E);  // extended_event_descriptor
    b.U8(static_cast<uint32_t>(i << 4 | last));
    b.Bytes("jpn", 3);
    size_t length = 0;
    for (const Piece& p : descriptors[i]) length += 2 + p.heading.size() + p.text.size();
    b.U8(static_cast<uint32_t>(length));
    for (const Piece& p : descriptors[i]) {
      b.U8(static_cast<uint32_t>(p.heading.size()));
      b.Bytes(p.heading);
      b.U8(static_cast<uint32_t>(p.text.size()));
      b.Bytes(p.text);
    }
    b.U8(0);  // text_length: everything is in the items
    b.CloseDescriptor(d);
  }
}

void PutBasicEvent(SectionBuilder& b, const ProgrammeInfo& p) {
  {
    const std::string title = EncodeAribString(p.title);
    const std::string text = EncodeAribString(p.description);
    const size_t d = b.OpenDescriptor(0x4D);  // short_event_descriptor
    b.Bytes("jpn", 3);
    b.U8(static_cast<uint32_t>(title.size()));
    b.Bytes(title);
    b.U8(static_cast<uint32_t>(text.size()));
    b.Bytes(text);
    b.CloseDescriptor(d);
  }
  {
    const size_t d = b.OpenDescriptor(0x50);  // component_descriptor
    b.U8(0xF1);                               // stream_content: video
    b.U8(p.video_component_type);
    b.U8(0x00);  // component_tag
    b.Bytes("jpn", 3);
    b.CloseDescriptor(d);
  }
  {
    const size_t d = b.OpenDescriptor(0xC4);  // audio_component_descriptor
    b.U8(0xF2);                               // stream_content: audio
    b.U8(p.audio_component_type);
    b.U8(0x10);                       // component_tag
    b.U8(0x0F);                       // stream_type: AAC
    b.U8(0xFF);                       // simulcast_group_tag: none
    b.U8(0x40 | 0x10 | 0x0E | 0x01);  // main component, quality 1, 48 kHz, reserved
    b.Bytes("jpn", 3);
    b.CloseDescriptor(d);
  }
  {
    const size_t d = b.OpenDescriptor(0x54);  // content_descriptor
    b.U8(p.genre);
    b.U8(0xFF);
    b.CloseDescriptor(d);
  }
  if (p.series) {
    const SeriesInfo& s = *p.series;
    const size_t d = b.OpenDescriptor(0xD5);  // series_descriptor
    b.U16(s.series_id);
    b.U8(static_cast<uint32_t>(s.repeat_label << 4 | (s.program_pattern & 0x07) << 1));  // no expire_date
    b.U16(0xFFFF);
    b.U24(static_cast<uint32_t>((s.episode_number & 0x0FFF) << 12 | (s.last_episode_number & 0x0FFF)));
    b.Bytes(EncodeAribString(s.series_name));
    b.CloseDescriptor(d);
  }
}

}  // namespace

std::vector<uint8_t> BuildEit(const EitSectionHeader& h, const std::vector<EitEntry>& events) {
  SectionBuilder b(h.table_id, 1, h.service_id, h.version, h.section_number, h.last_section_number);
  b.U16(h.transport_stream_id);
  b.U16(h.original_network_id);
  b.U8(h.segment_last_section_number);
  b.U8(h.last_table_id);
  for (const EitEntry& e : events) {
    const ProgrammeInfo& p = e.programme;
    b.U16(p.event_id);
    PutMjdBcdTime(b, p.start.date, p.start.seconds);
    PutBcdDuration(b, p.duration);
    const size_t loop = b.OpenLength12(static_cast<uint8_t>(e.running_status << 1 | (e.free_ca ? 1 : 0)));
    if (e.basic) PutBasicEvent(b, p);
    if (e.extended && !p.items.empty()) PutExtendedEvent(b, p.items);
    b.CloseLength12(loop);
  }
  return b.Finish();
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
                                                        const ProgrammeSchedule& schedule, AbsTime now) {
  const bool ca = mux.services[service].scrambled;
  const uint64_t k = schedule.IndexAt(now);
  const EitEntry entries[2] = {{schedule.Announced(k, now, true), 4, ca, true, true},
                               {schedule.Announced(k + 1, now, true), 1, ca, true, true}};
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
    sections.push_back(BuildEit(h, {entries[n]}));
  }
  return sections;
}

std::vector<std::vector<uint8_t>> BuildScheduleSegment(const MultiplexInfo& mux, size_t service,
                                                       const ProgrammeSchedule& schedule, bool extended,
                                                       AbsTime segment_start, AbsTime now,
                                                       size_t* table_last_count) {
  // Tables 0x50 (0x58 extended) hold days 0-3 from today's midnight, 0x51 (0x59) days 4-7; each has
  // 32 segments of 3 hours with up to 8 sections each, numbered segment * 8 + n.
  const AbsTime day0 = now / 86400 * 86400;
  if (segment_start < day0 || segment_start >= day0 + 8 * 86400) return {};
  const bool ca = mux.services[service].scrambled;
  const uint64_t segment = (segment_start - day0) / kSegmentSeconds;
  const uint8_t table_index = static_cast<uint8_t>(segment / 32);
  const uint8_t base = extended ? 0x58 : 0x50;
  const std::vector<std::vector<EitEntry>> events = SegmentSections(schedule, ca, extended, segment_start, now);
  const AbsTime last_segment_start = day0 + (uint64_t{table_index} * 32 + 31) * kSegmentSeconds;
  size_t last_count = table_last_count != nullptr ? *table_last_count : 0;
  if (last_count == 0) {
    last_count = last_segment_start == segment_start
                     ? events.size()
                     : SegmentSections(schedule, ca, extended, last_segment_start, now).size();
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
    sections.push_back(BuildEit(h, events[n]));
  }
  return sections;
}

}  // namespace pelkan::streamgen
