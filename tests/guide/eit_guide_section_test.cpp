#include "guide/eit_guide_section.h"

#include <gtest/gtest.h>

#include "platform/text_codec.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::Descriptor;
using test::EitEvent;
using test::EitSection;

std::string Utf8(const std::string& sjis) {
  return platform::SjisToUtf8(sjis);
}

// One extended_event_descriptor: number/last, "jpn", items (heading, text), no free text.
Bytes Extended(uint8_t number, uint8_t last, const std::vector<std::pair<Bytes, Bytes>>& items) {
  Bytes body{static_cast<uint8_t>(number << 4 | last), 'j', 'p', 'n', 0};
  for (const auto& [heading, text] : items) {
    body.push_back(static_cast<uint8_t>(heading.size()));
    body.insert(body.end(), heading.begin(), heading.end());
    body.push_back(static_cast<uint8_t>(text.size()));
    body.insert(body.end(), text.begin(), text.end());
  }
  body[4] = static_cast<uint8_t>(body.size() - 5);
  body.push_back(0);
  return Descriptor(0x4E, body);
}

EitEvent Event(uint16_t id, const Bytes& descriptors) {
  return EitEvent{id, 0xE39A, {0x21, 0x00, 0x00}, {0x00, 0x30, 0x00}, descriptors};
}

std::optional<EitGuideSection> Parse(const Bytes& section) {
  return ParseEitGuideSection(section.data(), section.size());
}

TEST(EitGuideSection, ExtendedItemsAreJoinedInDescriptorOrderBeforeDecoding) {
  // 番組 (JIS 48 56 41 48) is cut after its third byte: 番 and the first half of 組 in descriptor 0,
  // the second half in descriptor 1, which comes first in the loop.
  const Bytes heading{0x46, 0x62, 0x4D, 0x46};                 // 内容
  const Bytes performers{0x3D, 0x50, 0x31, 0x69, 0x3C, 0x54};  // 出演者
  const Bytes second = Extended(1, 1, {{{}, {0x48}}, {performers, test::AribAlnum("ABC")}});
  const Bytes first = Extended(0, 1, {{heading, {0x48, 0x56, 0x41}}});
  const auto s = Parse(EitSection(0x58, 1024, 3, 8, {Event(7, test::Concat({second, first}))}));
  ASSERT_TRUE(s);
  ASSERT_EQ(s->events.size(), 1u);
  const GuideEventUpdate& u = s->events[0];
  EXPECT_TRUE(u.extended);
  EXPECT_FALSE(u.basic) << "an extended table gives no title";
  EXPECT_EQ(Utf8(u.event.extended), "内容\n番組\n\n出演者\n" + test::FullWidthUtf8("ABC"));
  EXPECT_EQ(u.event.key.event_id, 7);
  EXPECT_EQ(u.event.start, GuideTime{0xE39A} * 86400 + 21 * 3600);
  EXPECT_EQ(u.event.duration, 1800u);
}

TEST(EitGuideSection, BasicEntryGivesTextsGenreComponentsAndLayout) {
  const Bytes title{0x48, 0x56, 0x41, 0x48};  // 番組
  const Bytes descriptors = test::Concat({
      test::ShortEventDescriptor(title, test::AribAlnum("News")),
      Descriptor(0x50, {0xF1, 0xB3, 0x00, 'j', 'p', 'n'}),
      Descriptor(0xC4, {0xF2, 0x03, 0x10, 0x0F, 0xFF, 0x5F, 'j', 'p', 'n'}),
      Descriptor(0x54, {0x30, 0xFF, 0x40, 0xFF}),
  });
  EitEvent open = Event(9, test::ShortEventDescriptor(title, {}));
  open.duration = {0xFF, 0xFF, 0xFF};
  EitEvent no_start = Event(10, {});
  no_start.start_mjd = 0xFFFF;
  no_start.start = {0xFF, 0xFF, 0xFF};
  const auto s =
      Parse(EitSection(0x50, 1032, 5, 16, {Event(8, descriptors), open, no_start}, 0x7FE8, 0x7FE9));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->header.table_id, 0x50);
  EXPECT_EQ(s->header.version_number, 5);
  EXPECT_EQ(s->header.section_number, 16);
  EXPECT_EQ(s->header.segment_last_section_number, 16);
  EXPECT_EQ(s->header.transport_stream_id, 0x7FE8);
  EXPECT_EQ(s->header.original_network_id, 0x7FE9);
  ASSERT_EQ(s->events.size(), 2u) << "an event without a start time is left out";
  const GuideEventUpdate& u = s->events[0];
  EXPECT_TRUE(u.basic);
  EXPECT_FALSE(u.extended);
  EXPECT_EQ(u.kind, EVENT_KIND_SCHEDULE_ACTUAL);
  EXPECT_EQ(u.version, 5);
  EXPECT_EQ((u.event.key), (GuideEventKey{0x7FE9, 0x7FE8, 1032, 8}));
  EXPECT_EQ(Utf8(u.event.title), "番組");
  EXPECT_EQ(Utf8(u.event.description), test::FullWidthUtf8("News"));
  EXPECT_EQ(u.event.genre, 0x30) << "the first genre";
  EXPECT_EQ(u.event.video_component_type, 0xB3);
  EXPECT_EQ(u.event.audio_component_type, 0x03);
  EXPECT_EQ(s->events[1].event.duration, kUndefinedDuration);
  EXPECT_EQ(s->events[1].event.genre, -1);
}

TEST(EitGuideSection, DamagedSectionsGiveWhatIsWhole) {
  const Bytes good = EitSection(0x4E, 1024, 1, 0, {Event(1, {}), Event(2, {})});
  // The second entry's descriptor loop claims more than the section holds: the walk ends there.
  Bytes cut = good;
  cut[14 + 12 + 10] = 0x8F;
  cut[14 + 12 + 11] = 0xFF;
  const auto s = Parse(cut);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->events.size(), 1u);
  EXPECT_EQ(s->events[0].kind, EVENT_KIND_PF_ACTUAL);
  // Another table, a short header, a length past the bytes given.
  EXPECT_FALSE(Parse(EitSection(0x4F, 1024, 1, 0, {Event(1, {})})));
  EXPECT_FALSE(ParseEitGuideSection(good.data(), 10));
  EXPECT_FALSE(ParseEitGuideSection(good.data(), good.size() - 1));
  // A descriptor longer than its loop is not read.
  Bytes wild =
      EitSection(0x58, 1024, 1, 0, {Event(1, Descriptor(0x4E, {0x00, 'j', 'p', 'n', 200, 1, 0x48}))});
  const auto w = Parse(wild);
  ASSERT_TRUE(w);
  ASSERT_EQ(w->events.size(), 1u);
  EXPECT_FALSE(w->events[0].extended);
}

}  // namespace
}  // namespace pelkan
