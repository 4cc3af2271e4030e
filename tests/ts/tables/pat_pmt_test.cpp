// PAT and PMT handlers, through the processor.
#include <gtest/gtest.h>

#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::ProcessorHarness;
using test::TsBuilder;

Bytes PatStream(uint16_t tsid, uint8_t version, const std::vector<std::pair<uint16_t, uint16_t>>& programs) {
  TsBuilder b;
  b.Section(0, test::PatSection(tsid, version, programs));
  return b.bytes();
}

// Three packets so that the search window is filled; the PAT comes first.
Bytes WithFill(const Bytes& s) {
  TsBuilder b;
  b.Null(4);
  return test::Concat({s, b.bytes()});
}

TEST(PatHandler, FirstPatGivesStreamResetThenProgramList) {
  ProcessorHarness h;
  h.Feed(WithFill(PatStream(0x7FE0, 1, {{0, 0x10}, {0x400, 0x1F0}, {0x401, 0x1F1}})));
  ASSERT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_STREAM_RESET, EVENT_PROGRAM_LIST}));
  const auto reset = h.log.OfType(EVENT_STREAM_RESET)[0];
  EXPECT_EQ(reset.param, 0x7FE0);
  EXPECT_EQ(reset.count, 0u);
  const auto list = h.log.OfType(EVENT_PROGRAM_LIST)[0];
  EXPECT_EQ(list.param, 0x7FE0);
  ASSERT_EQ(list.count, 2u);
  EXPECT_EQ(test::PayloadAs<ProgramListEntry>(list, 0).program_number, 0x400);
  EXPECT_EQ(test::PayloadAs<ProgramListEntry>(list, 1).pmt_pid, 0x1F1);
  EXPECT_EQ(h.proc.pid_kind(0x1F0), PidKind::kPmt);
  EXPECT_EQ(h.proc.pid_kind(0x10), PidKind::kNit);
  EXPECT_EQ(h.proc.transport_stream_id(), 0x7FE0);
}

TEST(PatHandler, RepeatedPatIsIgnoredAndNewVersionListsAgain) {
  ProcessorHarness h;
  h.Feed(WithFill(test::Concat({PatStream(1, 1, {{0x400, 0x1F0}}), PatStream(1, 1, {{0x400, 0x1F0}}),
                                PatStream(1, 2, {{0x400, 0x1F0}, {0x401, 0x1F1}})})));
  EXPECT_EQ(h.log.TableEventTypes(),
            (std::vector<uint32_t>{EVENT_STREAM_RESET, EVENT_PROGRAM_LIST, EVENT_PROGRAM_LIST}));
  EXPECT_EQ(h.log.OfType(EVENT_PROGRAM_LIST)[1].count, 2u);
}

TEST(PatHandler, NetworkOnlyPatSetsKindWithoutProgramList) {
  ProcessorHarness h;
  h.Feed(WithFill(PatStream(1, 1, {{0, 0x11}})));
  EXPECT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_STREAM_RESET}));
  EXPECT_EQ(h.proc.pid_kind(0x11), PidKind::kOtherNetwork);
}

TEST(PatHandler, NewTransportStreamForgetsEverything) {
  ProcessorHarness h;
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0x400, 0x1F0}}));
  b.Section(0x12, test::EitSection(0x4E, 0x400, 1, 0, {{1, 0xEA60, {0x10, 0, 0}, {1, 0, 0}, {}}}));
  b.Section(0, test::PatSection(2, 1, {{0x500, 0x1E0}}));
  h.Feed(WithFill(b.bytes()));
  EXPECT_EQ(h.proc.event_store().Size(), 0u);
  EXPECT_EQ(h.proc.pid_kind(0x1F0), PidKind::kNone);
  EXPECT_EQ(h.proc.pid_kind(0x1E0), PidKind::kPmt);
  const auto resets = h.log.OfType(EVENT_STREAM_RESET);
  ASSERT_EQ(resets.size(), 2u);
  EXPECT_EQ(resets[1].param, 2);
}

TEST(PatHandler, StreamChangeForgetsBeforeAnnouncing) {
  struct Ctx {
    TsProcessor* proc;
    std::vector<size_t> store_sizes;
    std::vector<PidKind> kinds;
  } ctx;
  TsProcessor proc;
  ctx.proc = &proc;
  proc.SetDecodePsi(1);
  proc.SetProcessEpg(1);
  proc.SetEventHandler(
      [](uint32_t type, int32_t, const uint8_t*, uint32_t, void* user) {
        auto* c = static_cast<Ctx*>(user);
        if (type != EVENT_STREAM_RESET) return;
        c->store_sizes.push_back(c->proc->event_store().Size());
        c->kinds.push_back(c->proc->pid_kind(0x1F0));
      },
      &ctx);
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0x400, 0x1F0}}));
  b.Section(0x12, test::EitSection(0x4E, 0x400, 1, 0, {{1, 0xEA60, {0x10, 0, 0}, {1, 0, 0}, {}}}));
  b.Section(0, test::PatSection(2, 1, {{0x500, 0x1E0}}));
  const Bytes s = WithFill(b.bytes());
  CaptureStats stats;
  proc.Feed(s.data(), static_cast<int>(s.size()), stats);
  EXPECT_EQ(ctx.store_sizes, (std::vector<size_t>{0, 0}));
  EXPECT_EQ(ctx.kinds, (std::vector<PidKind>{PidKind::kNone, PidKind::kNone}));
}

