#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelkan::testing {

// The pelkan-cli program of this build.
std::string CliPath();

// What a run of pelkan-cli left: its exit code (-1 when it did not exit) and its standard output.
struct CliRun {
  int exit_code = -1;
  std::string out;
};

// Runs the command function `command` (RunSchedule, RunRule, ...) in this process with `args`
// (argv, its name first) and returns its exit code; its standard output goes to `*out` when given
// (its standard error stays the caller's to capture).
int RunInProcess(int (*command)(int, char**), std::vector<std::string> args, std::string* out = nullptr);

// Runs pelkan-cli with `args` (the shell command line after the program's name) in the current
// folder, its standard error discarded, and waits for it.
CliRun RunCli(const std::string& args);
// Runs `command` in the shell and waits for it: its exit code and standard output.
CliRun RunShell(const std::string& command);

// Starts pelkan-cli with `args` in the folder `dir`, its standard output and error going to
// out.txt and err.txt there; returns the child's process id (the caller waits for it).
pid_t StartCliInFolder(const std::string& dir, std::vector<std::string> args);

// Waits up to `limit` for `child` to end, looking every 100 ms, and interrupts it (SIGINT, as
// Ctrl-C) once `interrupt_when` first returns true. Returns its wait status; nullopt when it had
// not ended by then (it is killed).
std::optional<int> WaitInterruptingWhen(pid_t child, std::chrono::seconds limit,
                                        const std::function<bool()>& interrupt_when);

}  // namespace pelkan::testing
