// The event information section reader, against the generator's writer and hand-written bytes.
#include "ts/tables/eit_section.h"

#include <gtest/gtest.h>

#include <string>

#include "streamgen/si_tables.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::Descriptor;

constexpr uint32_t kJpn = 'j' << 16 | 'p' << 8 | 'n';

// The spans of the result point into `section`, which must outlive it.
std::optional<EitSection> Read(const Bytes& section) {
  return EitSection::Read(section.data(), section.size());
}

std::string Chars(SectionBytes bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// One event of table 0x50 for service 1024 with the given descriptor loop.
Bytes SectionWith(const Bytes& descriptors) {
  return test::EitSection(0x50, 1024, 1, 0,
                          {test::EitEvent{7, 0xE39A, {0x21, 0x00, 0x00}, {0x00, 0x30, 0x00}, descriptors}});
}

TEST(EitSection, ReadsWhatTheGeneratorWrites) {
  streamgen::EitSectionHeader h;
  h.table_id = 0x51;
  h.service_id = 1032;
  h.version = 9;
  h.section_number = 0x18;
  h.last_section_number = 0x38;
  h.transport_stream_id = 0x7FE8;
  h.original_network_id = 0x7FE9;
  h.segment_last_section_number = 0x1A;
  h.last_table_id = 0x51;
  streamgen::EitEntry basic;
  basic.programme.event_id = 0x1234;
  basic.programme.start = MjdTime{0xE39A, 23 * 3600 + 59 * 60 + 58};
  basic.programme.duration = 5400;
  basic.programme.title = "ABC";
  basic.programme.video_component_type = 0xB3;
  basic.programme.audio_component_type = 0x03;
  basic.programme.genre = 0x31;
  basic.running_status = 4;
  basic.free_ca = true;
  streamgen::EitEntry open;
  open.programme.event_id = 0x1235;
  open.programme.start = MjdTime{0xE39B, 60};
  open.programme.duration = kUndefinedDuration;
  open.basic = false;
  const std::vector<uint8_t> bytes = streamgen::BuildEit(h, {basic, open});

  const std::optional<EitSection> s = EitSection::Read(bytes.data(), bytes.size());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->header.table_id, 0x51);
  EXPECT_TRUE(s->header.section_syntax_indicator);
  EXPECT_EQ(s->header.section_length, bytes.size() - 3);
  EXPECT_EQ(s->header.service_id, 1032);
  EXPECT_EQ(s->header.version_number, 9);
  EXPECT_TRUE(s->header.current_next_indicator);
  EXPECT_EQ(s->header.section_number, 0x18);
  EXPECT_EQ(s->header.last_section_number, 0x38);
  EXPECT_EQ(s->header.transport_stream_id, 0x7FE8);
  EXPECT_EQ(s->header.original_network_id, 0x7FE9);
  EXPECT_EQ(s->header.segment_last_section_number, 0x1A);
  EXPECT_EQ(s->header.last_table_id, 0x51);

  ASSERT_EQ(s->events.size(), 2u);
  const EitSection::Event& e = s->events[0];
  EXPECT_EQ(e.event_id, 0x1234);
  EXPECT_EQ(e.start_mjd, 0xE39A);
  EXPECT_EQ(e.StartSecond(), 23u * 3600 + 59 * 60 + 58);
  EXPECT_FALSE(e.StartUndefined());
  EXPECT_EQ(e.DurationSeconds(), 5400u);
  EXPECT_EQ(e.running_status, 4);
  EXPECT_TRUE(e.free_ca_mode);
  ASSERT_TRUE(e.short_event);
  EXPECT_EQ(e.short_event->iso_639_language_code, kJpn);
  EXPECT_FALSE(e.short_event->event_name.empty());
  EXPECT_TRUE(e.short_event->text.empty());
  ASSERT_EQ(e.components.size(), 1u);
  EXPECT_EQ(e.components[0].stream_content, 0x01);
  EXPECT_EQ(e.components[0].component_type, 0xB3);
  EXPECT_EQ(e.components[0].iso_639_language_code, kJpn);
  ASSERT_EQ(e.audio_components.size(), 1u);
  const AudioComponentDescriptor& a = e.audio_components[0];
  EXPECT_EQ(a.stream_content, 0x02);
  EXPECT_EQ(a.component_type, 0x03);
  EXPECT_EQ(a.component_tag, 0x10);
  EXPECT_EQ(a.stream_type, 0x0F);
  EXPECT_EQ(a.simulcast_group_tag, 0xFF);
  EXPECT_FALSE(a.es_multi_lingual_flag);
  EXPECT_TRUE(a.main_component_flag);
  EXPECT_EQ(a.quality_indicator, 1);
  EXPECT_EQ(a.sampling_rate, 7);
  EXPECT_EQ(a.iso_639_language_code, kJpn);
  ASSERT_EQ(e.contents.size(), 1u);
  EXPECT_EQ(e.contents[0].content, 0x31);
  EXPECT_EQ(e.contents[0].user, 0xFF);

  const EitSection::Event& o = s->events[1];
  EXPECT_EQ(o.StartSecond(), 60u);
  EXPECT_EQ(o.DurationSeconds(), kUndefinedDuration);
  EXPECT_EQ(o.running_status, 0);
  EXPECT_FALSE(o.free_ca_mode);
  EXPECT_FALSE(o.short_event);
  EXPECT_TRUE(o.components.empty());
}

