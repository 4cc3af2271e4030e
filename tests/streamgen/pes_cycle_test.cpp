#include "streamgen/pes_cycle.h"

#include <gtest/gtest.h>

#include <span>
#include <utility>
#include <vector>

#include "streamgen/elementary_streams.h"

namespace pelkan::streamgen {
namespace {

// Payload bytes of a template packet (after any adaptation field).
std::vector<uint8_t> Payload(const TemplatePacket& t) {
  size_t pos = 4;
  if (t.bytes[3] & 0x20) pos += 1u + t.bytes[4];
  return std::vector<uint8_t>(t.bytes.begin() + static_cast<std::ptrdiff_t>(pos), t.bytes.end());
}

std::vector<AccessUnit> Units(size_t count, size_t size) {
  std::vector<AccessUnit> units;
  for (size_t i = 0; i < count; ++i) {
    units.push_back({std::vector<uint8_t>(size, static_cast<uint8_t>(0x10 + i)), static_cast<uint32_t>(i * 3003)});
  }
  return units;
}

TEST(PesCycle, VideoCycleFillsExactlyTheRequestedPackets) {
  const PesCycle c = BuildVideoCycle(0x111, Units(15, 1000), 13'513'500, 300, 10);
  ASSERT_EQ(c.packets.size(), 300u);
  int starts = 0;
  for (size_t i = 0; i < c.packets.size(); ++i) {
    const TemplatePacket& t = c.packets[i];
    EXPECT_EQ(t.bytes[0], 0x47);
    EXPECT_EQ((t.bytes[1] & 0x1F) << 8 | t.bytes[2], 0x111);
    EXPECT_EQ(t.pcr, i % 10 == 0) << i;
    if (t.bytes[1] & 0x40) {
      ++starts;
      const std::vector<uint8_t> p = Payload(t);
      EXPECT_EQ(p[0] << 16 | p[1] << 8 | p[2], 0x000001);
      EXPECT_EQ(p[3], 0xE0);
      EXPECT_NE(t.pts_pos, 0);
    }
  }
  EXPECT_EQ(starts, 15);
  EXPECT_EQ(c.Due(300), c.ticks27);
  EXPECT_EQ(c.Due(150), c.ticks27 / 2);
}

// The stuffing packets of a video cycle share their bytes, and a moved cycle still holds its own.
TEST(PesCycle, AlikePacketsShareTheirBytesAcrossAMove) {
  PesCycle built = BuildVideoCycle(0x111, Units(15, 1000), 13'513'500, 3000, 10);
  std::vector<std::vector<uint8_t>> before;
  for (const TemplatePacket& t : built.packets) before.emplace_back(t.bytes.begin(), t.bytes.end());
  EXPECT_LT(built.pool.size(), built.packets.size() / 4);
  std::vector<PesCycle> cycles;
  cycles.push_back(std::move(built));
  cycles.push_back(BuildPesCycle(0x112, 0xC0, Units(1, 384), 576'000));  // the vector grows
  ASSERT_EQ(cycles[0].packets.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    const std::span<const uint8_t> bytes = cycles[0].packets[i].bytes;
    ASSERT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), before[i]) << i;
  }
}

TEST(PesCycle, VideoCycleGrowsWhenTheUnitsDoNotFit) {
  const PesCycle c = BuildVideoCycle(0x111, Units(15, 5000), 13'513'500, 10, 1000);
  EXPECT_GE(c.packets.size(), 15u * 28);
  // The first unit's bytes follow its PES header unchanged.
  const std::vector<uint8_t> p = Payload(c.packets[0]);
  EXPECT_EQ(p[14], 0x10);
  EXPECT_EQ(c.packets[0].pts_offset90, 0u);
}

TEST(PesCycle, ShortPesEndsWithAdaptationFieldStuffing) {
  const PesCycle c = BuildPesCycle(0x112, 0xC0, Units(1, 384), 576'000);
  ASSERT_EQ(c.packets.size(), 3u);
  size_t total = 0;
  for (const TemplatePacket& t : c.packets) total += Payload(t).size();
  EXPECT_EQ(total, 384u + 14);
  const TemplatePacket& last = c.packets[2];
  EXPECT_EQ(last.bytes[3] & 0x30, 0x30);
  EXPECT_EQ(last.bytes[4], 183 - (398 - 368));
  EXPECT_EQ(last.bytes[6], 0xFF);
  const std::vector<uint8_t> first = Payload(c.packets[0]);
  EXPECT_EQ(first[4] << 8 | first[5], 384 + 8);  // PES_packet_length
}

TEST(PesCycle, TimeStampFieldsAreEncodedAsTheStandardLaysThemOut) {
  uint8_t pts[5];
  WritePts(pts, 0x1'2345'6789ull);
  EXPECT_EQ(pts[0], 0x29);  // 0010, bits 32..30 = 100, marker
  const uint64_t v = ((uint64_t{pts[0]} >> 1 & 7) << 30) | (uint64_t{pts[1]} << 22) | (uint64_t{pts[2]} >> 1 << 15) |
                     (uint64_t{pts[3]} << 7) | (pts[4] >> 1);
  EXPECT_EQ(v, 0x1'2345'6789ull);
  uint8_t pcr[6];
  WritePcr(pcr, 27'000'000ull * 10 + 299);
  const uint64_t base = uint64_t{pcr[0]} << 25 | uint64_t{pcr[1]} << 17 | uint64_t{pcr[2]} << 9 |
                        uint64_t{pcr[3]} << 1 | pcr[4] >> 7;
  EXPECT_EQ(base, 900'000u);
  EXPECT_EQ((pcr[4] & 1) << 8 | pcr[5], 299);
  EXPECT_EQ(pcr[4] & 0x7E, 0x7E);
}

TEST(ElementaryStreams, AdtsFrameHasTheRequestedLength) {
  for (size_t size : {size_t{13}, size_t{100}, size_t{384}, size_t{768}}) {
    const std::vector<uint8_t> f = BuildAdtsSilence(size);
    EXPECT_LE(f.size(), size);
    EXPECT_GE(f.size() + 2, size) << size;
    EXPECT_EQ(f[0], 0xFF);
    EXPECT_EQ(f[1] & 0xF6, 0xF0);
    const size_t frame_length = (f[3] & 3u) << 11 | f[4] << 3 | f[5] >> 5;
    EXPECT_EQ(frame_length, f.size());
  }
}

TEST(ElementaryStreams, CaptionDataGroupCarriesItsCrc) {
  const std::vector<uint8_t> pes = BuildCaptionStatement("こんばんは");
  ASSERT_GT(pes.size(), 10u);
  EXPECT_EQ(pes[0], 0x80);
  const size_t group_size = pes[6] << 8 | pes[7];
  ASSERT_EQ(pes.size(), 3 + 5 + group_size + 2);
  // The CRC over the whole data group, CRC included, is 0.
  EXPECT_EQ(Crc16Ccitt(pes.data() + 3, pes.size() - 3), 0);
}

}  // namespace
}  // namespace pelkan::streamgen
