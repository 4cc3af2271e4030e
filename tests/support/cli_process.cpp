#include "tests/support/cli_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace pelkan::testing {

std::string CliPath() {
  return std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";
}

int RunInProcess(int (*command)(int, char**), std::vector<std::string> args, std::string* out) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  ::testing::internal::CaptureStdout();
  const int rc = command(static_cast<int>(argv.size()), argv.data());
  const std::string text = ::testing::internal::GetCapturedStdout();
  if (out) *out = text;
  return rc;
}

CliRun RunCli(const std::string& args) {
  return RunShell(CliPath() + " " + args + " 2>/dev/null");
}

CliRun RunShell(const std::string& command) {
  CliRun r;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

pid_t StartCliInFolder(const std::string& dir, std::vector<std::string> args) {
  const std::string cli = CliPath();
  const pid_t child = fork();
  if (child != 0) return child;
  if (chdir(dir.c_str()) != 0) _exit(99);
  if (!freopen("out.txt", "w", stdout) || !freopen("err.txt", "w", stderr)) _exit(99);
  std::vector<char*> argv{const_cast<char*>(cli.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(cli.c_str(), argv.data());
  _exit(98);
}

std::optional<int> WaitInterruptingWhen(pid_t child, std::chrono::seconds limit,
                                        const std::function<bool()>& interrupt_when) {
  const auto until = std::chrono::steady_clock::now() + limit;
  bool signalled = false;
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(child, &status, WNOHANG) == child) return status;
    if (!signalled && interrupt_when()) {
      kill(child, SIGINT);
      signalled = true;
    }
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return std::nullopt;
}

}  // namespace pelkan::testing