TEST(EitSection, SeriesAndEventGroupDescriptors) {
  const Bytes series = Descriptor(0xD5, {0x12, 0x34,                 // series_id
                                         0x1 << 4 | 0x2 << 1 | 0x1,  // repeat 1, daily, expire date valid
                                         0xE3, 0xA0,                 // expire_date
                                         0x00, 0x50, 0x0C,           // episode 5 of 12
                                         'S', 'E', 'R'});
  const Bytes no_expiry = Descriptor(0xD5, {0x00, 0x01, 0x0E, 0xFF, 0xFF, 0x00, 0x10, 0x00});
  const Bytes shared = Descriptor(0xD6, {0x1 << 4 | 2, 0x04, 0x00, 0x00, 0x07, 0x04, 0x01, 0x00, 0x08,
                                         0xAA});  // private data after the members
  const Bytes moved = Descriptor(0xD6, {0x5 << 4 | 0, 0x00, 0x04, 0x7F, 0xE0, 0x04, 0x08, 0x00, 0x09,
                                        0x00, 0x05, 0x7F, 0xE1, 0x04, 0x09});  // a cut second member

  const Bytes section = SectionWith(test::Concat({series, shared, moved}));
  const auto s = Read(section);
  ASSERT_TRUE(s);
  ASSERT_EQ(s->events.size(), 1u);
  const EitSection::Event& e = s->events[0];
  ASSERT_TRUE(e.series);
  EXPECT_EQ(e.series->series_id, 0x1234);
  EXPECT_EQ(e.series->repeat_label, 1);
  EXPECT_EQ(e.series->program_pattern, 2);
  EXPECT_EQ(e.series->expire_date, std::optional<uint16_t>(0xE3A0));
  EXPECT_EQ(e.series->episode_number, 5);
  EXPECT_EQ(e.series->last_episode_number, 12);
  EXPECT_EQ(Chars(e.series->series_name), "SER");

  ASSERT_EQ(e.event_groups.size(), 2u);
  const EventGroupDescriptor& g = e.event_groups[0];
  EXPECT_EQ(g.group_type, 1);
  EXPECT_EQ(g.events, (std::vector<EventGroupDescriptor::Member>{{0x0400, 0x0007}, {0x0401, 0x0008}}));
  EXPECT_TRUE(g.other_network_events.empty()) << "only group types 4 and 5 name other networks";
  const EventGroupDescriptor& m = e.event_groups[1];
  EXPECT_EQ(m.group_type, EventGroupDescriptor::kMovementFromOtherNetworks);
  EXPECT_TRUE(m.events.empty());
  EXPECT_EQ(m.other_network_events, (std::vector<EventKey>{{0x0004, 0x7FE0, 0x0408, 0x0009}}));

  const Bytes section_no_expiry = SectionWith(no_expiry);
  const auto n = Read(section_no_expiry);
  ASSERT_TRUE(n);
  ASSERT_TRUE(n->events[0].series);
  EXPECT_FALSE(n->events[0].series->expire_date) << "the date is only meant with its flag";
  EXPECT_EQ(n->events[0].series->program_pattern, 7);
  EXPECT_EQ(n->events[0].series->episode_number, 1);
  EXPECT_TRUE(n->events[0].series->series_name.empty());
}

