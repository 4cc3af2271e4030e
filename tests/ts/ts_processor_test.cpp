#include "ts/ts_processor.h"

#include <gtest/gtest.h>

#include <deque>

#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::ProcessorHarness;
using test::TsBuilder;

// n payload packets on `pid` with running continuity counters.
Bytes Packets(int n, uint16_t pid = 0x100) {
  TsBuilder b;
  for (int i = 0; i < n; ++i) b.Packet(pid, Bytes(184, static_cast<uint8_t>(i)));
  return b.bytes();
}

TEST(TsProcessorAlign, ShortFirstFeedWaitsForSearchWindow) {
  ProcessorHarness h;
  const Bytes s = Packets(10);
  h.proc.Feed(s.data(), 611, h.stats);
  EXPECT_EQ(h.stats.packet_size.load(), 0);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 0u);
  h.proc.Feed(s.data() + 611, static_cast<int>(s.size() - 611), h.stats);
  EXPECT_EQ(h.stats.packet_size.load(), 188);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 10u);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
}

TEST(TsProcessorAlign, GarbageBeforeFirstSyncIsDiscarded) {
  ProcessorHarness h;
  h.Feed(test::Concat({Bytes{1, 2, 3, 4, 5}, Packets(5)}));
  EXPECT_EQ(h.stats.packet_size.load(), 188);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
  ASSERT_EQ(h.log.Count(EVENT_PACKET), 5u);
  EXPECT_EQ(h.log.events[0].data[0], 0x47);
}

TEST(TsProcessorAlign, DetectsEachPacketSize) {
  for (uint32_t size : {188u, 192u, 204u}) {
    ProcessorHarness h;
    h.Feed(test::Reframe(Packets(8), size));
    EXPECT_EQ(h.stats.packet_size.load(), size);
    ASSERT_EQ(h.log.Count(EVENT_PACKET), 8u) << size;
    EXPECT_EQ(h.log.events[0].count, size);
    EXPECT_EQ(h.log.events[0].data.size(), size);
  }
}

TEST(TsProcessorAlign, SizeOf188WinsWhen192AlsoQualifies) {
  Bytes s = Packets(6);
  for (size_t pos = 192; pos < s.size(); pos += 188) s[pos] = 0x47;  // 0x47 also 192 bytes after each sync
  ProcessorHarness h;
  h.Feed(s);
  EXPECT_EQ(h.stats.packet_size.load(), 188);
}

TEST(TsProcessorAlign, FailedSearchDiscardsOnlyTheSearchedBytes) {
  ProcessorHarness h;
  // 700 bytes without 0x47, then good packets in the same chunk: only the garbage goes.
  h.Feed(test::Concat({Bytes(700, 0x00), Packets(5)}));
  EXPECT_EQ(h.stats.packet_size.load(), 188);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 5u);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
}

TEST(TsProcessorAlign, GarbageBurstInAChunkLosesNoGoodPacket) {
  // A whole transfer: packets, a burst of 300 bytes of garbage, packets.
  const Bytes before = Packets(40);
  const Bytes after = Packets(130, 0x101);
  const Bytes chunk = test::Concat({before, Bytes(300, 0xA5), after});
  for (size_t piece : {chunk.size(), size_t{188}, size_t{611}}) {
    ProcessorHarness h;
    h.FeedChunked(chunk, piece);
    EXPECT_EQ(h.stats.sync_losses.load(), 1u) << piece;
    ASSERT_EQ(h.log.Count(EVENT_PACKET), 170u) << piece;
    EXPECT_EQ(h.log.events.back().data, Bytes(after.end() - 188, after.end()));
  }
}

TEST(TsProcessorAlign, CorruptSyncCountsOneLossAndResyncsAtThatByte) {
  Bytes s = Packets(20);
  s[5 * 188] = 0x00;  // packet 5 loses its sync byte
  ProcessorHarness h;
  h.Feed(s);
  EXPECT_EQ(h.stats.sync_losses.load(), 1u);
  EXPECT_EQ(h.stats.packet_size.load(), 188);
  // Packets 0-4 and 6-19 come through; the search skipped the damaged one.
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 19u);
}

TEST(TsProcessorAlign, ChunkingDoesNotChangeTheResult) {
  Bytes s = test::Concat({Bytes{9, 9, 9}, Packets(300)});
  s[100 * 188 + 3] = 0x11;  // a lost sync byte in the middle
  ProcessorHarness whole;
  whole.Feed(s);
  for (size_t chunk : {1u, 7u, 187u, 188u, 189u, 611u, 612u, 4096u}) {
    ProcessorHarness h;
    h.FeedChunked(s, chunk);
    EXPECT_EQ(h.stats.sync_losses.load(), whole.stats.sync_losses.load()) << chunk;
    ASSERT_EQ(h.log.events.size(), whole.log.events.size()) << chunk;
    for (size_t i = 0; i < h.log.events.size(); ++i) ASSERT_EQ(h.log.events[i].data, whole.log.events[i].data);
  }
}

