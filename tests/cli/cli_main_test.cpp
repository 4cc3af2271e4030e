// pelkan-cli as a program: its version, and bad arguments of every command in one form.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

}  // namespace
}  // namespace pelkan
