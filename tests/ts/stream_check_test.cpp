#include "ts/stream_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;

// 300 packets of video and audio with a PAT and a PMT; the audio PID loses 3 packets (100-102).
Bytes AudioWithGap() {
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0x0400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 0, 0x100, {{0x02, 0x100, {}}, {0x0F, 0x110, {}}}));
  for (int i = 0; i < 300; ++i) {
    b.Packet(0x100, {});
    if (i < 100 || i > 102) b.PacketCc(0x110, static_cast<uint8_t>(i & 0x0F), {});
  }
  return b.bytes();
}

TEST(StreamCheck, JunkBetweenPacketsIsASyncLossWithoutALostPacket) {
  const Bytes clean = AudioWithGap();
  const size_t cut = 150 * 188;
  Bytes junky(clean.begin(), clean.begin() + cut);
  const Bytes junk = {0x12, 0x47, 0x00, 0x47, 0x99, 0x13, 0x47};
  junky.insert(junky.end(), junk.begin(), junk.end());
  junky.insert(junky.end(), clean.begin() + cut, clean.end());

  StreamCheck plain;
  plain.Feed(clean.data(), clean.size());
  StreamCheck damaged;
  damaged.Feed(junky.data(), junky.size());

  EXPECT_EQ(plain.sync_losses(), 0u);
  EXPECT_EQ(damaged.sync_losses(), 1u);
  EXPECT_EQ(damaged.packet_size(), 188u);
  EXPECT_EQ(damaged.checker().Totals().packets, plain.checker().Totals().packets);
  EXPECT_EQ(damaged.checker().Totals().packets, clean.size() / 188);
  EXPECT_EQ(damaged.checker().Totals().drop, 3u);
  EXPECT_STREQ(PidContentName(damaged.checker().Content(0x110)), "audio");
}

TEST(StreamCheck, PacketsOf192And204BytesAndAnySplitGiveTheSameCounts) {
  const Bytes stream = AudioWithGap();
  for (uint32_t size : {188u, 192u, 204u}) {
    const Bytes framed = size == 188 ? stream : test::Reframe(stream, size, 0x47);
    // Junk before the first packet is skipped without a sync loss.
    Bytes input = {0x00, 0x01, 0x02};
    input.insert(input.end(), framed.begin(), framed.end());
    StreamCheck whole;
    whole.Feed(input.data(), input.size());
    StreamCheck pieces;
    for (size_t pos = 0; pos < input.size(); pos += 1000)
      pieces.Feed(input.data() + pos, std::min<size_t>(1000, input.size() - pos));
    for (const StreamCheck* c : {&whole, &pieces}) {
      EXPECT_EQ(c->packet_size(), size);
      EXPECT_EQ(c->sync_losses(), 0u) << size;
      EXPECT_EQ(c->checker().Totals().packets, stream.size() / 188) << size;
      EXPECT_EQ(c->checker().Totals().drop, 3u) << size;
    }
  }
}

TEST(StreamCheck, FeedFileReadsAFileAndTellsWhyOneCannotBeRead) {
  const Bytes stream = AudioWithGap();
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/stream_check_test.ts";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  StreamCheck c;
  std::string error;
  ASSERT_TRUE(c.FeedFile(path, &error)) << error;
  EXPECT_EQ(c.checker().Totals().packets, stream.size() / 188);
  EXPECT_EQ(c.checker().Totals().drop, 3u);
  std::remove(path.c_str());

  StreamCheck missing;
  EXPECT_FALSE(missing.FeedFile(path, &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(missing.FeedFile(PELKAN_BINARY_DIR, &error));
  EXPECT_EQ(error, "Is a directory");
}

}  // namespace
}  // namespace pelkan
