#include "ts/output_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "base/crc32.h"
#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::ProcessorHarness;
using test::TsBuilder;

// A PAT of two programmes, then packets on 0x100 and 0x200, then nulls.
Bytes Stream(uint32_t packet_size = 188) {
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0, 0x10}, {0x400, 0x1F0}, {0x401, 0x1F1}}));
  b.Packet(0x100, {1});
  b.Packet(0x200, {2});
  b.Null(3);
  b.Section(0, test::PatSection(1, 1, {{0, 0x10}, {0x400, 0x1F0}, {0x401, 0x1F1}}));
  return test::Reframe(b.bytes(), packet_size, 0xAA);
}

std::vector<test::RecordedEvent> PacketsOf(const test::EventLog& log, int output) {
  std::vector<test::RecordedEvent> out;
  for (const auto& e : log.OfType(EVENT_PACKET)) {
    if (e.param == output) out.push_back(e);
  }
  return out;
}

uint16_t PidOf(const Bytes& p) { return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]); }

TEST(OutputFilter, NewOutputPassesEverythingButNulls) {
  ProcessorHarness h;
  EXPECT_EQ(h.proc.AddOutput(1), 1);
  EXPECT_EQ(h.proc.AddOutput(1), 0);
  h.Feed(Stream());
  EXPECT_EQ(PacketsOf(h.log, 0).size(), 4u);
  EXPECT_EQ(PacketsOf(h.log, 1).size(), 4u);
  // Output 0 before output 1 for each packet.
  const auto packets = h.log.OfType(EVENT_PACKET);
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i].param, static_cast<int>(i % 2));
}

TEST(OutputFilter, PidModes) {
  ProcessorHarness h;
  h.proc.AddOutput(1);
  const uint16_t pid = 0x100;
  h.proc.SetOutputFilter(0, 0, nullptr, 0, 1, &pid, 1);  // all but 0x100
  h.proc.SetOutputFilter(1, 0, nullptr, 0, 0, &pid, 1);  // only 0x100
  h.Feed(Stream());
  std::vector<uint16_t> out0, out1;
  for (const auto& e : PacketsOf(h.log, 0)) out0.push_back(PidOf(e.data));
  for (const auto& e : PacketsOf(h.log, 1)) out1.push_back(PidOf(e.data));
  EXPECT_EQ(out0, (std::vector<uint16_t>{0, 0x200, 0}));
  EXPECT_EQ(out1, (std::vector<uint16_t>{0x100}));
}

TEST(OutputFilter, PatRewriteKeepsChosenProgramsWithValidCrc) {
  for (uint32_t size : {188u, 192u, 204u}) {
    ProcessorHarness h;
    h.proc.AddOutput(1);
    const uint16_t keep = 0x401;
    h.proc.SetOutputFilter(1, 0, &keep, 1, 1, nullptr, 0);
    h.Feed(Stream(size));
    const auto pats1 = PacketsOf(h.log, 1);
    ASSERT_EQ(pats1.size(), 4u);
    // The PAT is decoded before its packet reaches the outputs, so already the first one is rewritten.
    EXPECT_TRUE(std::equal(pats1[0].data.begin() + 4, pats1[0].data.end(), pats1[3].data.begin() + 4));
    const Bytes& p = pats1[3].data;
    ASSERT_EQ(p.size(), size);
    const uint8_t* section = p.data() + 5;
    const uint32_t section_length = static_cast<uint32_t>((section[1] & 0x0F) << 8 | section[2]);
    EXPECT_EQ(section_length, 13u);
    EXPECT_EQ(Crc32Mpeg2(section, section_length + 3), 0u);
    EXPECT_EQ(section[8], 0x04);
    EXPECT_EQ(section[9], 0x01);
    EXPECT_EQ(section[10], 0xE1);
    EXPECT_EQ(section[11], 0xF1);
    EXPECT_EQ(section[16], 0xFF);
    for (uint32_t i = 188; i < size; ++i) EXPECT_EQ(p[i], 0xAA);  // trailing bytes untouched
    // Output 0 gets the PAT as it was.
    const auto pats0 = PacketsOf(h.log, 0);
    EXPECT_EQ(pats0[3].data[7], 0x15);  // original section_length 21
  }
}