TEST(EitSection, ExtendedItemsJoinInDescriptorOrderAsBytes) {
  // Descriptor 1 comes first in the loop; its first item has no heading and goes on with the
  // last item of descriptor 0.
  const Bytes d1 = Descriptor(0x4E, {0x11, 'j', 'p', 'n', 8, 0, 1, 'c', 2, 'H', '2', 1, 'd', 1, 'T'});
  const Bytes d0 = Descriptor(0x4E, {0x01, 'j', 'p', 'n', 6, 2, 'H', '1', 2, 'a', 'b', 1, 'S'});
  const Bytes section = SectionWith(test::Concat({d1, d0}));
  const auto s = Read(section);
  ASSERT_TRUE(s);
  const EitSection::Event& e = s->events[0];
  ASSERT_EQ(e.extended_events.size(), 2u);
  EXPECT_EQ(e.extended_events[0].descriptor_number, 1);
  EXPECT_EQ(e.extended_events[0].last_descriptor_number, 1);
  const ExtendedEventText joined = e.JoinedExtendedEvents();
  using Items = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(joined.items, (Items{{"H1", "abc"}, {"H2", "d"}}));
  EXPECT_EQ(joined.text, "ST");
}

// Lengths that point past what holds them: the reader keeps what is whole and reads nothing
// outside its bounds.
TEST(EitSection, LengthsPastTheirBounds) {
  const Bytes good_short = test::ShortEventDescriptor(Bytes{'T'}, Bytes{'D'});
  const Bytes two_events =
      test::EitSection(0x4E, 1024, 1, 0,
                       {test::EitEvent{1, 0xE39A, {0x10, 0, 0}, {0, 0x30, 0}, good_short},
                        test::EitEvent{2, 0xE39A, {0x10, 0x30, 0}, {0, 0x30, 0}, good_short}});
  // Offsets in two_events: header 14, first entry 12 + descriptors.
  const size_t second_entry = 14 + 12 + good_short.size();
  struct Case {
    const char* name;
    Bytes section;
    size_t events;       // events read
    bool first_titled;   // the first event keeps its short_event
    bool second_titled;  // the second event keeps its short_event
  };
  auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = two_events;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  const std::vector<Case> cases = {
      {"whole", two_events, 2, true, true},
      {"descriptor loop of the second event past the section", patched(second_entry + 10, {0x8F, 0xFF}), 1,
       true, false},
      {"descriptor loop of the first event past the section", patched(14 + 10, {0x80, 0xFF}), 0, false, false},
      {"descriptor length past its loop", patched(14 + 12 + 1, {0x40}), 2, false, true},
      {"event name past its descriptor", patched(14 + 12 + 5, {0x30}), 2, true, true},
      {"descriptor loop shorter than its descriptor", patched(14 + 10, {0x80, 0x03}), 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto s = Read(c.section);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->events.size(), c.events);
    if (c.events > 0) {
      EXPECT_EQ(s->events[0].short_event.has_value(), c.first_titled);
    }
    if (c.events > 1) {
      EXPECT_EQ(s->events[1].short_event.has_value(), c.second_titled);
    }
  }

  // A text past its descriptor reads as empty, and the text after it is not taken from its bytes.
  const Bytes cut_name_section = patched(14 + 12 + 5, {0x30});
  const auto cut_name = Read(cut_name_section);
  ASSERT_TRUE(cut_name);
  EXPECT_TRUE(cut_name->events[0].short_event->event_name.empty());
  EXPECT_TRUE(cut_name->events[0].short_event->text.empty());
  EXPECT_EQ(Chars(cut_name->events[1].short_event->event_name), "T");
  EXPECT_EQ(Chars(cut_name->events[1].short_event->text), "D");

  // Headers that are not read at all.
  struct Refused {
    const char* name;
    Bytes section;
    size_t length;
  };
  Bytes no_syntax = two_events;
  no_syntax[1] &= 0x7F;
  Bytes other_table = two_events;
  other_table[0] = 0x42;
  Bytes tiny_length = two_events;
  tiny_length[1] = 0xF0;
  tiny_length[2] = 14;
  const std::vector<Refused> refused = {
      {"section_length past the bytes", two_events, two_events.size() - 1},
      {"shorter than header and CRC", two_events, 17},
      {"no long form", no_syntax, no_syntax.size()},
      {"not an event information table", other_table, other_table.size()},
      {"section_length below the fixed part", tiny_length, tiny_length.size()},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    EXPECT_FALSE(EitSection::Read(r.section.data(), r.length));
  }
  EXPECT_FALSE(EitSection::ReadHeader(two_events.data(), 17));
  EXPECT_FALSE(EitSection::ReadHeader(nullptr, 100));
  ASSERT_TRUE(EitSection::ReadHeader(two_events.data(), 18));
  EXPECT_EQ(EitSection::ReadHeader(two_events.data(), 18)->service_id, 1024);
}

