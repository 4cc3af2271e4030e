#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli_commands.h"
#include "app/settings.h"
#include "schedule/schedule_file.h"

namespace pelkan {
namespace {

// Runs the schedule subcommands in a fresh current directory, as a user would.
class CliSchedule : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_cli_sched_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_ / "rec");
    std::filesystem::current_path(dir_);
    // No terminal: an overlap question is answered "no".
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  int Run(std::vector<std::string> args, std::string* out = nullptr) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    ::testing::internal::CaptureStdout();
    const int rc = cli::RunSchedule(static_cast<int>(argv.size()), argv.data());
    const std::string text = ::testing::internal::GetCapturedStdout();
    if (out) *out = text;
    return rc;
  }
  std::filesystem::path old_, dir_;
};

TEST_F(CliSchedule, AddListRemoveRoundTrip) {
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00:00", "--minutes", "30", "--service", "1024", "--daily",
                 "--dir", "rec"}),
            0);
  EXPECT_EQ(Run({"add", "--event", "0x400:4660"}), 0);
  std::string list;
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_EQ(list,
            "No.\tタイプ\t開始日時\t録画時間\t詳細\n"
            "1\t日付\t2008年03月03日(月) 21時00分00秒\t00 時間 30 分 00 秒\t[毎日][サービスID=1024]\n"
            "2\tイベント\t不明(ID=0000:0000:0400:1234)\t不明\t[サービスID=1024]\n");
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(GetText(items[0].directory), "rec");
  // Made as the edit dialog makes them: the extension ".ts", the automatic name offered as file
  // name, an event reservation limited to the event's service.
  EXPECT_EQ(GetText(items[0].extension), ".ts");
  EXPECT_EQ(GetText(items[0].file_name), "20080303-2100");
  EXPECT_EQ(items[1].flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
  EXPECT_EQ(GetText(items[1].service_id_text), "1024");
  EXPECT_EQ(GetText(items[1].extension), ".ts");
  // The event reservation's directory defaults to REC_AUTOPATH, the current directory here.
  EXPECT_EQ(std::filesystem::path(std::string(GetText(items[1].directory))), std::filesystem::current_path());

  EXPECT_EQ(Run({"remove", "1"}), 0);  // a daily reservation continues the next day
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_NE(list.find("2008年03月04日(火) 21時00分00秒"), std::string::npos);
  EXPECT_EQ(Run({"remove", "1", "--series"}), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 1u);
  EXPECT_EQ(Run({"remove", "5"}), 1);
}

TEST_F(CliSchedule, OverlapIsRefusedWithoutTerminalAndForcedOnRequest) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30"}), 0);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:30", "--minutes", "5"}), 1);  // closed spans touch
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 1u);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:30", "--minutes", "5", "--force"}), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 2u);
}

// "--minutes 08" used to be refused as a bad octal number and "0100" read as 64.
TEST_F(CliSchedule, NumbersAreDecimalAndHexadecimalOnlyWith0x) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "08", "--dir", "rec"}), 0);
  ASSERT_EQ(Run({"add", "--event", "0100:0x10"}), 0);
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].duration, 480u);
  EXPECT_EQ(items[1].service_id, 100);
  EXPECT_EQ(items[1].event_id, 16);
  EXPECT_EQ(Run({"add", "--event", "010:08x"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-04 21:00", "--minutes", "1441"}), 2);  // over 24 hours
}

// A name without a Shift-JIS form used to be stored with '?', and the recording failed later.
TEST_F(CliSchedule, NamesWithoutShiftJisFormAreRefusedAtOnce) {
  std::filesystem::create_directory("caf\xC3\xA9");
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "caf\xC3\xA9"}), 2);
  EXPECT_EQ(
      Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file", "caf\xC3\xA9"}),
      2);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
  // Without --dir the current directory is the default, and it has no Shift-JIS form either.
  std::filesystem::current_path("caf\xC3\xA9");
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1"}), 1);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
}

TEST_F(CliSchedule, BadArgumentsAreRefused) {
  EXPECT_EQ(Run({"add", "--start", "2008-02-30 21:00", "--minutes", "30"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "0"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1024"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:70000"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--daily", "--weekly"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--dir", "no-such-dir"}), 1);
  // The dialog offers no repetition, fixed name or channel for an event reservation.
  EXPECT_EQ(Run({"add", "--event", "1:2", "--daily"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--service", "1"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file", "a/b"}),
            2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file",
                 std::string(300, 'f')}),
            2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
}

}  // namespace
}  // namespace pelkan