TEST(OutputFilter, ExcludeModeRewrite) {
  ProcessorHarness h;
  const uint16_t drop = 0x400;
  h.proc.SetOutputFilter(0, 1, &drop, 1, 1, nullptr, 0);
  h.Feed(Stream());
  const Bytes p = PacketsOf(h.log, 0)[3].data;
  EXPECT_EQ(p[5 + 8], 0x04);
  EXPECT_EQ(p[5 + 9], 0x01);
  EXPECT_EQ(p[7], 13);
}

TEST(OutputFilter, RewriteThatDoesNotFitLeavesThePacket) {
  std::vector<ProgramListEntry> many;
  for (uint16_t i = 1; i <= 50; ++i) many.push_back({i, static_cast<uint16_t>(0x100 + i)});
  std::vector<uint16_t> all;
  for (const auto& e : many) all.push_back(e.program_number);
  OutputFilter f;
  f.Set(0, all.data(), static_cast<uint32_t>(all.size()), 0, nullptr, 0);
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{1, 0x101}}));
  Bytes packet = b.bytes();
  const Bytes before = packet;
  f.RewritePat(packet.data(), 188, many);  // 50 entries need 212 bytes
  EXPECT_EQ(packet, before);
  // A pointer_field that points at the end of the packet.
  packet[4] = 183;
  const Bytes before2 = packet;
  f.RewritePat(packet.data(), 188, {many.data(), 1});
  EXPECT_EQ(packet, before2);
}

TEST(OutputFilter, ContinuationPacketIsNotRewritten) {
  OutputFilter f;
  const uint16_t keep = 1;
  f.Set(0, &keep, 1, 0, nullptr, 0);
  Bytes packet(188, 0x33);
  packet[0] = 0x47;
  packet[1] = 0x00;
  packet[2] = 0x00;
  packet[3] = 0x10;
  const Bytes before = packet;
  const ProgramListEntry e{1, 0x101};
  f.RewritePat(packet.data(), 188, {&e, 1});
  EXPECT_EQ(packet, before);
}

TEST(OutputFilter, ClearOperations) {
  ProcessorHarness h;
  h.proc.AddOutput(1);
  h.proc.AddOutput(5);
  const uint16_t pid = 0x100;
  h.proc.SetOutputFilter(9, 1, &pid, 1, 1, &pid, 1);  // no such output
  EXPECT_FALSE(h.proc.GetOutputFilter(9));
  h.proc.SetOutputFilter(1, 1, &pid, 1, 1, &pid, 1);
  h.proc.ClearOutputFilter(1, 0);
  const auto f = h.proc.GetOutputFilter(1);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->pids().empty());
  EXPECT_TRUE(f->programs().empty());
  EXPECT_EQ(f->pid_mode(), 1u);
  EXPECT_EQ(f->program_mode(), 1u);
  h.proc.ClearOutputFilter(7, 1);
  EXPECT_EQ(h.proc.OutputIds(), (std::vector<uint16_t>{0}));
}

TEST(OutputFilter, DuplicatesCollapse) {
  OutputFilter f;
  const uint16_t pids[] = {5, 5, 6};
  f.Set(0, nullptr, 3, 0, pids, 3);
  EXPECT_EQ(f.pids().size(), 2u);
  EXPECT_TRUE(f.programs().empty());
  EXPECT_TRUE(f.Passes(5));
  EXPECT_FALSE(f.Passes(7));
}

// The handler changes output 1's filter while the processor delivers to it: the change must apply
// from the next packet, and no lock may be held while the handler runs.
TEST(OutputFilter, HandlerMayChangeFilters) {
  struct Ctx {
    TsProcessor* proc;
    int delivered = 0;
  } ctx;
  TsProcessor proc;
  ctx.proc = &proc;
  proc.AddOutput(1);
  proc.SetEventHandler(
      [](uint32_t type, int32_t param, const uint8_t*, uint32_t, void* user) {
        auto* c = static_cast<Ctx*>(user);
        if (type != EVENT_PACKET || param != 1) return;
        ++c->delivered;
        const uint16_t none = 0x1000;
        c->proc->SetOutputFilter(1, 0, nullptr, 0, 0, &none, 1);
      },
      &ctx);
  CaptureStats stats;
  const Bytes s = Stream();
  proc.Feed(s.data(), static_cast<int>(s.size()), stats);
  EXPECT_EQ(ctx.delivered, 1);
}

