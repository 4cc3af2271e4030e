// The catalogue of recordings end to end: pelkan-cli capture records (by hand through a drop-out,
// a reservation of a rule, one that loses its tuner), `recordings` lists them as their reports
// say, finds them again after the catalogue is lost and after a move by hand, and deletes to the
// trash what is not kept.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "hooks/recording_outcome.h"
#include "schedule/schedule_file.h"
#include "tests/support/cli_process.h"

namespace pelkan::cli {
namespace {

const std::string kCli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CliRecordings : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-cli-rec-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int Run(const std::string& args) {
    const std::string cmd = "cd " + dir_ + " && XDG_DATA_HOME=" + dir_ + "/data HOME=" + dir_ + " " + kCli + " " +
                            args + " > out.txt 2> err.txt";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Out() { return ReadText(dir_ + "/out.txt"); }
  std::string Err() { return ReadText(dir_ + "/err.txt"); }

  // The value of `key` in the JSON object of the recording whose file ends in `file`.
  std::string Field(const std::string& json, const std::string& file, const std::string& key) {
    const size_t at = json.find(file + "\"");
    if (at == std::string::npos) return "<no " + file + ">";
    const size_t start = json.rfind("{\"id\"", at);
    const size_t end = json.find('}', at);
    const std::string object = json.substr(start, end - start);
    const size_t k = object.find("\"" + key + "\": ");
    if (k == std::string::npos) return "<no " + key + ">";
    const size_t v = k + key.size() + 4;
    return object.substr(v, object.find_first_of(",}", v) - v);
  }

  std::string dir_;
};

TEST_F(CliRecordings, CatalogueFollowsRealRecordingsScanAndTrash) {
  // By hand, through a drop-out of two seconds: recovered with one gap.
  ASSERT_EQ(Run("capture --seconds 4 --record manual.ts --virtual-dropout 1:2"), 0) << Err();
  // By hand, the tuner not back: tuner lost.
  ASSERT_EQ(Run("capture --seconds 3 --record lost.ts --virtual-dropout 1:600"), 1) << Err();
  // A reservation of rule 7, 20:59:12 for 6 seconds of the virtual broadcast's day.
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = MjdFromDate(2026, 12, 7);
  item.start_second = 20 * 3600 + 59 * 60 + 12;
  item.duration = 6;
  item.rule_id = 7;
  SetText(item.directory, dir_);
  ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {item}));
  const pid_t child = testing::StartCliInFolder(
      dir_, {"capture", "--schedule", "--seconds", "90", "--virtual-start", "2026-12-07 20:59:00", "--virtual-speed", "4"});
  ASSERT_GT(child, 0);
  const std::optional<int> ended = testing::WaitInterruptingWhen(child, std::chrono::seconds(120), [this] {
    return Err().find("finished") != std::string::npos || Err().find("failed") != std::string::npos;
  });
  ASSERT_TRUE(ended) << Err();

  ASSERT_EQ(Run("recordings list --json"), 0) << Err();
  const std::string json = Out();
  struct Expect {
    std::string file, kind, result;
  };
  const Expect expected[] = {{"manual.ts", "manual", "recovered"},
                             {"lost.ts", "manual", "tuner lost"},
                             {"20261207-2059.ts", "rule", "complete"}};
  const auto check = [&](const std::string& listing) {
    for (const Expect& e : expected) {
      SCOPED_TRACE(e.file + "\n" + listing);
      hooks::RecordingOutcome report;
      ASSERT_TRUE(hooks::ReadReportFile(dir_ + "/" + e.file + ".err", &report));
      EXPECT_EQ(Field(listing, e.file, "result"), "\"" + e.result + "\"");
      EXPECT_EQ(Field(listing, e.file, "drop"), std::to_string(report.drop));
      EXPECT_EQ(Field(listing, e.file, "error"), std::to_string(report.error));
      EXPECT_EQ(Field(listing, e.file, "scrambled"), std::to_string(report.scrambled));
      EXPECT_EQ(Field(listing, e.file, "gaps"), std::to_string(report.gaps));
      EXPECT_EQ(Field(listing, e.file, "bytes"), std::to_string(report.bytes));
      EXPECT_EQ(Field(listing, e.file, "service_id"), std::to_string(report.service_id.value_or(0)));
      EXPECT_EQ(Field(listing, e.file, "recording"), "false");
      EXPECT_EQ(Field(listing, e.file, "start").substr(20), "+09:00\"");
    }
  };
  check(json);
  EXPECT_EQ(Field(json, "manual.ts", "gaps"), "1");
  EXPECT_EQ(Field(json, "20261207-2059.ts", "rule_id"), "7");
  // A reservation of the whole stream by time: its service and title are those its report names.
  hooks::RecordingOutcome reserved;
  ASSERT_TRUE(hooks::ReadReportFile(dir_ + "/20261207-2059.ts.err", &reserved));
  EXPECT_FALSE(reserved.title.empty());
  EXPECT_EQ(Field(json, "20261207-2059.ts", "title"), "\"" + reserved.title + "\"");

  // The catalogue lost (a restart on a new disk): a scan finds the three by their reports.
  for (const char* name : {"library.sqlite", "library.sqlite-wal", "library.sqlite-shm"})
    std::filesystem::remove(dir_ + "/" + name);
  ASSERT_EQ(Run("recordings scan " + dir_), 0) << Err();
  EXPECT_EQ(Out(), "3 reports, 3 added, 0 moved, 0 missing\n");
  ASSERT_EQ(Run("recordings list --json"), 0) << Err();
  check(Out());

  // Moved by hand into a folder of its own, with its report: found again by the scan.
  const std::string id = Field(Out(), "manual.ts", "id");
  std::filesystem::create_directory(dir_ + "/kept");
  std::filesystem::rename(dir_ + "/manual.ts", dir_ + "/kept/manual.ts");
  std::filesystem::rename(dir_ + "/manual.ts.err", dir_ + "/kept/manual.ts.err");
  ASSERT_EQ(Run("recordings scan"), 0) << Err();
  EXPECT_EQ(Out(), "3 reports, 0 added, 1 moved, 0 missing\n");
  ASSERT_EQ(Run("recordings show " + id + " --json"), 0) << Err();
  EXPECT_NE(Out().find("\"file\": \"" + dir_ + "/kept/manual.ts\""), std::string::npos) << Out();

  // Protected: refused; unprotected: to the trash with its report, a .trashinfo for each.
  ASSERT_EQ(Run("recordings protect " + id), 0) << Err();
  EXPECT_EQ(Run("recordings delete " + id), 1);
  EXPECT_NE(Err().find("is protected"), std::string::npos) << Err();
  ASSERT_EQ(Run("recordings unprotect " + id), 0) << Err();
  ASSERT_EQ(Run("recordings delete " + id), 0) << Err();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/kept/manual.ts"));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/data/Trash/info/manual.ts.trashinfo"));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/data/Trash/info/manual.ts.err.trashinfo"));
  EXPECT_EQ(Run("recordings show " + id), 1);
}

}  // namespace
}  // namespace pelkan::cli
