// pelkan-cli service against a stand-in for systemd's user manager (python3-dbusmock on a private
// session bus): status, start (enabled and started), stop, and a shell without a user manager.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/support/cli_process.h"
#include "tests/support/mock_logind.h"

namespace pelkan {
namespace {

TEST(CliService, StatusStartStopThroughTheUserManager) {
  {
    testing::MockUserManager manager;
    if (!manager.Start(R"({"pelkan-recorder.service": "inactive"})")) GTEST_SKIP() << manager.Error();
    const struct {
      const char* args;
      const char* out;
    } steps[] = {
        {"service status", "pelkan-recorder.service: inactive (disabled)\n"},
        {"service start", "pelkan-recorder.service: active (enabled)\n"},
        {"service status", "pelkan-recorder.service: active (enabled)\n"},
        {"service stop", "pelkan-recorder.service: inactive (enabled)\n"},
    };
    for (const auto& s : steps) {
      const testing::CliRun run = testing::RunCli(s.args);
      EXPECT_EQ(run.exit_code, 0) << s.args;
      EXPECT_EQ(run.out, s.out) << s.args;
    }
  }
  // A unit the manager does not know, and no user manager at all: one line, exit 1.
  {
    testing::MockUserManager manager;
    ASSERT_TRUE(manager.Start("{}")) << manager.Error();
    const testing::CliRun run =
        testing::RunShell(testing::CliPath() + " service start 2>&1");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "pelkan-cli service: pelkan-recorder.service is not installed\n");
  }
  const testing::CliRun run = testing::RunShell(
      "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/pelkan-test/bus " + testing::CliPath() + " service status 2>&1");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out.rfind("pelkan-cli service: no systemd user manager: ", 0), 0u) << run.out;
}

}  // namespace
}  // namespace pelkan
