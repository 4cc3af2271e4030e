#include "hooks/hook_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace pelkan::hooks {
namespace {

class HookRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-hook-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  HookRunner::LogFn Log() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      log_.push_back(line);
    };
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool Logged(const std::string& line) {
    std::lock_guard lock(mutex_);
    return std::find(log_.begin(), log_.end(), line) != log_.end();
  }
  std::string dir_;
  std::mutex mutex_;
  std::vector<std::string> log_;
};

// The command gets its arguments as given (no shell), the program's environment with the given
// variables in place of the same names, its output and status in the log; runs go one at a time
// in the order queued.
TEST_F(HookRunnerTest, RunsInOrderWithEnvironmentAndLogsOutputAndStatus) {
  ::setenv("PELKAN_RESULT", "stale", 1);
  ::setenv("PELKAN_TEST_KEPT", "kept", 1);
  HookRunner runner(Log());
  const std::string script = "printf '%s|%s|%s\\n' \"$1\" \"$PELKAN_RESULT\" \"$PELKAN_TEST_KEPT\" >> " + dir_ +
                             "/out; echo said $1; echo warned >&2; sleep 0.2; exit $2";
  runner.Run({"sh", "-c", script, "sh", "first run $HOME", "3"}, {"PELKAN_RESULT=missed"}, "one");
  runner.Run({"sh", "-c", script, "sh", "second", "0"}, {"PELKAN_RESULT=complete"}, "two");
  EXPECT_EQ(runner.WaitIdle(), 0);
  ::unsetenv("PELKAN_RESULT");
  ::unsetenv("PELKAN_TEST_KEPT");
  EXPECT_EQ(Read(dir_ + "/out"), "first run $HOME|missed|kept\nsecond|complete|kept\n");
  EXPECT_TRUE(Logged("one: said first run $HOME"));
  EXPECT_TRUE(Logged("one: warned"));
  EXPECT_TRUE(Logged("one: exited with status 3"));
  EXPECT_TRUE(Logged("two: exited with status 0"));
}

// A command over the time limit is stopped (its whole process group); one that cannot start says
// so and does not hold up the next.
TEST_F(HookRunnerTest, StopsACommandOverTheLimitAndSaysWhatCannotStart) {
  HookRunner runner(Log(), 300);
  runner.Run({"sh", "-c", "sleep 30 & wait"}, {}, "slow");
  runner.Run({dir_ + "/missing-program"}, {}, "missing");
  runner.Run({"true"}, {}, "after");
  EXPECT_EQ(runner.WaitIdle(), 0);
  EXPECT_TRUE(Logged("slow: stopped: over the time limit of 300 ms"));
  EXPECT_TRUE(Logged("slow: ended by signal 15 (Terminated)"));
  EXPECT_TRUE(Logged("missing: could not start " + dir_ + "/missing-program: No such file or directory"));
  EXPECT_TRUE(Logged("after: exited with status 0"));
}

}  // namespace
}  // namespace pelkan::hooks

namespace pelkan::hooks {
namespace {

// A command's output reaches the log capped at kMaxLoggedBytes as the log holds it: each line with
// its stamp, label and newline, the notice included, whether the lines are short or long.
TEST_F(HookRunnerTest, OutputInTheLogIsCappedWithEveryLinesPrefix) {
  const struct {
    const char* name;
    const char* script;
  } cases[] = {
      {"short lines", "yes x | head -n 200000"},
      {"long lines", "yes $(printf '%0500d' 0) | head -n 2000"},
      {"one endless line", "head -c 300000 /dev/zero | tr '\\0' 'y'"},
  };
  const std::string label = "REC_END_COMMAND (complete, /home/user/rec/20261208-2100.ts)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex_);
      log_.clear();
    }
    HookRunner runner(Log());
    runner.Run({"sh", "-c", c.script}, {}, label);
    EXPECT_EQ(runner.WaitIdle(), 0);
    std::lock_guard lock(mutex_);
    size_t bytes = 0;
    bool noticed = false;
    for (const std::string& line : log_) {
      if (line.starts_with(label + ": started ") || line.starts_with(label + ": exited ")) continue;
      bytes += HookRunner::kLogStampBytes + line.size() + 1;
      noticed = noticed || line == label + ": (further output not logged)";
    }
    EXPECT_TRUE(noticed);
    EXPECT_LE(bytes, HookRunner::kMaxLoggedBytes);
    EXPECT_GT(bytes, HookRunner::kMaxLoggedBytes - 1024);
  }
}

}  // namespace
}  // namespace pelkan::hooks