TEST(PatHandler, NetworkEntryOnSdtPidKeepsSdtRouting) {
  ProcessorHarness h;
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0, 0x11}}));
  b.Section(0x11, test::SdtSection(0x42, 1, 4, 1, {{0x400, {}}}));
  h.Feed(WithFill(b.bytes()));
  EXPECT_EQ(h.proc.pid_kind(0x11), PidKind::kOtherNetwork);
  EXPECT_EQ(h.log.Count(EVENT_SERVICE_NAME), 1u);
  EXPECT_EQ(h.log.Count(EVENT_NETWORK_NAME), 0u);
}

TEST(PatHandler, TransportStreamIdZeroResetsOnEveryPat) {
  ProcessorHarness h;
  h.Feed(WithFill(test::Concat({PatStream(0, 1, {{0x400, 0x1F0}}), PatStream(0, 1, {{0x400, 0x1F0}})})));
  EXPECT_EQ(h.log.Count(EVENT_STREAM_RESET), 2u);
  EXPECT_EQ(h.log.Count(EVENT_PROGRAM_LIST), 2u);
}

TEST(PatHandler, PsiOffDecodesNoPat) {
  ProcessorHarness h(nullptr, false, false);
  h.Feed(WithFill(PatStream(1, 1, {{0x400, 0x1F0}})));
  EXPECT_TRUE(h.log.TableEventTypes().empty());
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 1u);
}

TEST(PatHandler, TrailingPartialEntryIsIgnored) {
  // A PAT body of one entry and two stray bytes: the stray bytes would overlap the CRC_32.
  Bytes body{0x04, 0x00, 0xE1, 0xF0, 0x04, 0x01};
  ProcessorHarness h;
  TsBuilder b;
  b.Section(0, test::LongSection(0, 1, 1, body));
  h.Feed(WithFill(b.bytes()));
  ASSERT_EQ(h.log.Count(EVENT_PROGRAM_LIST), 1u);
  EXPECT_EQ(h.log.OfType(EVENT_PROGRAM_LIST)[0].count, 1u);
}

class PmtTest : public ::testing::Test {
 protected:
  void Feed(const std::vector<Bytes>& pmts) {
    TsBuilder b;
    b.Section(0, test::PatSection(1, 1, {{0x400, 0x1F0}}));
    for (const Bytes& s : pmts) b.Section(0x1F0, s);
    h.Feed(WithFill(b.bytes()));
  }
  std::vector<test::RecordedEvent> Components() const { return h.log.OfType(EVENT_COMPONENT_LIST); }
  ProcessorHarness h;
};

TEST_F(PmtTest, ComponentsInPmtOrder) {
  Feed({test::PmtSection(0x400, 1, 0x100, {{0x02, 0x100, test::Descriptor(0x52, {0})}, {0x0F, 0x110, {}}},
                         test::Descriptor(0x09, {1, 2, 3, 4}))});
  ASSERT_EQ(Components().size(), 1u);
  const auto e = Components()[0];
  EXPECT_EQ(e.param, 0x400);
  ASSERT_EQ(e.count, 2u);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(e, 0).stream_type, 0x02);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(e, 0).elementary_pid, 0x100);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(e, 1).stream_type, 0x0F);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(e, 1).elementary_pid, 0x110);
}

TEST_F(PmtTest, SameVersionOnceNewVersionAgain) {
  const Bytes v1 = test::PmtSection(0x400, 1, 0x100, {{0x02, 0x100, {}}});
  Feed({v1, v1, test::PmtSection(0x400, 2, 0x100, {{0x02, 0x100, {}}, {0x0F, 0x110, {}}})});
  ASSERT_EQ(Components().size(), 2u);
  EXPECT_EQ(Components()[1].count, 2u);
}

TEST_F(PmtTest, EmptyPmtStoresVersionWithoutEvent) {
  Feed({test::PmtSection(0x400, 1, 0x100, {}), test::PmtSection(0x400, 1, 0x100, {{0x02, 0x100, {}}})});
  EXPECT_TRUE(Components().empty());
}

TEST_F(PmtTest, EsInfoLengthPastTheSectionDropsTheEntry) {
  // Second entry claims 0x7FF bytes of descriptors.
  Bytes body{0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00, 0x0F, 0xE1, 0x10, 0xF7, 0xFF};
  Feed({test::LongSection(0x02, 0x400, 1, body)});
  ASSERT_EQ(Components().size(), 1u);
  EXPECT_EQ(Components()[0].count, 1u);
}

TEST_F(PmtTest, ProgramInfoLengthPastTheSectionGivesNoEntries) {
  Bytes body{0xE1, 0x00, 0xFF, 0xFF, 0x02, 0xE1, 0x00, 0xF0, 0x00};
  Feed({test::LongSection(0x02, 0x400, 1, body)});
  EXPECT_TRUE(Components().empty());
}

}  // namespace
}  // namespace pelkan