// Descriptors shorter than their fixed fields are left out rather than read past their end.
TEST(EitSection, ShortDescriptorsAreLeftOut) {
  struct Case {
    const char* name;
    Bytes descriptor;
    size_t components, audio_components, contents, event_groups;
    bool series;
  };
  const std::vector<Case> cases = {
      {"component of one byte", Descriptor(0x50, {0x01}), 0, 0, 0, 0, false},
      {"component of two bytes", Descriptor(0x50, {0x01, 0xB3}), 1, 0, 0, 0, false},
      {"audio component of one byte", Descriptor(0xC4, {0x02}), 0, 0, 0, 0, false},
      {"content of one byte", Descriptor(0x54, {0x30}), 0, 0, 0, 0, false},
      {"content with an odd byte", Descriptor(0x54, {0x30, 0xFF, 0x40}), 0, 0, 1, 0, false},
      {"series cut in its episode numbers", Descriptor(0xD5, {0, 1, 0, 0, 0, 0, 0x10}), 0, 0, 0, 0, false},
      {"empty event group", Descriptor(0xD6, {}), 0, 0, 0, 0, false},
      {"event group with members cut", Descriptor(0xD6, {0x13, 0x04, 0x00}), 0, 0, 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes section = SectionWith(c.descriptor);
    const auto s = Read(section);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->events.size(), 1u);
    const EitSection::Event& e = s->events[0];
    EXPECT_EQ(e.components.size(), c.components);
    EXPECT_EQ(e.audio_components.size(), c.audio_components);
    EXPECT_EQ(e.contents.size(), c.contents);
    EXPECT_EQ(e.event_groups.size(), c.event_groups);
    EXPECT_EQ(e.series.has_value(), c.series);
    for (const EventGroupDescriptor& g : e.event_groups) EXPECT_TRUE(g.events.empty());
  }
}

}  // namespace
}  // namespace pelkan
