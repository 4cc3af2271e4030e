// The desktop program's own options: --help and --version print and exit without a display.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/cli_process.h"

namespace pelkan::ui {
namespace {

// Runs the pelkan program of this build with `args`, with no display of any kind.
pelkan::testing::CliRun RunDesktop(const std::string& args) {
  return pelkan::testing::RunShell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                   std::string(PELKAN_BINARY_DIR) + "/src/ui/pelkan " + args + " 2>&1");
}

TEST(PelkanMain, HelpAndVersionPrintAndExitWithoutADisplay) {
  struct Case {
    const char* args;
    int exit_code;
    const char* says;
  };
  const Case cases[] = {
      {"--help", 0, "--home DIR"},
      {"-h", 0, "--version"},
      {"--version", 0, "pelkan " PELKAN_VERSION "\n"},
      {"--home", 2, "--home needs a folder"},
      {"", 1, "no display"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const pelkan::testing::CliRun r = RunDesktop(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace pelkan::ui
