// The command after each recording and the desktop notifications, end to end: pelkan-cli capture
// --schedule over the virtual tuner with a recorded, a failed and a missed reservation, a script
// that writes its PELKAN_* environment down, and dbusmock's notification daemon as the session's
// notification service; then `pelkan-cli hook test` on the last values.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "hooks/recording_outcome.h"
#include "platform/broadcast_text.h"
#include "schedule/schedule_file.h"
#include "tests/support/cli_process.h"
#include "tests/support/mock_logind.h"
#include "tests/support/temp_dir.h"

namespace pelkan::cli {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A date-time reservation (which has no title: the notifications name its time).
ScheduleItem At2059(uint32_t minute, uint32_t second, uint32_t duration, const std::string& directory) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = MjdFromDate(2026, 12, 7);
  item.start_second = 20 * 3600 + minute * 60 + second;
  item.duration = duration;
  SetText(item.directory, directory);
  return item;
}

TEST(CliHook, EachReservationRunsTheCommandWithItsResultAndTheFailuresNotify) {
  test::TempDir temp;
  const std::string dir = temp.path();
  testing::MockNotifications notifications;
  if (!notifications.Start(dir + "/calls.log")) GTEST_SKIP() << notifications.Error();
  // The script writes its environment whole (through a temporary file) into env-RESULT.txt.
  std::ofstream(dir + "/pelkan.ini", std::ios::binary)
      << "[Pelkan_Q]\nREC_END_COMMAND=sh -c 'env | grep ^PELKAN_ | sort > \"$0/tmp.$$\" && mv \"$0/tmp.$$\" "
         "\"$0/env-$PELKAN_RESULT.txt\"' "
      << dir << "\n";
  ASSERT_TRUE(SaveScheduleFile(dir + "/schedule.ini", {At2059(50, 0, 60, dir), At2059(59, 8, 4, dir),
                                                        At2059(59, 16, 4, dir + "/removed")}));
  const pid_t child = testing::StartCliInFolder(
      dir, {"capture", "--schedule", "--seconds", "90", "--virtual-start", "2026-12-07 20:59:00", "--virtual-speed", "4"});
  ASSERT_GT(child, 0);
  const auto written = [&dir](const char* result) { return std::filesystem::exists(dir + "/env-" + result + ".txt"); };
  const std::optional<int> ended = testing::WaitInterruptingWhen(child, std::chrono::seconds(120), [&] {
    return written("complete") && written("failed") && written("missed");
  });
  const std::string err = ReadText(dir + "/err.txt");
  ASSERT_TRUE(ended) << err;

  const std::string complete = ReadText(dir + "/env-complete.txt");
  for (const std::string& line :
       {"PELKAN_FILE=" + dir + "/20261207-2059.ts", "PELKAN_REPORT=" + dir + "/20261207-2059.ts.err",
        std::string("PELKAN_KIND=reservation"), std::string("PELKAN_RESULT=complete"), std::string("PELKAN_REASON="),
        std::string("PELKAN_PLANNED_START=2026-12-07T20:59:08+09:00"),
        std::string("PELKAN_PLANNED_END=2026-12-07T20:59:12+09:00"), std::string("PELKAN_DROP=0")}) {
    EXPECT_NE(complete.find(line + "\n"), std::string::npos) << line << "\n" << complete << err;
  }
  EXPECT_EQ(complete.find("PELKAN_PACKETS=0\n"), std::string::npos) << complete;
  const std::string missed = ReadText(dir + "/env-missed.txt");
  EXPECT_NE(missed.find("PELKAN_PLANNED_START=2026-12-07T20:50:00+09:00\n"), std::string::npos) << missed;
  EXPECT_NE(missed.find("PELKAN_REASON=not recorded in its time\n"), std::string::npos) << missed;
  EXPECT_NE(missed.find("PELKAN_FILE=\n"), std::string::npos) << missed;
  const std::string failed = ReadText(dir + "/env-failed.txt");
  EXPECT_NE(failed.find("PELKAN_PLANNED_START=2026-12-07T20:59:16+09:00\n"), std::string::npos) << failed;
  EXPECT_NE(failed.find("No such file or directory"), std::string::npos) << failed;
  EXPECT_NE(err.find("REC_END_COMMAND (complete, " + dir + "/20261207-2059.ts): exited with status 0"),
            std::string::npos)
      << err;

  // One notification each for the failed and the missed reservation, none for the recorded one.
  const std::vector<std::string> calls = notifications.Calls();
  ASSERT_EQ(calls.size(), 2u) << err;
  const std::string both = calls[0] + calls[1];
  EXPECT_NE(both.find("\"予約を録画できませんでした\" \"12/07(月) 20:50–20:51\nnot recorded in its time\""),
            std::string::npos)
      << both;
  EXPECT_NE(both.find("\"録画に失敗しました\" \"12/07(月) 20:59–20:59\n"), std::string::npos) << both;

  // `hook test` runs the command again on the last values (the last reservation to end).
  std::filesystem::remove(dir + "/env-complete.txt");
  std::filesystem::remove(dir + "/env-failed.txt");
  std::filesystem::remove(dir + "/env-missed.txt");
  const pid_t test = testing::StartCliInFolder(dir, {"hook", "test"});
  int status = -1;
  ASSERT_EQ(waitpid(test, &status, 0), test);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadText(dir + "/err.txt");
  EXPECT_TRUE(written("complete") || written("failed") || written("missed")) << ReadText(dir + "/err.txt");
  // ... and on a report given.
  const pid_t on_report = testing::StartCliInFolder(dir, {"hook", "test", dir + "/20261207-2059.ts.err"});
  ASSERT_EQ(waitpid(on_report, &status, 0), on_report);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadText(dir + "/err.txt");
  EXPECT_NE(ReadText(dir + "/env-complete.txt").find("PELKAN_FILE=" + dir + "/20261207-2059.ts\n"), std::string::npos);
}

