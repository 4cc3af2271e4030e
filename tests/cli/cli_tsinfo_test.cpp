// pelkan-cli inspect, run as a program.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "tests/support/cli_process.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using testing::CliRun;

CliRun Inspect(const std::string& args) {
  return testing::RunCli("inspect " + args);
}

std::string RealStream(const char* name) { return std::string(PELKAN_TEST_DATA_DIR) + "/realstreams/" + name; }

TEST(CliInspect, TextReportOfTerrestrialPsi) {
  const CliRun r = Inspect(RealStream("ariblib_tokyomx_psi.ts"));
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Packet size:       188"), std::string::npos);
  EXPECT_NE(r.out.find("\"ＴＯＫＹＯ　ＭＸ２\""), std::string::npos);
  EXPECT_NE(r.out.find("\"東京７\""), std::string::npos);
  EXPECT_NE(r.out.find("stream_type 0x02  PID 0x0121"), std::string::npos);
}

TEST(CliInspect, JsonHasTheDocumentedKeys) {
  const CliRun r = Inspect("--json " + RealStream("ariblib_tokyomx_psi.ts"));
  ASSERT_EQ(r.exit_code, 0);
  for (const char* key : {"\"packet_size\":188", "\"packets\":6", "\"sync_losses\":0", "\"continuity_errors\":0",
                          "\"scrambled_packets\":0", "\"transport_stream_id\":32391", "\"network\":{\"network_id\":32391",
                          "\"name\":\"ＴＯＫＹＯ　ＭＸ１\"", "\"pmt_pid\":257", "\"components\":[{\"stream_type\":2,\"pid\":289}",
                          "\"satellite\":[", "\"clock\":null", "\"events\":[]"}) {
    EXPECT_NE(r.out.find(key), std::string::npos) << key;
  }
  EXPECT_EQ(r.out.back(), '\n');
}

TEST(CliInspect, SyntheticStreamWithClockAndEvents) {
  test::SyntheticOptions o;
  o.packets = 3000;
  const test::Bytes s = test::SyntheticBroadcast(o);
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/cli_inspect_synthetic.ts";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(s.data()), static_cast<long>(s.size()));
  const CliRun r = Inspect("--json - < " + path);
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("\"clock\":\"2023-02-25T21:00:00\""), std::string::npos);
  EXPECT_NE(r.out.find("\"kind\":\"present_following\""), std::string::npos);
  EXPECT_NE(r.out.find("\"title\":\"ＴＩＴＬＥ\""), std::string::npos);
  EXPECT_NE(r.out.find("\"name\":\"ＳＥＲＶＩＣＥ１\""), std::string::npos);
  std::remove(path.c_str());
}

// A title as broadcasters code it: additional symbols of the kanji set ([新] 7A6B, [字] 7A56, [デ] 7A58)
// and an additional kanji (﨑 7540) among katakana in GR, kanji in GL, a single-shifted hiragana and
// alphanumerics through LS1.
TEST(CliInspect, TitleWithTheBroadcastsSymbols) {
  const test::Bytes title = {0x7A, 0x6B,                                // [新]
                             0x1B, 0x7C, 0xC9, 0xE9, 0xDE,              // LS3R ドラマ
                             0xFB,                                      // 「
                             0x3B, 0x33, 0x75, 0x40, 0x32, 0x48,        // 山﨑家
                             0x19, 0x4E,                                // SS2 の
                             0x3F, 0x4D, 0x21, 0x39, 0xFC,              // 人々」
                             0x42, 0x68, 0x0E, 0x31, 0x0F, 0x4F, 0x43,  // 第 LS1 1 LS0 話
                             0x7A, 0x56, 0x7A, 0x58};                   // [字][デ]
  test::TsBuilder b;
  b.Null(8)
      .Section(0x12, test::EitSection(0x4E, 0x0400, 1, 0,
                                      {{0x1000,
                                        0xEA60,
                                        {0x21, 0x00, 0x00},
                                        {0x00, 0x54, 0x00},
                                        test::ShortEventDescriptor(title, test::AribAlnum("TEXT"))}}))
      .Null(8);
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/cli_inspect_symbols.ts";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.bytes().data()), static_cast<long>(b.bytes().size()));

  const CliRun json = Inspect("--json " + path);
  ASSERT_EQ(json.exit_code, 0);
  EXPECT_NE(json.out.find("\"title\":\"🈟ドラマ「山﨑家の人々」第１話🈑🈓\""), std::string::npos) << json.out;
  const CliRun plain = Inspect("--json --plain-symbols " + path);
  EXPECT_NE(plain.out.find("\"title\":\"[新]ドラマ「山﨑家の人々」第１話[字][デ]\""), std::string::npos)
      << plain.out;
  const CliRun text = Inspect("--plain-symbols " + path);
  EXPECT_NE(text.out.find("21:00 - 21:54 << [新]ドラマ「山﨑家の人々」第１話[字][デ] >>"), std::string::npos)
      << text.out;
  std::remove(path.c_str());
}

