#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan::cli {
namespace {

int Generate(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return RunGenerate(static_cast<int>(argv.size()), argv.data());
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path TempPath(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string("pelkan_cli_") + name + "_" + std::to_string(getpid()) + ".ts");
}

TEST(CliGenerate, WritesTheGeneratorsBytesForTheOptions) {
  const std::filesystem::path path = TempPath("options");
  ASSERT_EQ(Generate({"-o", path.string(), "--seconds", "0.5", "--rate", "20M", "--packet-size", "192", "--seed", "7",
                 "--start", "2027-03-04 05:06:07", "--satellite", "--services", "4", "--scramble", "102",
                 "--channel-change", "0.25", "--fault", "drop@100", "--fault", "crc@200", "--late", "101:5:60",
                 "--late", "102:5:-60", "--extend", "101:5:600", "--undetermined", "103:9", "-q"}),
            0);
  streamgen::GeneratorOptions o;
  o.bit_rate = 20'000'000;
  o.packet_size = 192;
  o.seed = 7;
  o.start_time = MjdTime{MjdFromDate(2027, 3, 4), 5 * 3600 + 6 * 60 + 7};
  o.satellite = true;
  o.service_count = 4;
  o.scrambled_service = 102;
  o.channel_change_seconds = 0.25;
  o.faults = {{100, streamgen::FaultKind::kDropPacket}, {200, streamgen::FaultKind::kBadCrc}};
  o.programme_changes = {{ProgrammeChangeKind::kLate, 101, 5, 60},
                         {ProgrammeChangeKind::kLate, 102, 5, -60},
                         {ProgrammeChangeKind::kExtend, 101, 5, 600},
                         {ProgrammeChangeKind::kUndetermined, 103, 9, 0}};
  const std::vector<uint8_t> written = ReadFile(path);
  std::filesystem::remove(path);
  const size_t packets = 20'000'000 / 2 / 8 / 192;
  ASSERT_EQ(written.size(), packets * 192);
  streamgen::BroadcastGenerator g(o);
  std::vector<uint8_t> expected(written.size());
  g.Read(expected.data(), expected.size());
  EXPECT_EQ(written, expected);
}

TEST(CliGenerate, StandardOutputGetsTheSameStream) {
  const std::string cli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";
  if (access(cli.c_str(), X_OK) != 0) GTEST_SKIP() << "pelkan-cli is not built";
  FILE* pipe = popen((cli + " generate -q -o - --seconds 0.2").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.insert(out.end(), buf, buf + n);
  EXPECT_EQ(pclose(pipe), 0);
  streamgen::BroadcastGenerator g{streamgen::GeneratorOptions{}};
  std::vector<uint8_t> expected(17'000'000 / 5 / 8 / 188 * 188);
  g.Read(expected.data(), expected.size());
  EXPECT_EQ(out, expected);
}

TEST(CliGenerate, RefusesBadArguments) {
  EXPECT_EQ(Generate({"--seconds", "1"}), 2);                              // no output
  EXPECT_EQ(Generate({"-o", "x.ts", "--packet-size", "190"}), 2);
  EXPECT_EQ(Generate({"-o", "x.ts", "--rate", "fast"}), 2);
  EXPECT_EQ(Generate({"-o", "x.ts", "--rate", "1M"}), 2);                  // below the minimum
  // Times that are no broadcast time, refused as capture --virtual-start refuses them: the 16-bit
  // day number of the broadcast tables ends on 2038-04-22.
  for (const char* start : {"2026-13-01 00:00:00", "2026-02-30 12:00:00", "2038-04-23 00:00:00", "2150-01-01T00:00:00"})
    EXPECT_EQ(Generate({"-o", "x.ts", "--start", start}), 2) << start;
  EXPECT_EQ(Generate({"-o", "x.ts", "--fault", "melt@3"}), 2);
  EXPECT_EQ(Generate({"-o", "x.ts", "--scramble", "999"}), 2);             // no such service
  EXPECT_EQ(Generate({"-o", "x.ts", "--services", "9"}), 2);
  EXPECT_EQ(Generate({"-o", "x.ts", "--seconds"}), 2);                     // value missing
  EXPECT_EQ(Generate({"-o", "x.ts", "--frobnicate", "1"}), 2);
  EXPECT_FALSE(std::filesystem::exists("x.ts"));
  EXPECT_EQ(Generate({"-o", "/nonexistent-dir/x.ts", "--seconds", "0.1"}), 1);
  EXPECT_EQ(Generate({"--help"}), 0);
}

}  // namespace
}  // namespace pelkan::cli