// Every output's packets, one by one, each with the number of other events that came before it.
std::map<int, std::vector<std::pair<size_t, Bytes>>> PacketsInOrder(const test::EventLog& log) {
  std::map<int, std::vector<std::pair<size_t, Bytes>>> out;
  size_t others = 0;
  for (const auto& e : log.events) {
    if (e.type == EVENT_PACKET) {
      out[e.param].emplace_back(others, e.data);
    } else if (e.type == EVENT_PACKETS) {
      const uint32_t size = static_cast<uint32_t>(e.param) >> 16;
      EXPECT_EQ(e.count % size, 0u);
      for (uint32_t at = 0; at + size <= e.count; at += size) {
        out[e.param & 0xFFFF].emplace_back(others, Bytes(e.data.begin() + at, e.data.begin() + at + size));
      }
    } else {
      ++others;
    }
  }
  return out;
}

// Runs of packets carry each output exactly the packets, in the order and between the same other
// events, that single packets do, in far fewer calls; whatever the chunks, packet size or filter.
TEST(OutputFilter, PacketRunsCarryWhatSinglePacketsCarry) {
  struct Case {
    const char* name;
    size_t chunk;
    uint32_t packet_size;
    bool programme_filter;
  };
  const Case cases[] = {
      {"whole blocks", 188 * 170, 188, false},
      {"packets split between calls", 1000, 188, true},
      {"192-byte packets", 192 * 64 + 7, 192, true},
      {"one packet a call", 188, 188, false},
  };
  test::SyntheticOptions options;
  options.packets = 20000;
  const Bytes stream188 = test::SyntheticBroadcast(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes stream = test::Reframe(stream188, c.packet_size, 0xAA);
    ProcessorHarness singles;
    ProcessorHarness runs;
    runs.proc.SetPacketRuns(1);
    for (ProcessorHarness* h : {&singles, &runs}) {
      h->proc.AddOutput(1);
      if (c.programme_filter) {
        // The PAT rewritten without one programme, whose video stays out.
        const uint16_t programme = 0x0401;
        const uint16_t video = 0x0110;
        h->proc.SetOutputFilter(1, 1, &programme, 1, 1, &video, 1);
      }
      h->FeedChunked(stream, c.chunk);
    }
    const auto expected = PacketsInOrder(singles.log);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_EQ(PacketsInOrder(runs.log), expected);
    if (c.chunk > 188 * 10) {
      EXPECT_LT(runs.log.events.size() * 4, singles.log.events.size());
    }
  }
}

TEST(OutputFilterThreads, FiltersChangeWhileFeedRuns) {
  TsProcessor proc;
  proc.SetDecodePsi(1);
  proc.AddOutput(1);
  std::atomic<uint64_t> counts[2] = {0, 0};
  proc.SetEventHandler(
      [](uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
        if (type != EVENT_PACKET) return;
        auto* c = static_cast<std::atomic<uint64_t>*>(user);
        c[param & 1].fetch_add(1, std::memory_order_relaxed);
        ASSERT_EQ(count, 188u);
        ASSERT_EQ(data[0], 0x47);
      },
      counts);
  test::SyntheticOptions o;
  o.packets = 20000;
  const Bytes s = test::SyntheticBroadcast(o);
  std::atomic<bool> done{false};
  std::thread ui([&] {
    uint16_t i = 0;
    while (!done.load()) {
      const uint16_t programs[] = {0x400, static_cast<uint16_t>(0x400 + (i % 3))};
      const uint16_t pids[] = {0x100, 0x110, static_cast<uint16_t>(i & 0x1FFF)};
      proc.SetOutputFilter(1, i & 1, programs, 2, i & 2, pids, 3);
      proc.SetOutputFilter(0, 1, programs, 1, 1, pids, 1);
      if (i % 7 == 0) proc.ClearOutputFilter(1, 0);
      if (i % 50 == 0) {
        proc.ClearOutputFilter(0, 1);
        proc.AddOutput(1);
      }
      (void)proc.GetOutputFilter(1);
      ++i;
    }
  });
  CaptureStats stats;
  for (int round = 0; round < 5; ++round) {
    for (size_t pos = 0; pos < s.size(); pos += 0x8000) {
      proc.Feed(s.data() + pos, static_cast<int>(std::min<size_t>(0x8000, s.size() - pos)), stats);
    }
  }
  done = true;
  ui.join();
  EXPECT_GT(counts[0].load(), 0u);
  EXPECT_EQ(stats.sync_losses.load(), 0u);
}

}  // namespace
}  // namespace pelkan
