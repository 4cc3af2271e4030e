#include "ts/pid_checker.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;
using Kind = CheckEvent::Kind;

// One hand-made packet: everything the checker reads from a header, and an adaptation field with
// the discontinuity_indicator when `discontinuity` is set (adaptation_field_control 3).
struct P {
  uint16_t pid;
  uint8_t cc;
  uint8_t afc = 1;
  bool error = false;
  uint8_t scrambling = 0;
  bool discontinuity = false;
};

Bytes Packets(std::initializer_list<P> packets) {
  Bytes out;
  for (const P& p : packets) {
    const uint8_t afc = p.discontinuity ? 3 : p.afc;
    Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = static_cast<uint8_t>((p.error ? 0x80 : 0) | (p.pid >> 8 & 0x1F));
    packet[2] = static_cast<uint8_t>(p.pid);
    packet[3] = static_cast<uint8_t>(p.scrambling << 6 | afc << 4 | (p.cc & 0x0F));
    if (afc & 2) {
      packet[4] = afc == 2 ? 183 : 1;
      packet[5] = p.discontinuity ? 0x80 : 0x00;
    }
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

// A run of payload packets of `pid` with counters first, first + 1, ... (mod 16).
Bytes CcRun(uint16_t pid, int first, int count) {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    const Bytes one = Packets({{pid, static_cast<uint8_t>((first + i) & 0x0F)}});
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

void CheckAll(PidChecker& c, const Bytes& stream, uint64_t base = 0) {
  for (size_t pos = 0; pos + 188 <= stream.size(); pos += 188) c.Check(stream.data() + pos, base + pos);
}

std::map<uint16_t, PidCounts> ByPid(const PidChecker& c) {
  std::map<uint16_t, PidCounts> m;
  for (const auto& [pid, counts] : c.Pids()) m[pid] = counts;
  return m;
}

TEST(PidChecker, RemovedRunsOfOneThreeAndFourteenPacketsCountEighteenDrops) {
  // 100 packets of PID 0x111 with packets 10, 40-42 and 70-83 taken out; PID 0x112 untouched.
  Bytes stream;
  int removed = 0;
  for (int i = 0; i < 100; ++i) {
    const bool gone = i == 10 || (i >= 40 && i <= 42) || (i >= 70 && i <= 83);
    if (gone) {
      ++removed;
    } else {
      const Bytes one = CcRun(0x111, i, 1);
      stream.insert(stream.end(), one.begin(), one.end());
    }
    const Bytes other = CcRun(0x112, i, 1);
    stream.insert(stream.end(), other.begin(), other.end());
  }
  PidChecker c;
  CheckAll(c, stream);
  const auto pids = ByPid(c);
  EXPECT_EQ(removed, 18);
  EXPECT_EQ(pids.at(0x111).packets, 82u);
  EXPECT_EQ(pids.at(0x111).drop, 18u);
  EXPECT_EQ(pids.at(0x112).drop, 0u);
  EXPECT_EQ(c.Totals().drop, 18u);
  EXPECT_EQ(c.Totals().packets, 182u);

  // One event per gap, with the counter expected and the one found, at the packet after the gap.
  ASSERT_EQ(c.events().size(), 3u);
  const CheckEvent& e = c.events()[2];
  EXPECT_EQ(e.kind, Kind::kDrop);
  EXPECT_EQ(e.pid, 0x111);
  EXPECT_EQ(e.missing, 14u);
  EXPECT_EQ(e.expected, 70 & 0x0F);
  EXPECT_EQ(e.found, 84 & 0x0F);
  EXPECT_EQ(e.offset, (84u * 2 - 18) * 188);  // the packet of 0x111 with counter 84
  EXPECT_EQ(c.events()[0].missing, 1u);
  EXPECT_EQ(c.events()[1].missing, 3u);
}

TEST(PidChecker, OneRepeatIsADuplicateTwoRepeatsAreFifteenDrops) {
  PidChecker once;
  CheckAll(once, Packets({{0x100, 4}, {0x100, 5}, {0x100, 5}, {0x100, 6}}));
  EXPECT_EQ(once.Totals().drop, 0u);
  EXPECT_EQ(once.Totals().packets, 4u);

  PidChecker twice;
  CheckAll(twice, Packets({{0x100, 4}, {0x100, 5}, {0x100, 5}, {0x100, 5}, {0x100, 6}}));
  EXPECT_EQ(twice.Totals().drop, 15u);
}

TEST(PidChecker, ErrorPacketsAreCountedAndStillTakePartInContinuity) {
  PidChecker c;
  // The error packet carries the expected counter: no drop. The next one skips two: two drops.
  CheckAll(c, Packets({{0x100, 0}, {0x100, 1, 1, true}, {0x100, 4}, {0x100, 5, 1, true}}));
  EXPECT_EQ(c.Totals().error, 2u);
  EXPECT_EQ(c.Totals().drop, 2u);
  ASSERT_EQ(c.events().size(), 3u);
  EXPECT_EQ(c.events()[0].kind, Kind::kError);
  EXPECT_EQ(c.events()[1].kind, Kind::kDrop);
  EXPECT_EQ(c.events()[2].kind, Kind::kError);
}

TEST(PidChecker, ScrambledPacketsAreCountedWithTheStartAndEndOfScrambling) {
  PidChecker c;
  CheckAll(c, Packets({{0x100, 0},
                       {0x100, 1, 1, false, 2},
                       {0x100, 2, 1, false, 3},
                       {0x100, 3},
                       {0x100, 4, 1, false, 2}}));
  EXPECT_EQ(c.Totals().scrambled, 3u);
  EXPECT_EQ(c.Totals().drop, 0u);
  ASSERT_EQ(c.events().size(), 3u);
  EXPECT_EQ(c.events()[0].kind, Kind::kScramblingStart);
  EXPECT_EQ(c.events()[0].offset, 188u);
  EXPECT_EQ(c.events()[1].kind, Kind::kScramblingEnd);
  EXPECT_EQ(c.events()[1].offset, 3u * 188);
  EXPECT_EQ(c.events()[2].kind, Kind::kScramblingStart);
}

TEST(PidChecker, DiscontinuityIndicatorRestartsTheCount) {
  PidChecker c;
  P jump{0x100, 11};
  jump.discontinuity = true;
  CheckAll(c, Packets({{0x100, 0}, {0x100, 1}, jump, {0x100, 12}, {0x100, 14}}));
  EXPECT_EQ(c.Totals().drop, 1u);  // only 12 -> 14
}

TEST(PidChecker, AdaptationOnlyPacketsNeitherAdvanceNorBreakTheCount) {
  PidChecker c;
  // Adaptation-only packets keep the counter of their predecessor (or any other): no drop, and the
  // payload packet after them continues from the last payload packet.
  CheckAll(c, Packets({{0x100, 0}, {0x100, 0, 2}, {0x100, 9, 2}, {0x100, 1}, {0x100, 2}}));
  EXPECT_EQ(c.Totals().drop, 0u);
  EXPECT_EQ(c.Totals().packets, 5u);
}

TEST(PidChecker, NullPacketsAreLeftOutAndTheFirstPacketOfAPidSetsItsCounter) {
  PidChecker c;
  CheckAll(c, Packets({{0x1FFF, 3}, {0x1FFF, 9, 1, true}, {0x200, 7}, {0x201, 15}, {0x200, 8}}));
  EXPECT_EQ(c.packets_checked(), 5u);
  EXPECT_EQ(c.Totals().packets, 3u);
  EXPECT_EQ(c.Totals().error, 0u);
  EXPECT_EQ(c.Totals().drop, 0u);
  const auto pids = c.Pids();
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_EQ(pids[0].first, 0x200);  // PID order
  EXPECT_EQ(pids[1].first, 0x201);
}

TEST(PidChecker, ContentComesFromThePatAndPmtOfTheCheckedStream) {
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0, 0x0010}, {0x0400, 0x1F0}, {0x0401, 0x1F1}}));
  b.Section(0x1F0,
            test::PmtSection(0x0400, 0, 0x100,
                             {{0x02, 0x100, {}}, {0x0F, 0x110, {}}, {0x06, 0x130, {}}, {0x0D, 0x140, {}}}));
  b.Section(0x1F1, test::PmtSection(0x0401, 0, 0x200, {{0x1B, 0x200, {}}, {0x02, 0x0011, {}}}));
  b.Packet(0x100, {}).Packet(0x150, {}).Packet(0x0014, {}).Packet(0x0012, {});
  PidChecker c;
  CheckAll(c, b.bytes());
  EXPECT_EQ(c.Services(), (std::vector<uint16_t>{0x0400, 0x0401}));
  const std::map<uint16_t, std::string> expected = {{0x0000, "PAT"},  {0x0010, "NIT"},  {0x0011, "SDT"},
                                                    {0x0012, "EIT"},  {0x0014, "TOT"},  {0x1F0, "PMT"},
                                                    {0x100, "video"}, {0x110, "audio"}, {0x130, "caption"},
                                                    {0x140, "data"},  {0x200, "video"}, {0x150, ""}};
  for (const auto& [pid, name] : expected) EXPECT_EQ(PidContentName(c.Content(pid)), name) << std::hex << pid;
}