TEST(CliInspect, NotATransportStreamFails) {
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/cli_inspect_text.txt";
  std::ofstream(path) << std::string(5000, 'x');
  EXPECT_EQ(Inspect(path).exit_code, 1);
  // Random bytes (a few chance packets in them, as 100 MB of random bytes have) used to be
  // described as a stream with packet size 0.
  std::mt19937 random(20);
  std::string noise(4'000'000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (size_t p = 0; p < 20; ++p) noise[1'000'003 + p * 188] = 0x47;
  std::ofstream(path, std::ios::binary) << noise;
  EXPECT_EQ(Inspect(path).exit_code, 1);
  EXPECT_EQ(Inspect("/nonexistent/file.ts").exit_code, 1);
  EXPECT_EQ(Inspect("").exit_code, 2);
  std::remove(path.c_str());
}

// On the same damaged bytes `check` counted 25 dropped packets while inspect said "Continuity
// errors: 1" (the breaks at unit starts); 15 unmarked jumps gave 15 and 0, a file of 0x47 bytes 0
// and 39. inspect's dropped packets are check's; the breaks at unit starts are named as such.
TEST(CliInspect, DroppedPacketsAreThoseOfCheckAndUnitStartBreaksAreNamed) {
  struct Case {
    const char* name;
    test::Bytes bytes;
    int drop;
    int breaks_at_starts;
  };
  test::TsBuilder drops, jumps;
  for (uint8_t cc : {0, 1, 4, 5, 15, 0, 1, 2}) drops.PacketCc(0x100, cc, {});  // 2 and 9 missing
  for (int i = 0; i < 16; ++i) jumps.PacketCc(0x100, static_cast<uint8_t>(i * 2 % 16), {}, true);
  const Case cases[] = {
      {"drops", drops.bytes(), 11, 0},
      {"jumps", jumps.bytes(), 15, 15},
      {"sync bytes", test::Bytes(40 * 188, 0x47), 0, 39},
  };
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/cli_inspect_drops.ts";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
    const CliRun check = testing::RunCli("check --json " + path);
    const CliRun json = Inspect("--json " + path);
    const CliRun text = Inspect(path);
    ASSERT_EQ(json.exit_code, 0);
    const size_t totals = check.out.find("\"totals\":{");
    ASSERT_NE(totals, std::string::npos) << check.out;
    EXPECT_NE(check.out.find(",\"drop\":" + std::to_string(c.drop) + ",", totals), std::string::npos) << check.out;
    EXPECT_NE(json.out.find("\"continuity_errors\":" + std::to_string(c.breaks_at_starts) +
                            ",\"dropped_packets\":" + std::to_string(c.drop) + ","),
              std::string::npos)
        << json.out;
    EXPECT_NE(text.out.find("Dropped packets:   " + std::to_string(c.drop) + "\nContinuity breaks at unit starts: " +
                            std::to_string(c.breaks_at_starts) + "\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("Continuity errors"), std::string::npos) << text.out;
  }
  std::remove(path.c_str());
}

// Random bytes used to play through VIRTUAL_TUNER_FILE as a 0-byte recording with exit 0, and
// `epg --from` of them made an empty guide with exit 0. Every command that takes a stream in
// refuses them by inspect's rule, saying so; a real stream is taken by each.
TEST(CliInspect, EveryCommandRefusesWhatIsNoStreamByOneRule) {
  char pattern[] = "/tmp/pelkan-cli-nostream-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::mt19937 random(29);
  std::string noise(300'000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::ofstream(dir + "/noise.ts", std::ios::binary) << noise;
  ASSERT_EQ(std::system((testing::CliPath() + " generate -q -o " + dir + "/good.ts --seconds 1").c_str()), 0);
  struct Case {
    const char* command;  // FILE stands for the stream
    const char* what;     // the command's name in its message
  };
  const Case cases[] = {
      {"inspect FILE", "pelkan-cli inspect: "},
      {"epg --from FILE", "pelkan-cli epg: "},
      {"capture --seconds 2 --record rec.ts --force", "VIRTUAL_TUNER_FILE "},
  };
  for (const Case& c : cases) {
    for (const char* file : {"noise.ts", "good.ts"}) {
      SCOPED_TRACE(std::string(c.command) + " " + file);
      const std::string path = dir + "/" + file;
      std::ofstream(dir + "/pelkan.ini") << "[Pelkan_Q]\nVIRTUAL_TUNER_FILE=" << path << "\n";
      std::string command = c.command;
      if (const size_t at = command.find("FILE"); at != std::string::npos) command.replace(at, 4, path);
      const int status = std::system(
          ("cd " + dir + " && " + testing::CliPath() + " " + command + " > out.txt 2> err.txt").c_str());
      std::ifstream in(dir + "/err.txt");
      const std::string err((std::istreambuf_iterator<char>(in)), {});
      const bool refused = err.find(std::string(c.what) + path + " is not an MPEG transport stream (") !=
                           std::string::npos;
      if (file == std::string("noise.ts")) {
        EXPECT_EQ(WEXITSTATUS(status), 1) << err;
        EXPECT_TRUE(refused) << err;
      } else {
        EXPECT_EQ(WEXITSTATUS(status), 0) << err;
        EXPECT_FALSE(refused) << err;
      }
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan
