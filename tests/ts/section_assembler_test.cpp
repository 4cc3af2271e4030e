#include "ts/section_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;

struct Recorder final : SectionSink {
  void OnSection(int handler, const PacketHeader&, const SectionHeader& h, const uint8_t* s, uint32_t n) override {
    handlers.push_back(handler);
    headers.push_back(h);
    sections.emplace_back(s, s + n);
  }
  std::vector<int> handlers;
  std::vector<SectionHeader> headers;
  std::vector<Bytes> sections;
};

// Payload of 184 bytes: `data` then 0xFF.
Bytes Payload(const Bytes& data) {
  Bytes p = data;
  p.resize(184, 0xFF);
  return p;
}

PacketHeader Header(bool start, uint8_t afc = 1, uint16_t pid = 0x100) {
  PacketHeader h{};
  h.sync_byte = 0x47;
  h.pid = pid;
  h.payload_unit_start_indicator = start ? 1 : 0;
  h.adaptation_field_control = afc;
  return h;
}

const Bytes kPat = test::PatSection(0x10, 3, {{1, 0x101}, {2, 0x102}});

// A section of more than one packet's payload.
Bytes LongEit() {
  std::vector<test::EitEvent> events;
  for (int i = 0; i < 12; ++i) {
    events.push_back({static_cast<uint16_t>(i), 0xEA60, {0, 0, 0}, {1, 0, 0},
                      test::ShortEventDescriptor(Bytes(10, 0x41), Bytes(10, 0x42))});
  }
  return test::EitSection(0x4E, 1, 0, 0, events);
}

TEST(SectionAssembler, SectionInOnePacket) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat})).data(), 7, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(r.sections[0], kPat);
  EXPECT_EQ(r.handlers[0], 7);
  EXPECT_EQ(r.headers[0].table_id_extension, 0x10);
  EXPECT_EQ(r.headers[0].version_number, 3);
  EXPECT_EQ(r.headers[0].HeaderLength(), 8u);
}

TEST(SectionAssembler, SectionAcrossThreePackets) {
  const Bytes section = LongEit();
  ASSERT_GT(section.size(), 2 * 184u);
  ASSERT_LT(section.size(), 3 * 184u - 1);
  const Bytes data = test::Concat({{0x00}, section});
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(Bytes(data.begin(), data.begin() + 184)).data(), 1, r);
  a.PushPayload(Header(false), Payload(Bytes(data.begin() + 184, data.begin() + 368)).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  a.PushPayload(Header(false), Payload(Bytes(data.begin() + 368, data.end())).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(r.sections[0], section);
}

TEST(SectionAssembler, PointerFieldFinishesTheTailFirst) {
  const Bytes next = test::PatSection(0x20, 1, {{3, 0x103}});
  SectionAssembler a;
  Recorder r;
  // Two packets carry the start of a long section; the third starts with its tail.
  const Bytes eit = LongEit();
  const Bytes data = test::Concat({{0x00}, eit});
  const size_t tail = data.size() - 368;
  ASSERT_LE(tail, 150u);
  a.PushPayload(Header(true), Bytes(data.begin(), data.begin() + 184).data(), 1, r);
  a.PushPayload(Header(false), Bytes(data.begin() + 184, data.begin() + 368).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  a.PushPayload(Header(true),
                Payload(test::Concat({{static_cast<uint8_t>(tail)}, Bytes(data.begin() + 368, data.end()), next})).data(),
                1, r);
  ASSERT_EQ(r.sections.size(), 2u);
  EXPECT_EQ(r.sections[0], eit);
  EXPECT_EQ(r.sections[1], next);
}

TEST(SectionAssembler, PointerTailIsSkippedWhenNothingWasCollected) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{10}, Bytes(10, 0x00), kPat})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(r.sections[0], kPat);
}

TEST(SectionAssembler, BadCrcIsDroppedAndPayloadIgnoredUntilNextStart) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, test::CorruptCrc(kPat)})).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  EXPECT_EQ(a.assembling(0x100), 0);
  EXPECT_EQ(a.buffered(0x100), 0u);
  // A continuation packet holding a whole valid section is ignored: no start seen since.
  a.PushPayload(Header(false), Payload(kPat).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat})).data(), 1, r);
  EXPECT_EQ(r.sections.size(), 1u);
}

TEST(SectionAssembler, AdaptationFieldIsSkipped) {
  Bytes payload{7, 0x10, 1, 2, 3, 4, 5, 6};  // adaptation_field_length 7
  payload = test::Concat({payload, {0x00}, kPat});
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true, 3), Payload(payload).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(r.sections[0], kPat);
}

TEST(SectionAssembler, EverySectionOfAPacketCompletesAtOnce) {
  // As multiplexers send the SDT and EIT: two whole sections in one packet, and the next packet of
  // the PID starts a new section.
  const Bytes second = test::PatSection(0x10, 4, {{1, 0x101}});
  const Bytes third = test::PatSection(0x10, 5, {{2, 0x102}});
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat, second})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 2u);
  EXPECT_EQ(r.sections[0], kPat);
  EXPECT_EQ(r.sections[1], second);
  // The stuffing behind them ends the packet: the PID waits for the next start.
  EXPECT_EQ(a.assembling(0x100), 0);
  EXPECT_EQ(a.buffered(0x100), 0u);
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, third})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 3u);
  EXPECT_EQ(r.sections[2], third);
}

