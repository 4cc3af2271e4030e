// EIT handler, through the processor.
#include <gtest/gtest.h>

#include "platform/text_codec.h"
#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::EitEvent;
using test::ProcessorHarness;
using test::TsBuilder;

class EitTest : public ::testing::Test {
 protected:
  void Feed(const std::vector<Bytes>& sections, uint16_t pid = 0x12) {
    TsBuilder b;
    for (const Bytes& s : sections) b.Section(pid, s);
    b.Null(4);
    h.Feed(b.bytes());
  }
  std::optional<ProgrammeEvent> Event(uint16_t sid, uint16_t eid) { return h.proc.FindEventById(0, 0, sid, eid); }
  ProcessorHarness h;
};

EitEvent Ev(uint16_t id, std::array<uint8_t, 3> start, std::array<uint8_t, 3> duration, Bytes descriptors = {}) {
  return {id, 0xE39A, start, duration, std::move(descriptors)};
}

TEST_F(EitTest, PresentFollowingRecord) {
  const Bytes d = test::Concat({test::ShortEventDescriptor(test::AribAlnum("NEWS"), test::AribAlnum("TODAY")),
                                test::Descriptor(0x50, {0x01, 0xB3, 0x00}), test::Descriptor(0xC4, {0x02, 0x03, 0x00})});
  Feed({test::EitSection(0x4E, 0x400, 3, 0, {Ev(0x1234, {0x12, 0x00, 0x00}, {0x00, 0x30, 0x00}, d)})});
  const auto e = Event(0x400, 0x1234);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, EVENT_KIND_PF_ACTUAL);
  EXPECT_EQ(e->version, 3);
  EXPECT_EQ(e->service_id, 0x400);
  EXPECT_EQ(e->start_day, 0xE39Au);
  EXPECT_EQ(e->start_second, 12u * 3600);
  EXPECT_EQ(e->duration, 1800u);
  EXPECT_EQ(e->end_day, 0xE39Au);
  EXPECT_EQ(e->end_second, 12u * 3600 + 1800);
  EXPECT_EQ(platform::SjisToUtf8(e->title), test::FullWidthUtf8("NEWS"));
  EXPECT_EQ(platform::SjisToUtf8(e->description), test::FullWidthUtf8("TODAY"));
  EXPECT_EQ(e->video_component_type, 0xB3);
  EXPECT_EQ(e->audio_component_type, 0x03);
}

TEST_F(EitTest, EventCrossingMidnightEndsNextDay) {
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x23, 0x30, 0x00}, {0x01, 0x00, 0x00})})});
  const auto e = Event(0x400, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->end_day, 0xE39Bu);
  EXPECT_EQ(e->end_second, 1800u);
}

TEST_F(EitTest, UndefinedDuration) {
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x10, 0x00, 0x00}, {0xFF, 0xFF, 0xFF})})});
  const auto e = Event(0x400, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->duration, kUndefinedDuration);
  EXPECT_EQ(e->end_second, kUndefinedDuration);
  EXPECT_EQ(e->end_day, e->start_day);
}

TEST_F(EitTest, VersionPerSectionKey) {
  const auto section = [](uint8_t version, uint16_t eid) {
    return test::EitSection(0x4E, 0x400, version, 0, {Ev(eid, {0x10, 0, 0}, {0, 0x10, 0})});
  };
  // Same version: the second section (announcing event 2) is not processed; version 4 is.
  Feed({section(3, 1), section(3, 2), section(4, 3)});
  EXPECT_TRUE(Event(0x400, 1));
  EXPECT_FALSE(Event(0x400, 2));
  EXPECT_TRUE(Event(0x400, 3));
}

TEST_F(EitTest, IgnoredTablesDoNotTouchTheVersionMap) {
  for (uint8_t tid : {0x4F, 0x58, 0x60}) {
    Feed({test::EitSection(tid, 0x400, 1, 0, {Ev(tid, {0x10, 0, 0}, {0, 0x10, 0})})});
  }
  EXPECT_EQ(h.proc.event_store().Size(), 0u);
}

TEST_F(EitTest, ScheduleNeverDisplacesPresentFollowing) {
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(7, {0x10, 0, 0}, {0, 0x10, 0}, test::ShortEventDescriptor(test::AribAlnum("PF"), {}))}),
        test::EitSection(0x50, 0x400, 9, 0, {Ev(7, {0x10, 0, 0}, {0, 0x10, 0}, test::ShortEventDescriptor(test::AribAlnum("SCH"), {}))})});
  const auto e = Event(0x400, 7);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, EVENT_KIND_PF_ACTUAL);
  EXPECT_EQ(platform::SjisToUtf8(e->title), test::FullWidthUtf8("PF"));
}

TEST_F(EitTest, EpgOffStoresNothing) {
  h.proc.SetProcessEpg(0);
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x10, 0, 0}, {0, 0x10, 0})})});
  EXPECT_EQ(h.proc.event_store().Size(), 0u);
}

TEST_F(EitTest, GuideGetsEveryActualTableSectionEachTimeItComes) {
  const Bytes pf = test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x10, 0, 0}, {0, 0x10, 0})});
  const Bytes extended = test::EitSection(0x5F, 0x400, 1, 0, {});
  Feed({pf, pf, test::EitSection(0x4F, 0x400, 1, 0, {}), test::EitSection(0x60, 0x400, 1, 0, {}), extended});
  const auto sections = h.log.OfType(EVENT_EIT_SECTION);
  ASSERT_EQ(sections.size(), 3u)
      << "present/following twice (the same version too) and 0x5F, not 0x4F or 0x60";
  EXPECT_EQ(sections[0].data, pf);
  EXPECT_EQ(sections[0].count, pf.size());
  EXPECT_EQ(sections[0].param, 0x400);
  EXPECT_EQ(sections[2].data, extended);
  h.log.Clear();
  h.proc.SetProcessEpg(0);
  Feed({test::EitSection(0x4E, 0x400, 2, 0, {})});
  EXPECT_EQ(h.log.Count(EVENT_EIT_SECTION), 0u) << "only while EIT processing is on";
}

TEST_F(EitTest, AllThreeEitPids) {
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x10, 0, 0}, {0, 0x10, 0})})}, 0x26);
  Feed({test::EitSection(0x4E, 0x401, 1, 0, {Ev(1, {0x10, 0, 0}, {0, 0x10, 0})})}, 0x27);
  EXPECT_EQ(h.proc.event_store().Size(), 2u);
}

TEST_F(EitTest, TruncatedEntryIsDroppedEarlierOnesKept) {
  // Two entries; the second claims more descriptor bytes than the section holds.
  Bytes body{0x7F, 0xE0, 0x7F, 0xE0, 0x00, 0x4E};
  const Bytes good{0x00, 0x01, 0xE3, 0x9A, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00};
  const Bytes bad{0x00, 0x02, 0xE3, 0x9A, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x8F, 0xFF, 0x4D, 0x01};
  body = test::Concat({body, good, bad});
  Feed({test::LongSection(0x4E, 0x400, 1, body)});
  EXPECT_TRUE(Event(0x400, 1));
  EXPECT_FALSE(Event(0x400, 2));
}

TEST_F(EitTest, TextLengthPastDescriptorIsIgnored) {
  const Bytes d = test::Descriptor(0x4D, {'j', 'p', 'n', 50, 0x0E, 0x41});
  Feed({test::EitSection(0x4E, 0x400, 1, 0, {Ev(1, {0x10, 0, 0}, {0, 0x10, 0}, d)})});
  const auto e = Event(0x400, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->title[0], 0);
}

}  // namespace
}  // namespace pelkan
