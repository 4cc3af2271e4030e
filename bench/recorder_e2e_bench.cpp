// The recorder as a user runs it, end to end: `pelkan-cli capture --record` from the virtual tuner
// at the broadcast rate with the guide on (DECODE_PSI=1, PROC_EPG=1 in a new home's pelkan.ini),
// beside FFmpeg relaying that recording in real time (ffmpeg -re -copy_unknown -i x.ts -map 0
// -c copy -f mpegts out.ts) in the same run. Each process is measured from outside over the same
// span after the same start: its CPU from /proc/PID/stat, its wake-ups (voluntary and involuntary
// context switches of every thread) from /proc/PID/task/*/status, its resident memory at the end.
// `ratio` is the recorder's CPU over FFmpeg's.
//
// The recorder is run twice in the same home. The first run starts with no guide and takes in the
// whole eight-day schedule (about 40 s for three services): its figures over the span are the
// `cold_` counters. It is left running until the schedule has come round once
// (PELKAN_E2E_WARM seconds from its start, default 50) and stopped; the second run, beside FFmpeg,
// is what a recorder started again each day pays, and gives the main figures.
//
// PELKAN_E2E_SECONDS (default 30) is the span, PELKAN_E2E_SETTLE (default 8) the seconds after the
// start that are left out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet_spawn.h"


namespace {

double EnvSeconds(const char* name, double fallback) {
  const char* text = std::getenv(name);
  const double s = text != nullptr ? std::strtod(text, nullptr) : 0;
  return s > 0 ? s : fallback;
}

// A child process, its output to /dev/null; one still running is stopped with SIGINT at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) : pid_(pelkan::bench::SpawnQuiet(argv)) {}
  ~Child() {
    if (pid_ > 0) ::kill(pid_, SIGINT);
    Wait();
  }
  // Waits for the child to end by itself.
  void Wait() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
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

Sample Take(pid_t pid) {
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

// The recorder with its guide and FFmpeg's relay of the same recording, side by side.
void BM_RecorderBesideFfmpeg(benchmark::State& state) {
  const double settle = EnvSeconds("PELKAN_E2E_SETTLE", 8);
  const double span = EnvSeconds("PELKAN_E2E_SECONDS", 30);
  for (auto _ : state) {
    const Scratch scratch;
    if (scratch.dir.empty()) {
      state.SkipWithError("no temporary folder");
      break;
    }
    std::ofstream(scratch.dir + "/pelkan.ini") << "[Pelkan_Q_PSI]\nDECODE_PSI=1\nPROC_EPG=1\n";
    // A recording for FFmpeg to relay, longer than its span.
    {
      Child seed({PELKAN_CLI_PATH, "generate", "-o", scratch.dir + "/relay.ts", "--seconds",
                  std::to_string(static_cast<int>(settle + span + 5))});
      seed.Wait();
    }
    auto record = [&scratch](const std::string& file) {
      return std::vector<std::string>{PELKAN_CLI_PATH, "--home", scratch.dir, "capture", "--record",
                                      scratch.dir + "/" + file, "--status-every", "60"};
    };
    {
      Child cold(record("cold.ts"));
      if (cold.pid() <= 0) {
        state.SkipWithError("pelkan-cli cannot be run");
        break;
      }
      std::this_thread::sleep_for(std::chrono::duration<double>(settle));
      const Sample c0 = Take(cold.pid());
      const auto t0 = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(span));
      const Sample c1 = Take(cold.pid());
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      state.counters["cold_pct"] = (c1.cpu - c0.cpu) / seconds * 100;
      state.counters["cold_wakeups_per_s"] = (c1.wakeups - c0.wakeups) / seconds;
      const double warm = EnvSeconds("PELKAN_E2E_WARM", 50) - settle - span;
      if (warm > 0) std::this_thread::sleep_for(std::chrono::duration<double>(warm));
    }
    Child recorder(record("x.ts"));
    Child ffmpeg({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-copy_unknown", "-i",
                  scratch.dir + "/relay.ts", "-map", "0", "-c", "copy", "-f", "mpegts", "-y", scratch.dir + "/out.ts"});
    if (recorder.pid() <= 0 || ffmpeg.pid() <= 0) {
      state.SkipWithError("pelkan-cli or ffmpeg cannot be run");
      break;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    const Sample r0 = Take(recorder.pid()), f0 = Take(ffmpeg.pid());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(span));
    const Sample r1 = Take(recorder.pid()), f1 = Take(ffmpeg.pid());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(seconds);
    const double recorder_pct = (r1.cpu - r0.cpu) / seconds * 100;
    const double ffmpeg_pct = (f1.cpu - f0.cpu) / seconds * 100;
    state.counters["recorder_pct"] = recorder_pct;
    state.counters["recorder_wakeups_per_s"] = (r1.wakeups - r0.wakeups) / seconds;
    state.counters["recorder_rss_MiB"] = r1.rss_mib;
    state.counters["ffmpeg_pct"] = ffmpeg_pct;
    state.counters["ffmpeg_wakeups_per_s"] = (f1.wakeups - f0.wakeups) / seconds;
    state.counters["ffmpeg_rss_MiB"] = f1.rss_mib;
    state.counters["ratio"] = ffmpeg_pct > 0 ? recorder_pct / ffmpeg_pct : 0;
  }
}
BENCHMARK(BM_RecorderBesideFfmpeg)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
