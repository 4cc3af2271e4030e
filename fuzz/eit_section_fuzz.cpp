// Fuzz target: the event information section reader (EitSection) and the programme guide's reading
// through it (ParseEitGuideSection), with random event loops (descriptor lengths, extended-event,
// series and event group descriptors, texts) behind a header that reads as an EIT of the actual
// stream, and with the random bytes as a whole section. Every byte the reader points at is read, so
// that the sanitizer sees a span past the section.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "guide/eit_guide_section.h"
#include "ts/tables/eit_section.h"

namespace {

unsigned Touch(pelkan::SectionBytes bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

// Reads the section with the reader and every byte its spans name; false when the reader refused it.
bool ReadAll(const uint8_t* section, size_t length) {
  const std::optional<pelkan::EitSection> s = pelkan::EitSection::Read(section, length);
  if (!s) return false;
  volatile unsigned sum = 0;
  for (const pelkan::EitSection::Event& e : s->events) {
    if (e.short_event) sum = sum + Touch(e.short_event->event_name) + Touch(e.short_event->text);
    for (const auto& d : e.extended_events) {
      for (const auto& item : d.items) sum = sum + Touch(item.description) + Touch(item.item);
      sum = sum + Touch(d.text);
    }
    for (const auto& c : e.components) sum = sum + Touch(c.text);
    for (const auto& a : e.audio_components) sum = sum + Touch(a.text);
    if (e.series) sum = sum + Touch(e.series->series_name);
    const pelkan::ExtendedEventText joined = e.JoinedExtendedEvents();
    sum = sum + static_cast<unsigned>(joined.items.size() + joined.text.size());
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // Exact-size copies so that the sanitizer sees any read past the section.
  {
    std::unique_ptr<uint8_t[]> raw(new uint8_t[size]);
    std::memcpy(raw.get(), data, size);
    (void)ReadAll(raw.get(), size);
    (void)pelkan::ParseEitGuideSection(raw.get(), size);
  }
  const size_t body = size - 1;
  if (body + 14 + 4 > 4096) return 0;
  const size_t total = 14 + body + 4;
  std::unique_ptr<uint8_t[]> section(new uint8_t[total]);
  const uint8_t table_id = data[0] % 17 == 16 ? 0x4E : static_cast<uint8_t>(0x50 + data[0] % 16);
  const size_t section_length = total - 3;
  const uint8_t header[14] = {table_id,
                              static_cast<uint8_t>(0xF0 | section_length >> 8),
                              static_cast<uint8_t>(section_length),
                              0x04,
                              0x00,
                              0xC1,
                              0x00,
                              0xF8,
                              0x7F,
                              0xE8,
                              0x7F,
                              0xE8,
                              0x00,
                              static_cast<uint8_t>(table_id | 1)};
  std::memcpy(section.get(), header, sizeof header);
  if (body > 0) std::memcpy(section.get() + 14, data + 1, body);
  std::memset(section.get() + 14 + body, 0, 4);
  if (!ReadAll(section.get(), total)) __builtin_trap();
  const auto s = pelkan::ParseEitGuideSection(section.get(), total);
  if (!s) __builtin_trap();  // the header is always a readable EIT header
  for (const pelkan::GuideEventUpdate& u : s->events) {
    if (u.event.start < 0 || u.event.key.service_id != 0x0400) __builtin_trap();
  }
  return 0;
}
