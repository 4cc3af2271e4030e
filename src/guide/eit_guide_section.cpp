#include "guide/eit_guide_section.h"

#include <algorithm>
#include <string>

#include "ts/arib_string.h"
#include "ts/bcd.h"
#include "ts/section_reader.h"

namespace pelkan {
namespace {

constexpr uint8_t kShortEventDescriptor = 0x4D;
constexpr uint8_t kExtendedEventDescriptor = 0x4E;
constexpr uint8_t kComponentDescriptor = 0x50;
constexpr uint8_t kContentDescriptor = 0x54;
constexpr uint8_t kAudioComponentDescriptor = 0xC4;

// Broadcast text bytes as Shift-JIS: every input byte gives at most two output bytes.
std::string Decode(const uint8_t* text, size_t length) {
  if (length == 0) return {};
  std::string out(length * 2 + 4, '\0');
  DecodeAribString(text, static_cast<uint32_t>(length), out.data(), static_cast<uint32_t>(out.size()));
  out.resize(out.find('\0'));
  return out;
}

std::string Decode(const std::string& bytes) {
  return Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The raw bytes of the extended_event descriptors of one entry.
struct ExtendedPart {
  uint8_t number = 0;
  std::vector<std::pair<std::string, std::string>> items;  // heading, text
  std::string text;
};

bool ReadExtendedPart(SectionReader body, ExtendedPart* part) {
  part->number = static_cast<uint8_t>(body.U8() >> 4);
  body.Skip(3);  // ISO_639_language_code
  SectionReader items = body.Sub(body.U8());
  while (items.ok() && !items.AtEnd()) {
    const uint8_t heading_length = items.U8();
    const uint8_t* heading = items.Bytes(heading_length);
    const uint8_t text_length = items.U8();
    const uint8_t* text = items.Bytes(text_length);
    if (!items.ok()) break;
    part->items.emplace_back(std::string(reinterpret_cast<const char*>(heading), heading_length),
                             std::string(reinterpret_cast<const char*>(text), text_length));
  }
  const uint8_t text_length = body.U8();
  if (const uint8_t* text = body.Bytes(text_length))
    part->text.assign(reinterpret_cast<const char*>(text), text_length);
  return body.ok() || !part->items.empty();
}

// Joins the parts in descriptor_number order and decodes the joined bytes.
std::string JoinExtended(std::vector<ExtendedPart>& parts) {
  std::stable_sort(parts.begin(), parts.end(),
                   [](const ExtendedPart& a, const ExtendedPart& b) { return a.number < b.number; });
  std::vector<std::pair<std::string, std::string>> items;
  std::string text;
  for (ExtendedPart& p : parts) {
    for (auto& [heading, body] : p.items) {
      if (heading.empty() && !items.empty()) {
        items.back().second += body;
      } else {
        items.emplace_back(std::move(heading), std::move(body));
      }
    }
    text += p.text;
  }
  std::string out;
  auto paragraph = [&out](const std::string& s) {
    if (s.empty()) return;
    if (!out.empty()) out += "\n\n";
    out += s;
  };
  for (const auto& [heading, body] : items) {
    const std::string h = Decode(heading);
    const std::string b = Decode(body);
    paragraph(h.empty() || b.empty() ? h + b : h + "\n" + b);
  }
  paragraph(Decode(text));
  return out;
}

// Reads one length-prefixed text of a short_event_descriptor.
std::string ReadText(SectionReader& body) {
  const uint8_t length = body.U8();
  const uint8_t* text = body.Bytes(length);
  return text ? Decode(text, length) : std::string();
}

bool ParseEntry(SectionReader& loop, const EitGuideSection& s, GuideEventUpdate* u) {
  GuideEvent& e = u->event;
  e.key = {s.original_network_id, s.transport_stream_id, s.service_id, loop.U16()};
  const uint16_t day = loop.U16();
  const uint8_t sh = loop.U8(), sm = loop.U8(), ss = loop.U8();
  const uint8_t dh = loop.U8(), dm = loop.U8(), ds = loop.U8();
  SectionReader descriptors = loop.Sub(loop.U16() & 0x0FFF);
  if (!loop.ok()) return false;
  const bool undefined_start = day == 0xFFFF && sh == 0xFF && sm == 0xFF && ss == 0xFF;
  e.start = undefined_start ? -1 : GuideTime{day} * 86400 + BcdTimeToSeconds(sh, sm, ss);
  e.duration = dh == 0xFF && dm == 0xFF && ds == 0xFF ? kUndefinedDuration : BcdTimeToSeconds(dh, dm, ds);

  std::vector<ExtendedPart> parts;
  while (descriptors.Remaining() >= 2) {
    const uint8_t tag = descriptors.U8();
    SectionReader body = descriptors.Sub(descriptors.U8());
    if (!descriptors.ok()) break;
    switch (tag) {
      case kShortEventDescriptor:
        body.Skip(3);  // ISO_639_language_code
        e.title = ReadText(body);
        e.description = ReadText(body);
        u->basic = true;
        break;
      case kExtendedEventDescriptor: {
        ExtendedPart part;
        if (ReadExtendedPart(body, &part)) parts.push_back(std::move(part));
        break;
      }
      case kComponentDescriptor:
        body.U8();
        if (body.Remaining() >= 1) e.video_component_type = body.U8();
        break;
      case kAudioComponentDescriptor:
        body.U8();
        if (body.Remaining() >= 1) e.audio_component_type = body.U8();
        break;
      case kContentDescriptor:
        if (e.genre < 0 && body.Remaining() >= 2) e.genre = body.U8();
        break;
      default:
        break;
    }
  }
  // The basic tables give the time and the short texts; the extended ones only the extended
  // description, whose entries still carry the time for an event not yet known otherwise.
  if (s.table_id >= 0x58) u->basic = false;
  if (!parts.empty()) {
    u->extended = true;
    e.extended = JoinExtended(parts);
  }
  return true;
}

}  // namespace

std::optional<EitGuideSection> ParseEitGuideSection(const uint8_t* section, size_t length) {
  SectionReader r(section, length);
  EitGuideSection s;
  s.table_id = r.U8();
  const uint16_t flags_length = r.U16();
  if (!r.ok() || (flags_length & 0x8000) == 0) return std::nullopt;
  if (s.table_id != 0x4E && (s.table_id < 0x50 || s.table_id > 0x5F)) return std::nullopt;
  const size_t section_length = flags_length & 0x0FFF;
  if (section_length < 15 || section_length + 3 > length) return std::nullopt;
  s.service_id = r.U16();
  s.version = static_cast<uint8_t>((r.U8() >> 1) & 0x1F);
  s.section_number = r.U8();
  s.last_section_number = r.U8();
  s.transport_stream_id = r.U16();
  s.original_network_id = r.U16();
  s.segment_last_section_number = r.U8();
  s.last_table_id = r.U8();
  const uint8_t kind = s.table_id == 0x4E ? EVENT_KIND_PF_ACTUAL : EVENT_KIND_SCHEDULE_ACTUAL;
  SectionReader loop = r.SubClamped(section_length + 3 - 4 - r.Offset());
  while (!loop.AtEnd()) {
    GuideEventUpdate u;
    u.kind = kind;
    u.version = s.version;
    if (!ParseEntry(loop, s, &u)) break;
    if (u.event.start >= 0) s.events.push_back(std::move(u));
  }
  return s;
}

}  // namespace pelkan
