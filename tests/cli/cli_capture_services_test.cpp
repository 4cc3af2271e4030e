// pelkan-cli capture --services: the service rows of the virtual tuner's broadcast, as the filtering
// window shows them, chosen with --service through the same model.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "info/programme_text.h"
#include "platform/broadcast_text.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan {
namespace {

class CliCaptureServices : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-cli-services-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int Run(const std::string& args) {
    const std::string cmd = "cd " + dir_ + " && " + std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli " +
                            args + " > out.txt 2> err.txt";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Read(const char* name) {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

// The rows the virtual tuner's default broadcast should give, without the programme column.
std::vector<std::pair<std::string, std::string>> ExpectedRows() {
  const streamgen::BroadcastGenerator gen{streamgen::GeneratorOptions{}};
  std::vector<std::pair<std::string, std::string>> rows;
  for (const streamgen::ServiceInfo& s : gen.Multiplex(0).services) {
    std::string components;
    for (const streamgen::ComponentInfo& c : s.components) {
      if (!components.empty()) components += " ";
      components += PmtPidText(c.pid) + "(" + std::string(StreamTypeText(c.stream_type)) + ")";
    }
    rows.push_back({std::to_string(s.service_id) + " | " + s.name + " | ",
                    " | " + PmtPidText(s.pmt_pid) + " | " + components + "\n"});
  }
  return rows;
}

TEST_F(CliCaptureServices, PrintsTheRowsAndTheirProgrammes) {
  ASSERT_EQ(Run("capture --seconds 3 --in 0x86 --services"), 0) << Read("err.txt");
  const std::string out = Read("out.txt");
  const auto rows = ExpectedRows();
  ASSERT_FALSE(rows.empty());
  EXPECT_NE(out.find("services: " + std::to_string(rows.size()) + "\n"), std::string::npos) << out;
  for (const auto& [head, tail] : rows) {
    EXPECT_NE(out.find("  [x] " + head), std::string::npos) << head << "\n" << out;
    EXPECT_NE(out.find(tail), std::string::npos) << tail << "\n" << out;
  }
  // Once the broadcast clock and the events are known, the programme column fills (reprinted).
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\| \d\d:\d\d( - \d\d:\d\d |未定  ))"))) << out;
}

// The virtual tuner's titles carry the broadcast's symbols; --plain-symbols prints their plain forms.
TEST_F(CliCaptureServices, PlainSymbolsPrintThePlainFormsOfTheTitles) {
  ASSERT_EQ(
      Run("capture --seconds 3 --in 0x86 --services --plain-symbols --virtual-start \"2026-12-07 21:00\""), 0)
      << Read("err.txt");
  const std::string out = Read("out.txt");
  streamgen::GeneratorOptions options;
  options.start_time = MjdTime{MjdFromDate(2026, 12, 7), 21 * 3600};
  const streamgen::BroadcastGenerator gen(options);
  int with_symbols = 0;
  for (const streamgen::ServiceInfo& s : gen.Multiplex(0).services) {
    const auto programme = gen.ProgrammeAt(0, s.service_id, options.start_time);
    ASSERT_TRUE(programme.has_value());
    const std::string plain =
        platform::BroadcastToUtf8(*platform::Utf8ToBroadcast(programme->title), platform::SymbolForm::kPlain);
    with_symbols += plain != programme->title;
    EXPECT_NE(out.find(" " + plain + " | "), std::string::npos) << plain << "\n" << out;
  }
  EXPECT_GT(with_symbols, 0);
  EXPECT_EQ(out.find("\xF0\x9F\x88"), std::string::npos) << out;  // no squared ideographs U+1F200-
}

TEST_F(CliCaptureServices, ChosenServicesAreTheCheckedRows) {
  const streamgen::BroadcastGenerator gen{streamgen::GeneratorOptions{}};
  const auto& services = gen.Multiplex(0).services;
  ASSERT_GE(services.size(), 2u);
  const uint16_t kept = services.back().service_id;
  ASSERT_EQ(Run("capture --seconds 2 --in 0x86 --json --services --service " + std::to_string(kept)), 0)
      << Read("err.txt");
  const std::string out = Read("out.txt");
  EXPECT_NE(out.find("{\"service_id\":" + std::to_string(kept) + ",\"kept\":true"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"service_id\":" + std::to_string(services.front().service_id) + ",\"kept\":false"),
            std::string::npos)
      << out;
  // The filter is in place before the rows are first printed.
  EXPECT_EQ(out.find("{\"service_id\":" + std::to_string(services.front().service_id) + ",\"kept\":true"),
            std::string::npos)
      << out;
}

// Programme numbers (other than 0) of every PAT packet in a recording, by transport_stream_id.
std::vector<std::pair<uint16_t, std::set<uint16_t>>> PatsOf(const std::string& file) {
  std::vector<std::pair<uint16_t, std::set<uint16_t>>> pats;
  for (size_t off = 0; off + 188 <= file.size(); off += 188) {
    const auto* p = reinterpret_cast<const uint8_t*>(file.data() + off);
    if (p[0] != 0x47 || (p[1] & 0x1F) != 0 || p[2] != 0 || !(p[1] & 0x40) || p[4] != 0 || p[5] != 0x00)
      continue;
    const size_t length = (p[6] & 0x0F) << 8 | p[7];
    if (length < 9 || 8 + length > 188) continue;
    std::set<uint16_t> programs;
    for (size_t i = 13; i + 4 <= 8 + length - 4; i += 4) {
      const uint16_t number = static_cast<uint16_t>(p[i] << 8 | p[i + 1]);
      if (number != 0) programs.insert(number);
    }
    pats.push_back({static_cast<uint16_t>(p[8] << 8 | p[9]), programs});
  }
  return pats;
}

TEST_F(CliCaptureServices, ChoiceIsAppliedAgainAfterAChannelChange) {
  ASSERT_EQ(Run("generate -q -o cc.ts --seconds 8 --rate 4M --channel-change 3"), 0) << Read("err.txt");
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q]\nVIRTUAL_TUNER_FILE=" << dir_ << "/cc.ts\n";
  ASSERT_EQ(Run("capture --seconds 4 --in 0x86 --record out.ts --service 1032,1064"), 0) << Read("err.txt");
  bool first_filtered = false;
  bool second_filtered = false;
  for (const auto& [tsid, programs] : PatsOf(Read("out.ts"))) {
    first_filtered = first_filtered || (tsid == 0x7FE8 && programs == std::set<uint16_t>{1032});
    second_filtered = second_filtered || (tsid == 0x7FE9 && programs == std::set<uint16_t>{1064});
  }
  EXPECT_TRUE(first_filtered);
  EXPECT_TRUE(second_filtered);
}

// After a change of transport stream the file gets nothing of the new stream until a chosen
// service is in it and filtered (it stays open and is said paused); with no chosen service in the
// new stream nothing of it is ever written.
TEST_F(CliCaptureServices, ANewStreamIsPausedUntilAChosenServiceIsBack) {
  ASSERT_EQ(Run("generate -q -o cc.ts --seconds 8 --rate 4M --channel-change 3"), 0) << Read("err.txt");
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q]\nVIRTUAL_TUNER_FILE=" << dir_ << "/cc.ts\n";
  const struct {
    const char* services;
    std::set<uint16_t> second;  // what a PAT of the second stream may list; empty: no PAT of it at all
    bool back;
  } cases[] = {{"1032,1064", {1064}, true}, {"1032", {}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.services);
    ASSERT_EQ(Run("capture --seconds 4 --in 0x86 --record out.ts --service " + std::string(c.services)), 0)
        << Read("err.txt");
    const std::string err = Read("err.txt");
    EXPECT_NE(err.find("the transport stream changed: recording and sending are paused (the file stays open) "
                       "until a chosen service is back"),
              std::string::npos)
        << err;
    // (The played file starts again from its first stream, which is back then in either case.)
    if (c.back) {
      EXPECT_NE(err.find("a chosen service is back: recording and sending go on"), std::string::npos) << err;
    }
    bool second_seen = false;
    for (const auto& [tsid, programs] : PatsOf(Read("out.ts"))) {
      if (tsid == 0x7FE8) {
        EXPECT_EQ(programs, std::set<uint16_t>{1032});
      }
      if (tsid != 0x7FE9) continue;
      second_seen = true;
      EXPECT_EQ(programs, c.second);
    }
    EXPECT_EQ(second_seen, c.back);
    std::filesystem::remove(dir_ + "/out.ts");
    std::filesystem::remove(dir_ + "/out.ts.err");
  }
}

}  // namespace
}  // namespace pelkan
