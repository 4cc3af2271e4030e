#pragma once

// What the end-to-end benchmarks take of a program run as a process: its CPU time, wake-ups and
// resident memory, read from /proc as anyone watching it from outside would.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet_spawn.h"

namespace pelkan::bench {

inline double EnvSeconds(const char* name, double fallback) {
  const char* text = std::getenv(name);
  const double s = text != nullptr ? std::strtod(text, nullptr) : 0;
  return s > 0 ? s : fallback;
}

// A child process, its output and errors to /dev/null or the files given; one still running is
// stopped with SIGINT at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& out = "/dev/null",
                 const std::string& err = "/dev/null")
      : pid_(SpawnQuiet(argv, out, err)) {}
  ~Child() { Stop(); }
  // Asks the child to end (SIGINT) and waits for it.
  void Stop() {
    if (pid_ > 0) ::kill(pid_, SIGINT);
    Wait();
  }
  // Waits for the child to end by itself; its exit code, -1 when it did not exit by itself.
  int Wait() {
    int status = 0;
    const bool waited = pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct Sample {
  double cpu = 0;      // user + system seconds
  double wakeups = 0;  // context switches of every thread
  double rss_mib = 0;
};

inline Sample Take(pid_t pid) {
  Sample s;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  // The fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 13 && rest >> field; ++i) {
    if (i >= 12) ticks += std::strtod(field.c_str(), nullptr);
  }
  s.cpu = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        s.wakeups += std::strtod(line.c_str() + line.find(':') + 1, nullptr);
      }
    }
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_mib = std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return s;
}

// A process's share of a core (%), wake-ups a second and resident memory (MiB, at the end) over
// `span` seconds after `settle` seconds from now.
struct Figures {
  double pct = 0;
  double wakeups_per_s = 0;
  double rss_mib = 0;
};
inline std::vector<Figures> Measure(const std::vector<pid_t>& pids, double settle, double span) {
  std::this_thread::sleep_for(std::chrono::duration<double>(settle));
  std::vector<Sample> before;
  for (pid_t p : pids) before.push_back(Take(p));
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(span));
  std::vector<Figures> figures;
  for (size_t i = 0; i < pids.size(); ++i) {
    const Sample after = Take(pids[i]);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    figures.push_back({(after.cpu - before[i].cpu) / seconds * 100, (after.wakeups - before[i].wakeups) / seconds,
                       after.rss_mib});
  }
  return figures;
}

struct Scratch {
  std::string dir;
  Scratch() {
    std::string pattern = "/tmp/pelkan-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) dir = pattern;
  }
  ~Scratch() {
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

#ifdef PELKAN_CLI_PATH
// `pelkan-cli capture --record DIR/FILE` in the home DIR (the recorder as a user runs it).
inline std::vector<std::string> RecordCommand(const std::string& dir, const std::string& file) {
  return {PELKAN_CLI_PATH, "--home", dir, "capture", "--record", dir + "/" + file, "--status-every", "60"};
}

// Writes DIR/relay.ts, `seconds` of the generated broadcast, for FFmpeg to relay.
inline void GenerateRelay(const std::string& dir, double seconds) {
  Child seed({PELKAN_CLI_PATH, "generate", "-o", dir + "/relay.ts", "--seconds",
              std::to_string(static_cast<int>(seconds))});
  seed.Wait();
}
#endif

// FFmpeg relaying DIR/relay.ts in real time into DIR/out.ts: what a recorder costs in FFmpeg.
inline std::vector<std::string> FfmpegRelayCommand(const std::string& dir) {
  return {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-copy_unknown", "-i", dir + "/relay.ts",
          "-map", "0", "-c", "copy", "-f", "mpegts", "-y", dir + "/out.ts"};
}

}  // namespace pelkan::bench
