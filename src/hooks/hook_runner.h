#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hooks/work_queue.h"

namespace pelkan::hooks {

// Runs the command after each recording: one at a time, in the order asked, on its own thread (never
// a capture thread), directly (posix_spawn, no shell) in a process group of its own, with the
// program's environment plus the given variables, stdin from /dev/null. Every line it writes to
// stdout or stderr goes to the log, as does how it ended. A command still running after the time
// limit is stopped: SIGTERM to its group, SIGKILL kGraceMs later.
class HookRunner {
 public:
  using LogFn = std::function<void(const std::string&)>;
  static constexpr uint32_t kDefaultLimitMs = 3600 * 1000;
  static constexpr uint32_t kGraceMs = 5000;
  // Output logged of one run, counted as it reaches the log (each line with its stamp, label and
  // newline); the rest is read and dropped.
  static constexpr size_t kMaxLoggedBytes = 64 * 1024;
  // What a log puts before each line ("2026-12-08 21:00:00 ").
  static constexpr size_t kLogStampBytes = 20;

  // `log` takes one line (English, no newline) on the runner's thread.
  explicit HookRunner(LogFn log, uint32_t limit_ms = kDefaultLimitMs);
  // Drops what waits (logged); a command still running is left to go on (logged with its pid).
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  void SetLimitMs(uint32_t limit_ms);
  // Queues `argv` (non-empty) with `env` (NAME=value, added to and replacing the program's own);
  // `label` names the run in the log. Any thread.
  void Run(std::vector<std::string> argv, std::vector<std::string> env, std::string label);
  // Waits until nothing waits or runs, or `give_up` (asked every 200 ms) says so (nullopt). The
  // exit status of the last run: its exit code, 128 + the signal that ended it, 127 when it could
  // not start.
  std::optional<int> WaitIdle(const std::function<bool()>& give_up = nullptr);

 private:
  struct Job {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string label;
  };
  void Serve();
  int RunOne(const Job& job);

  LogFn log_;
  WorkQueue<Job> jobs_;
  std::mutex mutex_;  // guards limit_ms_ and last_status_
  uint32_t limit_ms_;
  int last_status_ = 0;
  // A pipe whose write end wakes a run that waits for its command, to stop it at destruction.
  int stop_pipe_[2] = {-1, -1};
  std::thread worker_;
};

}  // namespace pelkan::hooks