// Bad arguments are refused before anything is run (the clock is never touched by a test).
TEST(CliWake, BadArgumentsExitWith2) {
  for (const char* args : {"wake --at '2026-12-08 20:57' --clear", "wake --at 'tomorrow'", "wake --at '2026-02-31 10:00'",
                           "wake now", "hook test a b", "hook"}) {
    EXPECT_EQ(testing::RunCli(args).exit_code, 2) << args;
  }
}

}  // namespace
}  // namespace pelkan::cli

namespace pelkan::cli {
namespace {

// `wake` plans from every reservation: a rule's event reservation (stored without a time) at the
// time the guide gives it. Without pkexec (and, on a machine without one, a real-time clock) it
// says why the alarm cannot be set and what it would set.
TEST(CliWake, PlansFromEventReservationsAndSaysWhyItCannotSetTheAlarm) {
  test::TempDir home;
  const GuideTime start = (GuideTime{JapanTimeNow().date} + 1) * 86400 + 21 * 3600;
  {
    std::string error;
    auto store = GuideStore::Open(home.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Begin());
    GuideEventUpdate u;
    u.event.key = {0x7FE8, 0x7FE8, 1024, 77};
    u.event.start = start;
    u.event.duration = 1800;
    u.event.title = platform::Utf8ToBroadcast("夜のドラマ").value();
    u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
    u.basic = true;
    ASSERT_TRUE(store->ApplyEvent(u));
    ASSERT_TRUE(store->Commit());
  }
  ScheduleItem item{};
  item.flags = SI_BY_EVENT;
  item.network_id = 0x7FE8;
  item.stream_id = 0x7FE8;
  item.service_id = 1024;
  item.event_id = 77;
  item.rule_id = 3;
  SetText(item.directory, home.path());
  ASSERT_TRUE(SaveScheduleFile(home.File("schedule.ini"), {item}));
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  ::setenv("PATH", home.path().c_str(), 1);
  const testing::CliRun r = testing::RunCli("--home " + home.path() + " wake");
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(r.exit_code, 1) << r.out;
  MjdTime planned{static_cast<uint32_t>(start / 86400), static_cast<uint32_t>(start % 86400)};
  AddSeconds(&planned, -kDefaultMarginBefore);
  const std::string next = hooks::JapanIso(planned);
  AddSeconds(&planned, -3 * 60);
  const std::string wanted = hooks::JapanIso(planned);
  EXPECT_NE(r.out.find("next reservation: " + next + ", wanted alarm " + wanted + " (WAKE_LEAD 3 min)\n"),
            std::string::npos)
      << r.out;
  const std::string reason = ::access("/sys/class/rtc/rtc0/wakealarm", F_OK) == 0
                                 ? "pkexec (polkit) がありません"
                                 : "この機器には自動起動用の時計 (RTC) がありません";
  EXPECT_NE(r.out.find("the alarm cannot be set: " + reason + " (it would be set to " + wanted + ")\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace pelkan::cli