// A PID's tables are read from each of its packets, not only from its first: a PAT and a PMT that
// come again (their counters following on) with more in them add what they name.
TEST(PidChecker, TablesThatComeAgainOnTheirPidsAreReadAgain) {
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0x0400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 0, 0x100, {{0x02, 0x100, {}}}));
  b.Section(0x0000, test::PatSection(1, 1, {{0x0400, 0x1F0}, {0x0401, 0x1F1}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 1, 0x100, {{0x02, 0x100, {}}, {0x0F, 0x110, {}}}));
  PidChecker c;
  CheckAll(c, b.bytes());
  EXPECT_EQ(c.Totals().drop, 0u);
  EXPECT_EQ(c.Services(), (std::vector<uint16_t>{0x0400, 0x0401}));
  EXPECT_STREQ(PidContentName(c.Content(0x1F1)), "PMT");
  EXPECT_STREQ(PidContentName(c.Content(0x110)), "audio");
}

TEST(PidChecker, TableHasOneLinePerPidAndTotalsWithAlignedColumns) {
  PidChecker c;
  CheckAll(c, Packets({{0x0111, 0},
                       {0x0111, 1},
                       {0x0111, 2, 1, true},
                       {0x0014, 0},
                       {0x0111, 6},
                       {0x0111, 7},
                       {0x0111, 8},
                       {0x0111, 9},
                       {0x0111, 10},
                       {0x0111, 11},
                       {0x0111, 12},
                       {0x0111, 13}}));
  EXPECT_EQ(PidTableLines(c), (std::vector<std::string>{
                                  "PID 0x0014  packets  1  drop 0  error 0  scrambled 0  TOT",
                                  "PID 0x0111  packets 11  drop 3  error 1  scrambled 0",
                                  "total       packets 12  drop 3  error 1  scrambled 0",
                              }));
}