TEST(TsProcessorAlign, ZeroedPacketSizeStartsANewSearch) {
  ProcessorHarness h;
  h.Feed(Packets(5));
  h.stats.Reset();
  h.Feed(test::Concat({Bytes{1, 2}, Packets(5)}));
  EXPECT_EQ(h.stats.packet_size.load(), 188);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
}

TEST(TsProcessorAlign, OversizedChunkCountsInputOverflow) {
  ProcessorHarness h;
  Bytes big(TsProcessor::kInputCapacity + 188);
  for (size_t pos = 0; pos + 188 <= big.size(); pos += 188) big[pos] = 0x47, big[pos + 1] = 0x01;
  h.Feed(big);
  EXPECT_EQ(h.stats.input_overflows.load(), 1u);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), TsProcessor::kInputCapacity / 188);
}

TEST(TsProcessorPackets, NullPacketsReachNothingButCountScrambling) {
  TsBuilder b;
  b.Null(3);
  Bytes s = b.bytes();
  s[188 + 3] |= 0x80;  // the second null packet claims to be scrambled
  s = test::Concat({s, Packets(3)});
  ProcessorHarness h;
  h.Feed(s);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 3u);
  EXPECT_EQ(h.stats.scrambled_packets.load(), 1u);
  EXPECT_EQ(h.proc.packet_count(), 6u);
}

TEST(TsProcessorPackets, ContinuityRule) {
  TsBuilder b;
  b.PacketCc(0x100, 5, {}, true);    // first packet of the PID: never an error
  b.PacketCc(0x100, 9, {}, false);   // jump without payload_unit_start: not counted
  b.PacketCc(0x100, 10, {}, true);   // compared with 9: fine
  b.PacketCc(0x100, 12, {}, true);   // break
  b.PacketCc(0x100, 13, {}, false);
  b.PacketCc(0x100, 15, {}, true);   // break
  b.PacketCc(0x100, 0, {}, true);    // wraps from 15 to 0: fine
  ProcessorHarness h;
  h.Feed(b.bytes());
  EXPECT_EQ(h.stats.continuity_errors.load(), 2u);
}

TEST(TsProcessorPackets, FinishWithoutDecoderEmitsOnlyStreamEnd) {
  ProcessorHarness h;
  h.proc.Finish(h.stats);
  ASSERT_EQ(h.log.events.size(), 1u);
  EXPECT_EQ(h.log.events[0].type, EVENT_STREAM_RESET);
  EXPECT_EQ(h.log.events[0].param, 0);
  EXPECT_EQ(h.log.events[0].count, 1u);
}

TEST(TsProcessorPackets, UnitsAfterTheHandlerIsUnsetAreStillCounted) {
  ProcessorHarness h;
  h.proc.SetEventHandler(nullptr, nullptr);
  Bytes s = Packets(4);
  s[3] |= 0x40;
  h.Feed(s);
  EXPECT_EQ(h.stats.scrambled_packets.load(), 1u);
  EXPECT_EQ(h.proc.packet_count(), 4u);
}

// A reader of the tables only (inspect, epg) turns the packet events off: nothing else changes.
TEST(TsProcessorPackets, WithoutPacketEventsOnlyThePacketsStayAway) {
  TsBuilder b;
  b.Section(0x0000, test::PatSection(0x7FE0, 1, {{0x0400, 0x01F0}}));
  Bytes s = test::Concat({b.bytes(), Packets(5)});
  s[188 + 3] |= 0x40;  // the first payload packet is scrambled
  for (const bool packets : {true, false}) {
    ProcessorHarness h;
    h.proc.SetPacketEvents(packets ? 1 : 0);
    h.Feed(s);
    EXPECT_EQ(h.log.Count(EVENT_PACKET), packets ? 6u : 0u);
    EXPECT_EQ(h.log.Count(EVENT_PROGRAM_LIST), 1u) << packets;
    EXPECT_EQ(h.proc.packet_count(), 6u) << packets;
    EXPECT_EQ(h.stats.scrambled_packets.load(), 1u) << packets;
  }
}

// A decoder that records its calls and answers from a script.
class ScriptedDecoder final : public B25Decoder {
 public:
  enum class Mode { kPassThrough, kRefuse, kHoldAll };
  explicit ScriptedDecoder(Mode mode) : mode_(mode) {}

  int Initialize(int) override { return 1; }
  void Release() override {}
  int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
    calls.push_back("Decode");
    if (mode_ == Mode::kRefuse) return 0;
    if (mode_ == Mode::kHoldAll) {
      held_.insert(held_.end(), data, data + length);
      *out = nullptr;
      *out_length = 0;
      return 1;
    }
    last_.assign(data, data + length);
    *out = last_.data();
    *out_length = length;
    return 1;
  }
  int Flush(uint8_t** out, int* out_length) override {
    calls.push_back("Flush");
    if (held_.empty()) return 0;
    last_ = held_;
    held_.clear();
    *out = last_.data();
    *out_length = static_cast<int>(last_.size());
    return 1;
  }
  void Reset() override { calls.push_back("Reset"); }

  std::vector<std::string> calls;

 private:
  Mode mode_;
  Bytes held_;
  Bytes last_;
};

