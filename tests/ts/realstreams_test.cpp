// Real broadcast packets (tests/data/realstreams, see ORIGINS.md there) through the processor.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "platform/text_codec.h"
#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::ProcessorHarness;

Bytes ReadFile(const char* name) {
  std::ifstream f(std::string(PELKAN_TEST_DATA_DIR) + "/realstreams/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(RealStreams, IsdbTb204ByteStreamAlignsAt204) {
  const Bytes s = ReadFile("tsduck-test_ref_test-171.1_isdbtb_204byte.ts");
  ASSERT_EQ(s.size(), 200u * 204);
  ProcessorHarness h;
  h.FeedChunked(s, 0x8000);
  EXPECT_EQ(h.stats.packet_size.load(), 204);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
  EXPECT_EQ(h.proc.packet_count(), 200u);
  for (const auto& e : h.log.OfType(EVENT_PACKET)) ASSERT_EQ(e.count, 204u);
}

TEST(RealStreams, TerrestrialPsiGivesProgrammesNamesNetworkAndComponents) {
  ProcessorHarness h;
  h.Feed(ReadFile("ariblib_tokyomx_psi.ts"));
  EXPECT_EQ(h.stats.packet_size.load(), 188);

  const auto lists = h.log.OfType(EVENT_PROGRAM_LIST);
  ASSERT_EQ(lists.size(), 1u);
  std::vector<std::pair<uint16_t, uint16_t>> programs;
  for (uint32_t i = 0; i < lists[0].count; ++i) {
    const auto e = test::PayloadAs<ProgramListEntry>(lists[0], i);
    programs.emplace_back(e.program_number, e.pmt_pid);
  }
  EXPECT_EQ(programs, (std::vector<std::pair<uint16_t, uint16_t>>{
                          {0x5C38, 0x0101}, {0x5C39, 0x0102}, {0x5DB8, 0x1FC8}, {0x5DB9, 0x1FC9}}));

  std::map<int, std::string> names;
  for (const auto& e : h.log.OfType(EVENT_SERVICE_NAME)) {
    names[e.param] = platform::SjisToUtf8(test::PayloadAs<ServiceNames>(e).service_name);
  }
  EXPECT_EQ(names[0x5C38], "ＴＯＫＹＯ　ＭＸ１");
  EXPECT_EQ(names[0x5C39], "ＴＯＫＹＯ　ＭＸ１");
  EXPECT_EQ(names[0x5C3A], "ＴＯＫＹＯ　ＭＸ２");
  EXPECT_EQ(names[0x5DB8], "ＭＸワンセグ１");
  EXPECT_EQ(names[0x5DB9], "ＭＸワンセグ２");
  EXPECT_EQ(names.size(), 6u);

  const auto network = h.log.OfType(EVENT_NETWORK_NAME);
  ASSERT_EQ(network.size(), 1u);
  EXPECT_EQ(network[0].param, 0x7E87);
  EXPECT_EQ(platform::SjisToUtf8(reinterpret_cast<const char*>(network[0].data.data())), "東京７");

  const auto components = h.log.OfType(EVENT_COMPONENT_LIST);
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0].param, 0x5C38);
  ASSERT_EQ(components[0].count, 11u);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(components[0], 0).stream_type, 0x02);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(components[0], 0).elementary_pid, 0x0121);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(components[0], 1).stream_type, 0x0F);
  EXPECT_EQ(test::PayloadAs<ComponentEntry>(components[0], 1).elementary_pid, 0x0112);
}

TEST(RealStreams, SitOnlyCaptureYieldsNoTables) {
  const Bytes s = ReadFile("tsduck-test_input_test-186.1_nhk-kumamoto_sit.ts");
  ASSERT_EQ(s.size(), 174u * 188);
  ProcessorHarness h;
  h.FeedChunked(s, 1000);
  h.proc.Finish(h.stats);
  EXPECT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_STREAM_RESET}));
  EXPECT_EQ(h.log.Count(EVENT_PACKET), 174u);
  EXPECT_EQ(h.stats.sync_losses.load(), 0u);
}

}  // namespace
}  // namespace pelkan
