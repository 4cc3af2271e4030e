#include "ts/b25_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "streamgen/test_scrambler.h"

namespace pelkan {
namespace {

const std::string kPluginPath = std::string(PELKAN_BINARY_DIR) + "/src/cli/B25Decoder.so";

TEST(B25Library, DefaultPlacesAreBesideTheExecutableTheInstalledPlaceThenTheSearchPath) {
  const auto c = B25Library::DefaultCandidates();
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].front(), '/');
  EXPECT_NE(c[0].find("/tests/B25Decoder.so"), std::string::npos) << c[0];
  EXPECT_NE(c[1].find("/tests/../lib/pelkan/B25Decoder.so"), std::string::npos) << c[1];
  EXPECT_EQ(c[2], "B25Decoder.so");
}

TEST(B25Library, MissingLibraryFailsWithTheLinkersMessage) {
  B25Library lib;
  lib.SetCandidates({"/nonexistent/B25Decoder.so"});
  EXPECT_FALSE(lib.Load());
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_NE(lib.GetError().find("/nonexistent/B25Decoder.so"), std::string::npos);
  EXPECT_EQ(lib.GetFactory(), nullptr);
}

TEST(B25Library, LibraryWithoutTheFactoryGivesNoFactory) {
  B25Library lib;
  lib.SetCandidates({"/nonexistent/B25Decoder.so", "libm.so.6"});
  ASSERT_TRUE(lib.Load());
  EXPECT_EQ(lib.GetFactory(), nullptr);
  EXPECT_NE(lib.GetError().find("CreateB25Decoder"), std::string::npos);
  lib.Unload();
  EXPECT_FALSE(lib.IsLoaded());
}

TEST(B25Library, SamplePluginPassesClearPacketsThrough) {
  if (access(kPluginPath.c_str(), R_OK) != 0) GTEST_SKIP() << "sample plugin not built";
  B25Library lib;
  lib.SetCandidates({kPluginPath});
  ASSERT_TRUE(lib.Load()) << lib.GetError();
  CreateB25DecoderFn create = lib.GetFactory();
  ASSERT_NE(create, nullptr);
  B25Decoder* d = create();
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d->Initialize(4), 0);
  d->Reset();
  std::vector<uint8_t> packet(188);
  packet[0] = 0x47;
  packet[1] = 0x01;
  packet[3] = 0x10;
  for (size_t i = 4; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i);
  uint8_t* out = nullptr;
  int out_length = 0;
  ASSERT_NE(d->Decode(packet.data(), 188, &out, &out_length), 0);
  ASSERT_EQ(out_length, 188);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 188), packet);
  out = reinterpret_cast<uint8_t*>(1);
  EXPECT_NE(d->Flush(&out, &out_length), 0);
  EXPECT_EQ(out_length, 0);
  d->Release();
}

TEST(B25Library, SamplePluginRemovesTheTestScrambling) {
  if (access(kPluginPath.c_str(), R_OK) != 0) GTEST_SKIP() << "sample plugin not built";
  B25Library lib;
  lib.SetCandidates({kPluginPath});
  ASSERT_TRUE(lib.Load()) << lib.GetError();
  B25Decoder* d = lib.GetFactory()();
  ASSERT_NE(d, nullptr);
  for (size_t size : {188u, 192u, 204u}) {
    std::vector<uint8_t> clear(size, 0);
    const size_t h = size == 192 ? 4 : 0;
    clear[h] = 0x47;
    clear[h + 1] = 0x01;
    clear[h + 2] = 0x31;
    clear[h + 3] = 0x17;
    for (size_t i = h + 4; i < h + 188; ++i) clear[i] = static_cast<uint8_t>(i * 3);
    std::vector<uint8_t> scrambled = clear;
    streamgen::ApplyTestScrambling(scrambled.data(), size);
    ASSERT_NE(scrambled, clear);
    ASSERT_EQ(scrambled[h + 3] & 0xC0, 0xC0);
    uint8_t* out = nullptr;
    int out_length = 0;
    ASSERT_NE(d->Decode(scrambled.data(), static_cast<int>(size), &out, &out_length), 0);
    ASSERT_EQ(out_length, static_cast<int>(size));
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), clear) << size;
  }
  d->Release();
}

}  // namespace
}  // namespace pelkan