TEST(PidChecker, KeepsTheFirstThousandEventsAndCountsTheRest) {
  PidChecker c;
  Bytes stream;
  for (int i = 0; i < 1500; ++i) {
    const Bytes one =
        Packets({{0x100, static_cast<uint8_t>(i * 2)}});  // every packet after the first skips one
    stream.insert(stream.end(), one.begin(), one.end());
  }
  CheckAll(c, stream);
  EXPECT_EQ(c.Totals().drop, 1499u);
  EXPECT_EQ(c.event_count(), 1499u);
  ASSERT_EQ(c.events().size(), PidChecker::kMaxEvents);
  EXPECT_EQ(c.events().back().offset, 1000u * 188);
}

TEST(PidChecker, StampEventsPlacesEventsBetweenTheAnchors) {
  PidChecker c;
  CheckAll(c, Packets({{0x100, 0}, {0x100, 2}, {0x100, 3}, {0x100, 5}}), 1000);
  ASSERT_EQ(c.events().size(), 2u);  // at offsets 1188 and 1564
  c.StampEvents(0, 1000, 50000, 1752, 50400);
  EXPECT_EQ(c.events()[0].tick, 50000u + 188 * 400 / 752);
  EXPECT_EQ(c.events()[1].tick, 50000u + 564 * 400 / 752);
  c.StampEvents(1, 1564, 0xFFFFFFF0u, 1564, 0x10u);  // the tick wraps; an empty span takes the end
  EXPECT_EQ(c.events()[1].tick, 0x10u);
}

}  // namespace
}  // namespace pelkan
