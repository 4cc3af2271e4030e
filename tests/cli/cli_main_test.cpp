// pelkan-cli as a program: its version, its home, and bad arguments of every command in one form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "tests/support/cli_process.h"

namespace pelkan {
namespace {

struct Output {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs pelkan-cli with `args` (shell words), keeping its standard output and error apart.
Output RunProgram(const std::string& args) {
  const std::string err_path = std::string(PELKAN_BINARY_DIR) + "/cli_main_test_err_" + std::to_string(getpid());
  Output r;
  FILE* p = popen((testing::CliPath() + " " + args + " 2>" + err_path).c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadText(err_path);
  std::remove(err_path.c_str());
  return r;
}

TEST(CliMain, VersionIsTheProjectsAsTheManualPageGivesIt) {
  const std::string page = ReadText(std::string(PELKAN_BINARY_DIR) + "/packaging/man/pelkan-cli.1");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page, m, std::regex("\"Pelkan ([0-9][^\"]*)\""))) << "no configured manual page";
  const Output r = RunProgram("--version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "pelkan-cli " + m[1].str() + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(RunProgram("--help").out.find("--version"), std::string::npos);
}

// The bus, HTTP, SQLite, PCRE2 and USB libraries are opened when a feature first needs them:
// mapping and resolving them at every start cost more than the rest of a short command's run, and
// a system without one still runs the commands that do not need it.
TEST(CliMain, StartsWithoutLoadingTheLibrariesOfItsFeatures) {
  // The dynamic loader lists what the program loads at start instead of running it.
  FILE* p = popen(("LD_TRACE_LOADED_OBJECTS=1 " + testing::CliPath()).c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string loaded;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) loaded.append(buf, n);
  pclose(p);
  ASSERT_NE(loaded.find("libc.so"), std::string::npos) << loaded;
  for (const char* library : {"libsystemd", "libmicrohttpd", "libsqlite3", "libpcre2", "libusb", "libudev"}) {
    EXPECT_EQ(loaded.find(library), std::string::npos) << library << " in\n" << loaded;
  }
}

TEST(CliMain, WithoutOrWithAnUnknownCommandTheUsageGoesToStandardError) {
  const Output help = RunProgram("--help");
  ASSERT_EQ(help.exit_code, 0);
  EXPECT_EQ(RunProgram("help").out, help.out);
  const Output none = RunProgram("");
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_EQ(none.err, help.out);
  const Output unknown = RunProgram("frobnicate");
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_EQ(unknown.err, "pelkan-cli: unknown command 'frobnicate'\n" + help.out);
}

// Every command reads its arguments the same way: an unknown option is named, then the command's
// usage (what its --help prints) follows on standard error, and the exit code is 2.
TEST(CliMain, EveryCommandRefusesAnUnknownOptionInOneForm) {
  for (const char* command : {"inspect", "check", "generate", "devices", "capture", "epg", "schedule list",
                              "schedule add", "schedule remove"}) {
    // The messages name the command ("pelkan-cli schedule" for the schedule's subcommands).
    const std::string name = std::string(command).substr(0, std::string(command).find(' '));
    const Output help = RunProgram(std::string(command) + " --help");
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_EQ(help.out.rfind("Usage: pelkan-cli " + std::string(command), 0), 0u) << command << ": " << help.out;
    const Output bad = RunProgram(std::string(command) + " --bogus x");
    EXPECT_EQ(bad.exit_code, 2) << command;
    EXPECT_EQ(bad.out, "") << command;
    EXPECT_EQ(bad.err, "pelkan-cli " + name + ": unknown option '--bogus'\n" + help.out) << command;
  }
}

// The home of the files: --home (before the command), else PELKAN_HOME, else the current directory;
// a reservation added there records into it (REC_AUTOPATH's default is the home).
TEST(CliMain, FilesLiveInTheHomeOfFlagOrEnvironmentElseHere) {
  char pattern[] = "/tmp/pelkan-cli-home-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  for (const char* sub : {"/here", "/flag", "/env"}) ASSERT_EQ(::mkdir((root + sub).c_str(), 0700), 0);
  struct Case {
    const char* name;
    std::string env;  // PELKAN_HOME, or empty for none
    std::string args;
    std::string home;  // where schedule.ini is written, or empty when refused
  };
  const Case cases[] = {
      {"here", "", "", root + "/here"},
      {"PELKAN_HOME", root + "/env", "", root + "/env"},
      {"relative PELKAN_HOME", "../env", "", root + "/env"},
      {"--home over PELKAN_HOME", root + "/env", "--home " + root + "/flag", root + "/flag"},
      {"--home=DIR", "", "--home=../flag", root + "/flag"},
      {"--home of no folder", "", "--home " + root + "/none", ""},
      {"PELKAN_HOME of no folder", root + "/none", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* sub : {"/here", "/flag", "/env"}) std::remove((root + sub + "/schedule.ini").c_str());
    const std::string cmd = "cd " + root + "/here && " + (c.env.empty() ? "unset PELKAN_HOME; " : "PELKAN_HOME=" + c.env + " ") +
                            testing::CliPath() + " " + c.args +
                            " schedule add --start '2030-01-01 21:00' --minutes 30 --service 1024"
                            " > /dev/null 2> " + root + "/err.txt";
    const int status = std::system(cmd.c_str());
    const std::string err = ReadText(root + "/err.txt");
    ASSERT_TRUE(WIFEXITED(status));
    if (c.home.empty()) {
      EXPECT_EQ(WEXITSTATUS(status), 2) << err;
      EXPECT_NE(err.find(root + "/none"), std::string::npos) << err;
      EXPECT_NE(err.find("is not a folder"), std::string::npos) << err;
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << err;
    const std::string schedule = ReadText(c.home + "/schedule.ini");
    EXPECT_NE(schedule.find("\nDir=" + c.home + "\r\n"), std::string::npos) << schedule;
    for (const char* sub : {"/here", "/flag", "/env"}) {
      if (root + sub != c.home) {
        EXPECT_FALSE(std::ifstream(root + sub + "/schedule.ini").good()) << sub;
      }
    }
  }
  EXPECT_EQ(RunProgram("--home").exit_code, 2);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace pelkan
