#include "streamgen/test_scrambler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace pelkan::streamgen {
namespace {

std::vector<uint8_t> MakePacket(size_t size, bool adaptation) {
  std::vector<uint8_t> unit(size, 0);
  uint8_t* p = unit.data() + (size == 192 ? 4 : 0);
  p[0] = 0x47;
  p[1] = 0x41;
  p[2] = 0x11;
  p[3] = adaptation ? 0x35 : 0x15;
  for (size_t i = 4; i < 188; ++i) p[i] = static_cast<uint8_t>(i);
  if (adaptation) {
    p[4] = 7;
    p[5] = 0x10;
  }
  if (size == 192) unit[0] = 0x12;
  return unit;
}

TEST(TestScrambler, ScramblesPayloadAndRestoresIt) {
  for (size_t size : {size_t{188}, size_t{192}, size_t{204}}) {
    const std::vector<uint8_t> clear = MakePacket(size, false);
    std::vector<uint8_t> unit = clear;
    ApplyTestScrambling(unit.data(), size);
    const uint8_t* p = unit.data() + (size == 192 ? 4 : 0);
    EXPECT_EQ(p[3] & 0xC0, 0xC0) << size;
    EXPECT_EQ(p[3] & 0x3F, clear[(size == 192 ? 4 : 0) + 3] & 0x3F);
    int changed = 0;
    for (size_t i = 4; i < 188; ++i) changed += p[i] != clear[(size == 192 ? 4 : 0) + i];
    EXPECT_GT(changed, 150) << size;
    // The prefix and trailer stay as they were.
    if (size == 192) {
      EXPECT_EQ(unit[0], 0x12);
    }
    if (size == 204) {
      EXPECT_EQ(unit[200], 0);
    }
    EXPECT_TRUE(RemoveTestScrambling(unit.data(), size));
    EXPECT_EQ(unit, clear) << size;
  }
}

TEST(TestScrambler, AdaptationFieldStaysClear) {
  const std::vector<uint8_t> clear = MakePacket(188, true);
  std::vector<uint8_t> unit = clear;
  ApplyTestScrambling(unit.data(), 188);
  for (size_t i = 4; i < 12; ++i) EXPECT_EQ(unit[i], clear[i]) << i;
  EXPECT_NE(unit[12] ^ unit[13] ^ unit[14], clear[12] ^ clear[13] ^ clear[14]);
  EXPECT_TRUE(RemoveTestScrambling(unit.data(), 188));
  EXPECT_EQ(unit, clear);
}

TEST(TestScrambler, LeavesOtherUnitsAlone) {
  std::vector<uint8_t> clear = MakePacket(188, false);
  std::vector<uint8_t> unit = clear;
  EXPECT_FALSE(RemoveTestScrambling(unit.data(), 188));  // not scrambled
  EXPECT_EQ(unit, clear);
  unit[0] = 0x48;  // no sync byte
  ApplyTestScrambling(unit.data(), 188);
  EXPECT_EQ(unit[3], clear[3]);
  EXPECT_FALSE(RemoveTestScrambling(unit.data(), 188));
  unit = clear;
  ApplyTestScrambling(unit.data(), 100);  // not a packet size
  EXPECT_EQ(unit, clear);
  ApplyTestScrambling(nullptr, 188);
  // A scrambled packet whose adaptation field claims the whole packet carries no payload.
  unit = clear;
  unit[3] = 0xF5;
  unit[4] = 200;
  EXPECT_FALSE(RemoveTestScrambling(unit.data(), 188));
}

TEST(TestScrambler, TakesA192ByteUnitCutAtTheSyncByte) {
  // A receiver aligned on sync bytes passes the packet followed by the next packet's prefix.
  std::vector<uint8_t> prefixed = MakePacket(192, false);
  std::vector<uint8_t> cut(prefixed.begin() + 4, prefixed.end());
  cut.insert(cut.end(), {0x00, 0x12, 0x34, 0x56});
  ApplyTestScrambling(prefixed.data(), 192);
  ApplyTestScrambling(cut.data(), 192);
  EXPECT_TRUE(std::equal(cut.begin(), cut.begin() + 188, prefixed.begin() + 4));
  EXPECT_EQ(cut[188], 0x00);
  EXPECT_EQ(cut[191], 0x56);
  EXPECT_TRUE(RemoveTestScrambling(cut.data(), 192));
  EXPECT_EQ(cut[3] & 0xC0, 0);
}

TEST(TestScrambler, KeystreamIsFixed) {
  std::vector<uint8_t> a = MakePacket(188, false);
  std::vector<uint8_t> b = MakePacket(188, false);
  ApplyTestScrambling(a.data(), 188);
  ApplyTestScrambling(b.data(), 188);
  EXPECT_EQ(a, b);
  // Scrambling twice is refused: the packet is already marked.
  std::vector<uint8_t> c = a;
  ApplyTestScrambling(c.data(), 188);
  EXPECT_EQ(c, a);
}

}  // namespace
}  // namespace pelkan::streamgen