TEST(TsProcessorDecoder, ResetAtConstructionAndDestruction) {
  ScriptedDecoder d(ScriptedDecoder::Mode::kPassThrough);
  { TsProcessor p(&d); }
  EXPECT_EQ(d.calls, (std::vector<std::string>{"Reset", "Reset"}));
}

TEST(TsProcessorDecoder, RefusingDecoderYieldsOnlyTheEndEvent) {
  ScriptedDecoder d(ScriptedDecoder::Mode::kRefuse);
  ProcessorHarness h(&d);
  TsBuilder b;
  b.Section(0, test::PatSection(1, 0, {{0x400, 0x1F0}}));
  h.Feed(test::Concat({b.bytes(), Packets(5)}));
  h.proc.Finish(h.stats);
  EXPECT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_STREAM_RESET}));
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 0u);
}

TEST(TsProcessorDecoder, HeldBackPacketsArriveAtFinish) {
  ScriptedDecoder d(ScriptedDecoder::Mode::kHoldAll);
  ProcessorHarness h(&d);
  h.Feed(Packets(6));
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 0u);
  h.proc.Finish(h.stats);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 6u);
  EXPECT_EQ(h.log.events.back().type, EVENT_STREAM_RESET);
}

TEST(TsProcessorDecoder, PartialFlushLeavesTheRemainderUnprocessed) {
  // 1000 bytes at packet size 188: five whole units and 60 bytes that never make a unit.
  class FlushThousand final : public B25Decoder {
   public:
    int Initialize(int) override { return 1; }
    void Release() override {}
    int Decode(const uint8_t*, int, uint8_t**, int*) override { return 0; }
    int Flush(uint8_t** out, int* out_length) override {
      data = Packets(6);
      data.resize(1000);
      *out = data.data();
      *out_length = 1000;
      return 1;
    }
    void Reset() override {}
    Bytes data;
  } d;
  ProcessorHarness h(&d);
  h.Feed(Packets(4));
  h.proc.Finish(h.stats);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 5u);
}

TEST(TsProcessorDecoder, TransportStreamChangeResetsBetweenDecodes) {
  ScriptedDecoder d(ScriptedDecoder::Mode::kPassThrough);
  ProcessorHarness h(&d);
  TsBuilder b;
  b.Section(0, test::PatSection(1, 0, {{0x400, 0x1F0}}));
  b.Section(0, test::PatSection(2, 0, {{0x400, 0x1F0}}));
  h.Feed(test::Concat({b.bytes(), Packets(2)}));
  // Construction Reset, then Decode; the second PAT (another stream) resets once.
  std::vector<std::string> expected{"Reset", "Decode", "Decode", "Reset", "Decode", "Decode"};
  EXPECT_EQ(d.calls, expected);
}

TEST(TsProcessorDecoder, MisalignedOutputUnitsAreDroppedSilently) {
  class Shifted final : public B25Decoder {
   public:
    int Initialize(int) override { return 1; }
    void Release() override {}
    int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
      buf.assign(data + 1, data + length);
      buf.push_back(0);
      *out = buf.data();
      *out_length = length;
      return 1;
    }
    int Flush(uint8_t**, int*) override { return 0; }
    void Reset() override {}
    Bytes buf;
  } d;
  ProcessorHarness h(&d);
  h.Feed(Packets(8));
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 0u);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
}

TEST(TsProcessorDecoder, OutputBeyondThePacketStageIsCountedAndCut) {
  // One call returns 1 MiB + 188 bytes of packets: the stage takes 1 MiB of them.
  class Flood final : public B25Decoder {
   public:
    int Initialize(int) override { return 1; }
    void Release() override {}
    int Decode(const uint8_t*, int, uint8_t** out, int* out_length) override {
      if (done) return 0;
      done = true;
      data = Packets(static_cast<int>(TsProcessor::kPacketStageCapacity / 188 + 2));
      data.resize(TsProcessor::kPacketStageCapacity + 188);
      *out = data.data();
      *out_length = static_cast<int>(data.size());
      return 1;
    }
    int Flush(uint8_t**, int*) override { return 0; }
    void Reset() override {}
    bool done = false;
    Bytes data;
  } d;
  ProcessorHarness h(&d);
  h.Feed(Packets(4));
  EXPECT_EQ(h.stats.packet_stage_overflows.load(), 1u);
  EXPECT_EQ(h.log.Count(EVENT_PACKET), TsProcessor::kPacketStageCapacity / 188);
}

}  // namespace
}  // namespace pelkan
