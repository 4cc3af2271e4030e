#include "streamgen/programme_descriptors.h"

#include <algorithm>
#include <string>
#include <utility>

#include "streamgen/arib_encoder.h"
#include "streamgen/section_builder.h"

namespace pelkan::streamgen {
namespace {

// Programmes kept behind the latest one asked for: ten days of the service's slots, more than the
// eight days of the schedule and the day a changed programme may move.
uint64_t KeptBehind(const ProgrammeSchedule& schedule) { return 10 * 86400 / schedule.SlotSeconds(); }

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

size_t ProgrammeDescriptors::Build(const ProgrammeInfo& p, std::vector<uint8_t>& out) {
  SectionBuilder b;
  b.Reserve(1024);
  PutBasicEvent(b, p);
  const size_t basic_length = b.Length();
  if (!p.items.empty()) PutExtendedEvent(b, p.items);
  out = b.TakeBytes();
  return basic_length;
}

ProgrammeDescriptors::Loops ProgrammeDescriptors::Of(const ProgrammeSchedule& schedule, uint64_t k) {
  auto [it, added] = kept_.try_emplace(k);
  Kept& kept = it->second;
  if (added) {
    kept.basic_length = Build(schedule.Texts(k), kept.bytes);
    const uint64_t behind = KeptBehind(schedule);
    if (k > behind && kept_.begin()->first < k - behind) kept_.erase(kept_.begin(), kept_.lower_bound(k - behind));
  }
  const std::span<const uint8_t> both(kept.bytes);
  return {both.first(kept.basic_length), both.subspan(kept.basic_length), both};
}

}  // namespace pelkan::streamgen
