#include "guide/eit_guide_section.h"

#include <string>

#include "ts/arib_string.h"
#include "ts/tables/eit_section.h"

namespace pelkan {
namespace {

// Broadcast text bytes as Shift-JIS: every input byte gives at most two output bytes.
std::string Decode(const uint8_t* text, size_t length) {
  if (length == 0) return {};
  std::string out(length * 2 + 4, '\0');
  DecodeAribString(text, static_cast<uint32_t>(length), out.data(), static_cast<uint32_t>(out.size()));
  out.resize(out.find('\0'));
  return out;
}

std::string Decode(SectionBytes bytes) {
  return Decode(bytes.data(), bytes.size());
}

std::string Decode(const std::string& bytes) {
  return Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The joined extended description as the guide shows it: each item as its heading and text on
// two lines, the items and the free text separated by an empty line.
std::string ExtendedText(const ExtendedEventText& joined) {
  std::string out;
  auto paragraph = [&out](const std::string& s) {
    if (s.empty()) return;
    if (!out.empty()) out += "\n\n";
    out += s;
  };
  for (const auto& [heading, body] : joined.items) {
    const std::string h = Decode(heading);
    const std::string b = Decode(body);
    paragraph(h.empty() || b.empty() ? h + b : h + "\n" + b);
  }
  paragraph(Decode(joined.text));
  return out;
}

GuideEventUpdate ToUpdate(const EitSection::Header& h, const EitSection::Event& in) {
  GuideEventUpdate u;
  u.kind = h.table_id == 0x4E ? EVENT_KIND_PF_ACTUAL : EVENT_KIND_SCHEDULE_ACTUAL;
  u.version = h.version_number;
  GuideEvent& e = u.event;
  e.key = {h.original_network_id, h.transport_stream_id, h.service_id, in.event_id};
  e.start = GuideTime{in.start_mjd} * 86400 + in.StartSecond();
  e.duration = in.DurationSeconds();
  if (in.short_event) {
    e.title = Decode(in.short_event->event_name);
    e.description = Decode(in.short_event->text);
    u.basic = true;
  }
  if (!in.components.empty()) e.video_component_type = in.components.back().component_type;
  if (!in.audio_components.empty()) e.audio_component_type = in.audio_components.back().component_type;
  if (!in.contents.empty()) e.genre = in.contents.front().content;
  if (in.series) {
    e.series_id = in.series->series_id;
    e.episode_number = in.series->episode_number;
    e.repeat_label = in.series->repeat_label;
  }
  e.free_ca_mode = in.free_ca_mode;
  // The basic tables give the time and the short texts; the extended ones only the extended
  // description, whose entries still carry the time for an event not yet known otherwise.
  if (h.table_id >= 0x58) u.basic = false;
  if (!in.extended_events.empty()) {
    u.extended = true;
    e.extended = ExtendedText(in.JoinedExtendedEvents());
  }
  return u;
}

}  // namespace

std::optional<EitGuideSection> ParseEitGuideSection(const uint8_t* section, size_t length) {
  const std::optional<EitSection> eit = EitSection::Read(section, length);
  if (!eit) return std::nullopt;
  const EitSection::Header& h = eit->header;
  if (h.table_id != 0x4E && (h.table_id < 0x50 || h.table_id > 0x5F)) return std::nullopt;
  EitGuideSection s;
  s.header = h;
  for (const EitSection::Event& in : eit->events) {
    if (!in.StartUndefined()) s.events.push_back(ToUpdate(h, in));
  }
  return s;
}

}  // namespace pelkan
