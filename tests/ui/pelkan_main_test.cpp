// The desktop program's own options: --help and --version print and exit without a display.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace pelkan::ui {
namespace {

struct DesktopRun {
  int exit_code = -1;
  std::string out;
};

// Runs the pelkan program of this build with `args`, with no display of any kind.
DesktopRun RunDesktop(const std::string& args) {
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                              std::string(PELKAN_BINARY_DIR) + "/src/ui/pelkan " + args + " 2>&1";
  DesktopRun r;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
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
    const DesktopRun r = RunDesktop(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace pelkan::ui
