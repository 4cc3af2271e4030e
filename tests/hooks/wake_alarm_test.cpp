#include "hooks/wake_alarm.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "hooks/wake_alarm_keeper.h"
#include "tests/support/temp_dir.h"

namespace pelkan::hooks {
namespace {

using Action = WakeAlarmChoice::Action;
constexpr int64_t kNow = 1'800'000'000;
constexpr int64_t kHour = 3600;

// The programs' choice of the clock's alarm: plan changes, the user's own alarm, nothing planned.
TEST(WakeAlarm, ChoiceFollowsThePlanAndKeepsAnEarlierAlarmOfSomeoneElse) {
  const std::optional<int64_t> none;
  const struct {
    const char* what;
    std::optional<int64_t> next_start, clock, ours;
    Action action;
    int64_t at;
    const char* note;
  } cases[] = {
      {"nothing planned, no alarm", none, none, none, Action::kNone, 0, ""},
      {"a reservation: set start - lead", kNow + kHour, none, none, Action::kSet, kNow + kHour - 180, ""},
      {"held already", kNow + kHour, kNow + kHour - 180, none, Action::kNone, 0, ""},
      {"plan moved earlier", kNow + kHour, kNow + 2 * kHour - 180, kNow + 2 * kHour - 180, Action::kSet,
       kNow + kHour - 180, ""},
      {"plan moved later", kNow + 3 * kHour, kNow + 2 * kHour - 180, kNow + 2 * kHour - 180, Action::kSet,
       kNow + 3 * kHour - 180, ""},
      {"nothing planned any more: ours cleared", none, kNow + kHour, kNow + kHour, Action::kClear, 0, ""},
      {"nothing planned, someone else's kept", none, kNow + kHour, none, Action::kNone, 0,
       "a wake alarm set by someone else, at or before ours, is kept"},
      {"someone else's earlier alarm kept", kNow + 5 * kHour, kNow + kHour, kNow + 4 * kHour, Action::kNone, 0,
       "a wake alarm set by someone else, at or before ours, is kept"},
      {"someone else's later alarm replaced", kNow + kHour, kNow + 5 * kHour, none, Action::kSet, kNow + kHour - 180,
       "a later wake alarm set by someone else is replaced"},
      {"a past alarm is nobody's", kNow + kHour, kNow - 10, none, Action::kSet, kNow + kHour - 180, ""},
      {"start within the lead: awake already", kNow + 60, none, none, Action::kNone, 0, ""},
      {"over 30 days ahead: ours cleared", kNow + 31 * 24 * kHour, kNow + kHour, kNow + kHour, Action::kClear, 0,
       "the next reservation is more than 30 days ahead"},
  };
  for (const auto& c : cases) {
    WakeAlarmState state;
    state.now = kNow;
    state.next_start = c.next_start;
    state.clock = c.clock;
    state.ours = c.ours;
    const WakeAlarmChoice choice = ChooseWakeAlarm(state);
    EXPECT_EQ(choice.action, c.action) << c.what;
    EXPECT_EQ(choice.at, c.at) << c.what;
    EXPECT_EQ(choice.note, c.note) << c.what;
  }
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The test build's helper against a FIFO standing in for the alarm file: it writes 0, then the
// time, and prints what it reads back; past and far times are refused before anything is written.
TEST(WakeHelper, WritesZeroThenTheTimeAndRefusesPastAndFarTimes) {
  test::TempDir temp;
  const std::string helper = std::string(PELKAN_BINARY_DIR) + "/src/pelkan-wake-helper-test";
  const std::string alarm = temp.path() + "/wakealarm";
  const int64_t now = ::time(nullptr);
  // A recording stand-in: every write appends (the sysfs file keeps the last; the order matters).
  const auto run = [&](const std::string& args, std::string* out) {
    std::ofstream(alarm, std::ios::trunc) << "";
    const std::string command = "PELKAN_WAKEALARM_FILE=" + alarm + " " + helper + " " + args + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    char buf[256];
    out->clear();
    while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) *out += buf;
    const int status = p != nullptr ? ::pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  const int64_t at = now + 3600;
  // O_TRUNC on each write leaves only the last value: what the helper wrote last is the time, and
  // its read-back says so.
  EXPECT_EQ(run("set " + std::to_string(at), &out), 0) << out;
  EXPECT_EQ(out, "wakealarm " + std::to_string(at) + "\n");
  EXPECT_EQ(ReadText(alarm), std::to_string(at));
  EXPECT_EQ(run("clear", &out), 0) << out;
  EXPECT_EQ(out, "wakealarm none\n");
  EXPECT_EQ(ReadText(alarm), "0");
  const struct {
    std::string args;
    int exit_code;
    const char* said;
  } refusals[] = {
      {"set " + std::to_string(now - 5), 2, "refused: the time has passed"},
      {"set " + std::to_string(now + 31 * 24 * 3600), 2, "refused: the time is more than 30 days ahead"},
      {"set soon", 2, "usage:"},
      {"set", 2, "usage:"},
      {"wipe", 2, "usage:"},
  };
  for (const auto& r : refusals) {
    std::ofstream(alarm, std::ios::trunc) << "1234";
    const std::string command = "PELKAN_WAKEALARM_FILE=" + alarm + " " + helper + " " + r.args + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256];
    std::string said;
    while (std::fgets(buf, sizeof buf, p) != nullptr) said += buf;
    const int status = ::pclose(p);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, r.exit_code) << r.args;
    EXPECT_NE(said.find(r.said), std::string::npos) << r.args << ": " << said;
    EXPECT_EQ(ReadText(alarm), "1234") << r.args;  // untouched
  }
}

// The order of the writes, through the function the helper uses: a FIFO in place of the alarm
// sees 0, then the time; the read-back reports what the "clock" then says.
TEST(WakeHelper, ClearsBeforeSettingAndReportsTheReadBack) {
  test::TempDir temp;
  const std::string path = temp.path() + "/wakealarm";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const int64_t now = ::time(nullptr);
  const std::string expected = "0" + std::to_string(now + 600);
  std::string seen;
  std::thread reader([&] {
    while (seen.size() < expected.size()) {
      std::ifstream in(path, std::ios::binary);
      seen += std::string(std::istreambuf_iterator<char>(in), {});
    }
  });
  std::optional<int64_t> held;
  std::string error;
  bool written = false;
  std::thread writer([&] { written = WriteWakeAlarm(path, now + 600, now, &held, &error); });
  reader.join();
  std::ofstream(path, std::ios::binary) << (now + 599);  // what the clock answers
  writer.join();
  EXPECT_TRUE(written) << error;
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(held, now + 599);
}

// The keeper reads the clock, sets through its access, and says a failure once until it works.
TEST(WakeAlarmKeeper, SetsThroughItsAccessAndWarnsOnce) {
  std::optional<int64_t> clock;
  int writes = 0;
  bool allowed = false;
  WakeAlarmKeeper::Access access;
  access.read = [&](std::optional<int64_t>* held, std::string*) {
    *held = clock;
    return true;
  };
  access.write = [&](std::optional<int64_t> at, std::optional<int64_t>* held, std::string* error) {
    ++writes;
    if (!allowed) {
      *error = "not allowed (pkexec 126)";
      return false;
    }
    clock = at;
    *held = at;
    return true;
  };
  std::vector<std::string> log;
  WakeAlarmKeeper keeper([&](const std::string& line) { log.push_back(line); }, access, [] { return kNow; });
  keeper.Follow(kNow + kHour, 180);
  keeper.WaitIdle();
  keeper.Follow(kNow + 2 * kHour, 180);
  keeper.WaitIdle();
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(log, std::vector<std::string>{"the wake alarm cannot be set: not allowed (pkexec 126)"});
  allowed = true;
  keeper.Follow(kNow + kHour, 180);
  keeper.WaitIdle();
  EXPECT_EQ(keeper.Held(), kNow + kHour - 180);
  keeper.Follow(std::nullopt, 180);  // nothing planned: ours is cleared
  keeper.WaitIdle();
  EXPECT_EQ(keeper.Held(), std::nullopt);
  EXPECT_EQ(writes, 4);
  EXPECT_EQ(log.size(), 1u);
}

// The polkit action as installed: valid against polkit's DTD, allowed to the active local user
// without a password, others as administrators, and naming the helper pkexec runs.
TEST(WakeHelper, PolkitActionIsValidAndAllowsTheActiveUser) {
  const std::string policy = std::string(PELKAN_BINARY_DIR) + "/packaging/io.github.pelkan.wake-alarm.policy";
  const std::string text = ReadText(policy);
  ASSERT_FALSE(text.empty()) << policy;
  EXPECT_NE(text.find("<allow_active>yes</allow_active>"), std::string::npos);
  EXPECT_NE(text.find("<allow_any>auth_admin</allow_any>"), std::string::npos);
  EXPECT_NE(text.find("<annotate key=\"org.freedesktop.policykit.exec.path\">" + WakeAlarmKeeper::WakeHelperPath() +
                      "</annotate>"),
            std::string::npos)
      << text;
  const std::string dtd = "/usr/share/polkit-1/policyconfig-1.dtd";
  if (::access("/usr/bin/xmllint", X_OK) != 0 || ::access(dtd.c_str(), R_OK) != 0) GTEST_SKIP() << "no xmllint or DTD";
  EXPECT_EQ(std::system(("/usr/bin/xmllint --noout --dtdvalid " + dtd + " " + policy).c_str()), 0);
}

// Where the alarm cannot be set, the reason the user is told: no real-time clock, or no pkexec on
// the PATH to run the helper with.
TEST(WakeAlarm, SaysWhyTheAlarmCannotBeSet) {
  test::TempDir temp;
  const std::string alarm = temp.File("wakealarm");
  const std::string bin = temp.File("bin");
  std::ofstream(alarm) << "\n";
  ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
  std::ofstream(bin + "/pkexec") << "#!/bin/sh\n";
  ASSERT_EQ(::chmod((bin + "/pkexec").c_str(), 0755), 0);
  const struct {
    std::string alarm_path;
    std::string search_path;
    const char* reason;
  } cases[] = {
      {alarm, "/nonexistent:" + bin, ""},
      {temp.File("no-rtc"), bin, "この機器には自動起動用の時計 (RTC) がありません"},
      {alarm, "/nonexistent:" + temp.path(), "pkexec (polkit) がありません"},
      {alarm, "", "pkexec (polkit) がありません"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WakeAlarmUnavailable(c.alarm_path, c.search_path), c.reason) << c.alarm_path << " " << c.search_path;
  }
}

}  // namespace
}  // namespace pelkan::hooks
