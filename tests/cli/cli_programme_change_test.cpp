// Late, early, extended and undetermined programmes on the command line: `generate --late ...` and
// the virtual tuner's `capture --virtual-late ... --virtual-rate ...`.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "tests/streamgen/stream_scan.h"
#include "tests/support/cli_process.h"
#include "ts/tables/eit_section.h"

namespace pelkan::cli {
namespace {

const std::string kCli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";
constexpr uint16_t kService = 1032;  // programmes of 15 minutes
// The programme scheduled at 21:00 on the day the generator starts on by default, and the one before.
const uint64_t kNineIndex = (uint64_t{MjdFromDate(2026, 12, 7)} * 86400 + 21 * 3600) / 900;
const uint16_t kAtNine = static_cast<uint16_t>(kNineIndex % 0xFFFE + 1);
const uint16_t kBefore = static_cast<uint16_t>(kAtNine - 1);

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CliProgrammeChange : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-cli-change-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int Run(const std::string& args) {
    const std::string cmd = "cd " + dir_ + " && " + kCli + " " + args + " > out.txt 2> err.txt";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Err() { return ReadText(dir_ + "/err.txt"); }

  std::string dir_;
};

TEST_F(CliProgrammeChange, BadValuesAreRefusedNamingTheOption) {
  const std::string late = std::to_string(kService) + ":" + std::to_string(kAtNine);
  struct Row {
    std::string args;
    std::string message;
  };
  const Row rows[] = {
      {"generate -o x.ts --late 1032:5", "--late '1032:5' is not SERVICE:EVENT:SECONDS"},
      {"generate -o x.ts --extend 1032:5:-60", "--extend '1032:5:-60' is not SERVICE:EVENT:SECONDS"},
      {"generate -o x.ts --undetermined 1032:5:60", "--undetermined '1032:5:60' is not SERVICE:EVENT"},
      {"generate -o x.ts --late 4242:5:60", "--late '4242:5:60': service 4242"},
      {"generate -o x.ts --late " + late + ":900", "--late '" + late + ":900': the changes leave"},
      {"generate -o x.ts --extend " + late + ":60 --extend " + late + ":90", "is named twice as extended"},
      {"capture --virtual-late 1032:5", "--virtual-late '1032:5' is not SERVICE:EVENT:SECONDS"},
      {"capture --virtual-extend 4242:5:60", "--virtual-extend '4242:5:60': service 4242"},
      {"capture --virtual-undetermined 1032:0", "--virtual-undetermined '1032:0': there is no event 0"},
      {"capture --virtual-rate fast", "--virtual-rate 'fast' is not a bit rate"},
      {"capture --virtual-rate 1M", "--virtual-rate '1M' is refused: bit rate must be at least"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Run(r.args), 2) << r.args;
    EXPECT_NE(Err().find(r.message), std::string::npos) << r.args << "\n" << Err();
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.ts"));
}

TEST_F(CliProgrammeChange, GenerateWritesTheChangedBroadcast) {
  streamgen::GeneratorOptions o;
  o.programme_changes = {{ProgrammeChangeKind::kLate, kService, kAtNine, 420},
                         {ProgrammeChangeKind::kExtend, kService, kAtNine, 720},
                         {ProgrammeChangeKind::kUndetermined, 1024, 5, 0}};
  ASSERT_EQ(Run("generate -o g.ts --seconds 1 --late 1032:" + std::to_string(kAtNine) + ":420 --extend 1032:" +
                std::to_string(kAtNine) + ":720 --undetermined 1024:5"),
            0)
      << Err();
  streamgen::BroadcastGenerator g(o);
  const std::string file = ReadText(dir_ + "/g.ts");
  std::string expected(file.size(), '\0');
  g.Read(reinterpret_cast<uint8_t*>(expected.data()), expected.size());
  EXPECT_TRUE(file == expected);
}

// The present event of the service and the broadcast clock, in the order a receiver meets them.
struct PresentAt {
  uint32_t clock;  // seconds of the day (JST) of the last time table before
  uint16_t present;
  uint32_t duration;
};

std::vector<PresentAt> PresentEvents(const std::string& file) {
  const std::vector<uint8_t> bytes(file.begin(), file.end());
  const auto scan = streamgen::testing::ScanStream(bytes, 188, [](uint16_t pid) { return pid == 0x12 || pid == 0x14; });
  std::vector<PresentAt> out;
  std::optional<uint32_t> clock;
  for (const auto& s : scan.sections) {
    if (s.pid == 0x14 && s.bytes.size() >= 8) {
      const auto bcd = [](uint8_t b) { return (b >> 4) * 10u + (b & 0x0Fu); };
      clock = bcd(s.bytes[5]) * 3600 + bcd(s.bytes[6]) * 60 + bcd(s.bytes[7]);
    }
    if (!clock || s.pid != 0x12 || s.table_id() != 0x4E || s.extension() != kService || s.section_number() != 0) continue;
    const std::optional<EitSection> eit = EitSection::Read(s.bytes.data(), s.bytes.size());
    if (eit && eit->events.size() == 1)
      out.push_back({*clock, eit->events[0].event_id, eit->events[0].DurationSeconds()});
  }
  return out;
}

// The virtual tuner plays the programme at 21:00 one minute late at 16 times real time and at a
// low bit rate: the recording's present/following names the programme before (running over) until
// 21:01:00, then the late one.
TEST_F(CliProgrammeChange, VirtualTunerPlaysALateProgramme) {
  const pid_t child = pelkan::testing::StartCliInFolder(
      dir_, {"capture", "--seconds", "10", "--record", "rec.ts", "--virtual-start", "2026-12-07 20:59:50",
             "--virtual-speed", "16", "--virtual-rate", "3.2M", "--virtual-late",
             "1032:" + std::to_string(kAtNine) + ":60"});
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << Err();
  const std::vector<PresentAt> seen = PresentEvents(ReadText(dir_ + "/rec.ts"));
  ASSERT_FALSE(seen.empty());
  ASSERT_GE(seen.back().clock, 21u * 3600 + 65) << "the broadcast did not reach 21:01:05 (a loaded machine?)";
  std::optional<uint32_t> became_present;
  for (const PresentAt& p : seen) {
    if (p.present == kAtNine) {
      if (!became_present) became_present = p.clock;
      continue;
    }
    EXPECT_FALSE(became_present) << "the late programme left the air at " << p.clock;
    EXPECT_EQ(p.present, kBefore) << p.clock;
    EXPECT_EQ(p.duration, p.clock < 21u * 3600 ? 900u : 960u) << p.clock;
  }
  ASSERT_TRUE(became_present);
  // The time tables and the present/following are sent once a second each.
  EXPECT_GE(*became_present, 21u * 3600 + 59);
  EXPECT_LE(*became_present, 21u * 3600 + 60);
}

}  // namespace
}  // namespace pelkan::cli