TEST(SectionAssembler, SectionsAfterATailAndOneRunningIntoTheNextPacket) {
  const Bytes eit = LongEit();
  const Bytes data = test::Concat({{0x00}, eit});
  const size_t tail = data.size() - 368;
  const Bytes b = test::PatSection(0x20, 1, {{3, 0x103}});
  const Bytes c = test::PatSection(0x20, 2, {{4, 0x104}});
  const Bytes d = LongEit();
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Bytes(data.begin(), data.begin() + 184).data(), 1, r);
  a.PushPayload(Header(false), Bytes(data.begin() + 184, data.begin() + 368).data(), 1, r);
  // The tail of the long section, two short ones, and the start of another long one.
  Bytes packet = test::Concat({{static_cast<uint8_t>(tail)}, Bytes(data.begin() + 368, data.end()), b, c, d});
  ASSERT_LT(1 + tail + b.size() + c.size(), 184u);
  const Bytes rest(packet.begin() + 184, packet.end());
  packet.resize(184);
  a.PushPayload(Header(true), packet.data(), 1, r);
  ASSERT_EQ(r.sections.size(), 3u);
  EXPECT_EQ(r.sections[0], eit);
  EXPECT_EQ(r.sections[1], b);
  EXPECT_EQ(r.sections[2], c);
  EXPECT_EQ(a.assembling(0x100), 1);
  for (size_t pos = 0; pos < rest.size(); pos += 184) {
    a.PushPayload(Header(false),
                  Payload(Bytes(rest.begin() + pos, rest.begin() + std::min(rest.size(), pos + 184))).data(),
                  1, r);
  }
  ASSERT_EQ(r.sections.size(), 4u);
  EXPECT_EQ(r.sections[3], d);
}

TEST(SectionAssembler, PayloadAfterStuffingWaitsForTheNextStart) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  // A continuation packet holding a whole section is not a section start.
  a.PushPayload(Header(false), Payload(kPat).data(), 1, r);
  EXPECT_EQ(r.sections.size(), 1u);
  // A start packet whose pointer leads to stuffing starts nothing.
  a.PushPayload(Header(true), Payload({0x00}).data(), 1, r);
  EXPECT_EQ(a.assembling(0x100), 0);
  a.PushPayload(Header(false), Payload(kPat).data(), 1, r);
  EXPECT_EQ(r.sections.size(), 1u);
}

TEST(SectionAssembler, BadCrcAfterAGoodSectionDropsTheRest) {
  const Bytes second = test::PatSection(0x10, 4, {{1, 0x101}});
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat, test::CorruptCrc(second), second})).data(),
                1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(a.assembling(0x100), 0);
  EXPECT_EQ(a.buffered(0x100), 0u);
}

TEST(SectionAssembler, UnfinishedSectionIsClearedByTheNextStart) {
  const Bytes eit = LongEit();
  SectionAssembler a;
  Recorder r;
  Bytes packet = test::Concat({{0x00}, kPat, eit});
  packet.resize(184);
  a.PushPayload(Header(true), packet.data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_GT(a.buffered(0x100), 0u);
  // The continuation was lost: the next start begins afresh.
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 2u);
  EXPECT_EQ(r.sections[1], kPat);
}

TEST(SectionAssembler, PointerFieldPastPayloadAbandonsTheSection) {
  SectionAssembler a;
  Recorder r;
  const Bytes data = test::Concat({{0x00}, LongEit()});
  a.PushPayload(Header(true), Bytes(data.begin(), data.begin() + 184).data(), 1, r);
  EXPECT_EQ(a.assembling(0x100), 1);
  a.PushPayload(Header(true), Payload({200}).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  EXPECT_EQ(a.assembling(0x100), 0);
  EXPECT_EQ(a.buffered(0x100), 0u);
}

TEST(SectionAssembler, AdaptationFieldPastPayloadReadsNothing) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true, 3), Payload({255}).data(), 1, r);
  a.PushPayload(Header(false, 2), Payload({183}).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  EXPECT_EQ(a.buffered(0x100), 0u);
}

TEST(SectionAssembler, OversizedSectionNeverCompletes) {
  // section_length 4094: 4097 bytes, one more than the buffer holds.
  Bytes start{0x00, 0x42, 0xFF, 0xFE};
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(start).data(), 1, r);
  for (int i = 0; i < 30; ++i) a.PushPayload(Header(false), Payload(Bytes(184, 0)).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  EXPECT_EQ(a.buffered(0x100), SectionAssembler::kBufferSize);
}

TEST(SectionAssembler, ShortSectionWithoutCrcFails) {
  SectionAssembler a;
  Recorder r;
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, test::TdtSection(0xE39A, 0x12, 0x34, 0x56)})).data(), 1, r);
  EXPECT_TRUE(r.sections.empty());
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, test::TotSection(0xE39A, 0x12, 0x34, 0x56)})).data(), 1, r);
  ASSERT_EQ(r.sections.size(), 1u);
  EXPECT_EQ(r.headers[0].HeaderLength(), 3u);
  EXPECT_EQ(r.headers[0].table_id_extension, 0);
}

TEST(SectionAssembler, ResetInsideTheSinkContinuesOnEmptyState) {
  struct Resetting final : SectionSink {
    explicit Resetting(SectionAssembler& a) : a(a) {}
    void OnSection(int, const PacketHeader&, const SectionHeader&, const uint8_t*, uint32_t) override {
      ++calls;
      a.Reset();
    }
    SectionAssembler& a;
    int calls = 0;
  };
  SectionAssembler a;
  Resetting sink(a);
  const Bytes second = test::PatSection(0x10, 4, {{1, 0x101}});
  a.PushPayload(Header(true), Payload(test::Concat({{0x00}, kPat, second})).data(), 1, sink);
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(a.buffered(0x100), 0u);
  a.PushPayload(Header(false), Payload({}).data(), 1, sink);
  EXPECT_EQ(sink.calls, 1);
}

}  // namespace
}  // namespace pelkan
