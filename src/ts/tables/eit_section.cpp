#include "ts/tables/eit_section.h"

#include <algorithm>

#include "ts/bcd.h"
#include "ts/section_reader.h"

namespace pelkan {
namespace {

// table_id to last_table_id.
constexpr size_t kHeaderLength = 14;
constexpr size_t kCrcLength = 4;
// section_length counts from after itself: the header's last 11 bytes and the CRC_32 at least.
constexpr size_t kMinSectionLength = kHeaderLength - 3 + kCrcLength;

SectionBytes ReadSpan(SectionReader& r, size_t n) {
  const uint8_t* p = r.Bytes(n);
  return p ? SectionBytes(p, n) : SectionBytes();
}

// What is left of the reader, consumed.
SectionBytes Rest(SectionReader& r) {
  return ReadSpan(r, r.Remaining());
}

// One length-prefixed text; empty when it runs past the reader.
SectionBytes ReadText(SectionReader& r) {
  return ReadSpan(r, r.U8());
}

void ReadShortEvent(SectionReader body, EitSection::Event* e) {
  ShortEventDescriptor d;
  d.iso_639_language_code = body.U24();
  d.event_name = ReadText(body);
  if (body.ok()) d.text = ReadText(body);
  e->short_event = d;
}

void ReadExtendedEvent(SectionReader body, EitSection::Event* e) {
  ExtendedEventDescriptor d;
  const uint8_t numbers = body.U8();
  d.descriptor_number = static_cast<uint8_t>(numbers >> 4);
  d.last_descriptor_number = static_cast<uint8_t>(numbers & 0x0F);
  d.iso_639_language_code = body.U24();
  SectionReader items = body.Sub(body.U8());
  while (items.ok() && !items.AtEnd()) {
    ExtendedEventDescriptor::Item item;
    item.description = ReadText(items);
    item.item = ReadText(items);
    if (!items.ok()) break;
    d.items.push_back(item);
  }
  d.text = ReadText(body);
  if (body.ok() || !d.items.empty()) e->extended_events.push_back(std::move(d));
}

void ReadContent(SectionReader body, EitSection::Event* e) {
  while (body.Remaining() >= 2) {
    ContentNibbles n;
    n.content = body.U8();
    n.user = body.U8();
    e->contents.push_back(n);
  }
}

void ReadComponent(SectionReader body, EitSection::Event* e) {
  if (body.Remaining() < 2) return;
  ComponentDescriptor d;
  d.stream_content = body.U8() & 0x0F;
  d.component_type = body.U8();
  d.component_tag = body.U8();
  d.iso_639_language_code = body.U24();
  d.text = Rest(body);
  e->components.push_back(d);
}

void ReadAudioComponent(SectionReader body, EitSection::Event* e) {
  if (body.Remaining() < 2) return;
  AudioComponentDescriptor d;
  d.stream_content = body.U8() & 0x0F;
  d.component_type = body.U8();
  d.component_tag = body.U8();
  d.stream_type = body.U8();
  d.simulcast_group_tag = body.U8();
  const uint8_t flags = body.U8();
  d.es_multi_lingual_flag = (flags & 0x80) != 0;
  d.main_component_flag = (flags & 0x40) != 0;
  d.quality_indicator = static_cast<uint8_t>(flags >> 4 & 0x03);
  d.sampling_rate = static_cast<uint8_t>(flags >> 1 & 0x07);
  d.iso_639_language_code = body.U24();
  if (d.es_multi_lingual_flag) d.iso_639_language_code_2 = body.U24();
  d.text = Rest(body);
  e->audio_components.push_back(d);
}

void ReadSeries(SectionReader body, EitSection::Event* e) {
  SeriesDescriptor d;
  d.series_id = body.U16();
  const uint8_t flags = body.U8();
  d.repeat_label = static_cast<uint8_t>(flags >> 4);
  d.program_pattern = static_cast<uint8_t>(flags >> 1 & 0x07);
  const uint16_t expire_date = body.U16();
  if (flags & 0x01) d.expire_date = expire_date;
  const uint32_t episodes = body.U24();
  if (!body.ok()) return;
  d.episode_number = static_cast<uint16_t>(episodes >> 12);
  d.last_episode_number = static_cast<uint16_t>(episodes & 0x0FFF);
  d.series_name = Rest(body);
  e->series = d;
}

void ReadEventGroup(SectionReader body, EitSection::Event* e) {
  if (body.AtEnd()) return;
  EventGroupDescriptor d;
  const uint8_t type_count = body.U8();
  d.group_type = static_cast<uint8_t>(type_count >> 4);
  for (int i = type_count & 0x0F; i > 0 && body.Remaining() >= 4; --i) {
    EventGroupDescriptor::Member m;
    m.service_id = body.U16();
    m.event_id = body.U16();
    d.events.push_back(m);
  }
  if (d.group_type == EventGroupDescriptor::kRelayToOtherNetworks ||
      d.group_type == EventGroupDescriptor::kMovementFromOtherNetworks) {
    while (body.Remaining() >= 8) {
      EventKey m;
      m.original_network_id = body.U16();
      m.transport_stream_id = body.U16();
      m.service_id = body.U16();
      m.event_id = body.U16();
      d.other_network_events.push_back(m);
    }
  }
  e->event_groups.push_back(std::move(d));
}

void ReadDescriptors(SectionReader descriptors, EitSection::Event* e) {
  while (descriptors.Remaining() >= 2) {
    const uint8_t tag = descriptors.U8();
    const SectionReader body = descriptors.Sub(descriptors.U8());
    if (!descriptors.ok()) break;
    switch (tag) {
      case eit_descriptor::kShortEvent:
        ReadShortEvent(body, e);
        break;
      case eit_descriptor::kExtendedEvent:
        ReadExtendedEvent(body, e);
        break;
      case eit_descriptor::kContent:
        ReadContent(body, e);
        break;
      case eit_descriptor::kComponent:
        ReadComponent(body, e);
        break;
      case eit_descriptor::kAudioComponent:
        ReadAudioComponent(body, e);
        break;
      case eit_descriptor::kSeries:
        ReadSeries(body, e);
        break;
      case eit_descriptor::kEventGroup:
        ReadEventGroup(body, e);
        break;
      default:
        break;
    }
  }
}

// Reads the event at the loop's position; false, with the loop failed, when it is cut off.
bool ReadEvent(SectionReader& loop, EitSection::Event* e) {
  e->event_id = loop.U16();
  e->start_mjd = loop.U16();
  for (uint8_t& b : e->start_time) b = loop.U8();
  for (uint8_t& b : e->duration) b = loop.U8();
  const uint16_t status_length = loop.U16();
  const SectionReader descriptors = loop.Sub(status_length & 0x0FFF);
  if (!loop.ok()) return false;
  e->running_status = static_cast<uint8_t>(status_length >> 13);
  e->free_ca_mode = (status_length & 0x1000) != 0;
  ReadDescriptors(descriptors, e);
  return true;
}

std::string Chars(SectionBytes bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

bool EitSection::Event::StartUndefined() const {
  return start_mjd == 0xFFFF && start_time == std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF};
}

uint32_t EitSection::Event::StartSecond() const {
  return BcdTimeToSeconds(start_time[0], start_time[1], start_time[2]);
}

uint32_t EitSection::Event::DurationSeconds() const {
  if (duration == std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF}) return kUndefinedDuration;
  return BcdTimeToSeconds(duration[0], duration[1], duration[2]);
}

ExtendedEventText EitSection::Event::JoinedExtendedEvents() const {
  std::vector<const ExtendedEventDescriptor*> parts;
  for (const ExtendedEventDescriptor& d : extended_events) parts.push_back(&d);
  std::stable_sort(parts.begin(), parts.end(), [](const auto* a, const auto* b) {
    return a->descriptor_number < b->descriptor_number;
  });
  ExtendedEventText joined;
  for (const ExtendedEventDescriptor* d : parts) {
    for (const ExtendedEventDescriptor::Item& item : d->items) {
      if (item.description.empty() && !joined.items.empty()) {
        joined.items.back().second += Chars(item.item);
      } else {
        joined.items.emplace_back(Chars(item.description), Chars(item.item));
      }
    }
    joined.text += Chars(d->text);
  }
  return joined;
}

std::optional<EitSection::Header> EitSection::ReadHeader(const uint8_t* section, size_t length) {
  if (section == nullptr || length < kHeaderLength + kCrcLength) return std::nullopt;
  SectionReader r(section, length);
  Header h;
  h.table_id = r.U8();
  const uint16_t flags_length = r.U16();
  h.section_syntax_indicator = (flags_length & 0x8000) != 0;
  h.section_length = flags_length & 0x0FFF;
  h.service_id = r.U16();
  const uint8_t version = r.U8();
  h.version_number = static_cast<uint8_t>(version >> 1 & 0x1F);
  h.current_next_indicator = (version & 0x01) != 0;
  h.section_number = r.U8();
  h.last_section_number = r.U8();
  h.transport_stream_id = r.U16();
  h.original_network_id = r.U16();
  h.segment_last_section_number = r.U8();
  h.last_table_id = r.U8();
  return h;
}

std::optional<EitSection> EitSection::Read(const uint8_t* section, size_t length) {
  const std::optional<Header> header = ReadHeader(section, length);
  if (!header || header->table_id < 0x4E || header->table_id > 0x6F) return std::nullopt;
  if (!header->section_syntax_indicator || header->section_length < kMinSectionLength) return std::nullopt;
  if (header->section_length + size_t{3} > length) return std::nullopt;
  EitSection s;
  s.header = *header;
  SectionReader r(section, header->section_length + size_t{3} - kCrcLength);
  r.Skip(kHeaderLength);
  while (!r.AtEnd()) {
    Event e;
    if (!ReadEvent(r, &e)) break;
    s.events.push_back(std::move(e));
  }
  return s;
}

}  // namespace pelkan
