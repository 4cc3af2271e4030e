// `pelkan-cli check` speed: StreamCheck::FeedFile (what the command runs per file) over a 500 MB
// recording held in the page cache, the commands `pelkan-cli check` and `pelkan-cli inspect` run as
// processes over it, and FFmpeg's demuxer over the same file in the same run
// (ffmpeg -copy_unknown -i F -map 0 -c copy -f null -), so that the ratios come from one machine
// state. The file is a synthetic terrestrial broadcast (3 services, 17 Mbit/s mix) written
// once to PELKAN_CHECK_FILE (default: check_bench.ts in the temporary folder) and removed at the
// end unless PELKAN_CHECK_KEEP is set.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/quiet_spawn.h"
#include "streamgen/broadcast_generator.h"
#include "ts/stream_check.h"

namespace {

constexpr uint64_t kFileBytes = 500ull * 1000 * 1000 / 188 * 188;

const std::string& FilePath() {
  static const std::string path = [] {
    const char* env = std::getenv("PELKAN_CHECK_FILE");
    return env != nullptr ? std::string(env)
                          : (std::filesystem::temp_directory_path() / "check_bench.ts").string();
  }();
  return path;
}

// Writes the file unless one of the right size is there; false when it cannot be written.
bool MakeFile() {
  std::error_code ec;
  if (std::filesystem::file_size(FilePath(), ec) == kFileBytes) return true;
  FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (f == nullptr) return false;
  pelkan::streamgen::GeneratorOptions options;
  pelkan::streamgen::BroadcastGenerator generator(options);
  std::vector<uint8_t> buffer(188 * 20000);
  bool ok = true;
  for (uint64_t left = kFileBytes; ok && left > 0;) {
    const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
    generator.Read(buffer.data(), n);
    ok = std::fwrite(buffer.data(), 1, n, f) == n;
    left -= n;
  }
  return std::fclose(f) == 0 && ok;
}

// The check's speed (bytes per second of real time and of CPU time), for the ratio to FFmpeg.
double g_check_rate = 0;
double g_check_cpu_rate = 0;

double ChildCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Real and CPU seconds the program `argv` (searched in PATH) takes, its output discarded and no
// shell in between; false when it cannot be run or fails.
bool RunCommand(const std::vector<std::string>& argv, double* seconds, double* cpu_seconds) {
  const double cpu0 = ChildCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  int status = -1;
  const pid_t pid = pelkan::bench::SpawnQuiet(argv);
  if (pid > 0) ::waitpid(pid, &status, 0);
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *cpu_seconds = ChildCpuSeconds() - cpu0;
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Real and CPU seconds FFmpeg's demuxer takes over the file; false when ffmpeg cannot be run.
bool RunFfmpeg(double* seconds, double* cpu_seconds) {
  return RunCommand({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-copy_unknown", "-i", FilePath(),
                     "-map", "0", "-c", "copy", "-f", "null", "-"},
                    seconds, cpu_seconds);
}

// The speed of a pelkan-cli command over the file (bytes per second of real and of CPU time).
struct Rate {
  double real = 0;
  double cpu = 0;
};
Rate g_check_command;
Rate g_inspect_command;

// Runs `pelkan-cli COMMAND FILE` (output discarded) as often as the benchmark asks.
void RunCli(benchmark::State& state, const char* command, Rate* rate) {
  if (!MakeFile()) {
    state.SkipWithError(("cannot write " + FilePath()).c_str());
    return;
  }
  const std::vector<std::string> cmd = {PELKAN_CLI_PATH, command, FilePath()};
  double seconds = 0;
  double cpu_seconds = 0;
  for (auto _ : state) {
    double s = 0;
    double cpu = 0;
    if (!RunCommand(cmd, &s, &cpu)) {
      state.SkipWithError((std::string("pelkan-cli ") + command + " failed").c_str());
      return;
    }
    state.SetIterationTime(s);
    seconds += s;
    cpu_seconds += cpu;
  }
  const double bytes = static_cast<double>(state.iterations() * kFileBytes);
  rate->real = bytes / seconds;
  rate->cpu = bytes / cpu_seconds;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["cpu_GBps"] = rate->cpu * 1e-9;
}

void BM_CheckFile(benchmark::State& state) {
  if (!MakeFile()) {
    state.SkipWithError(("cannot write " + FilePath()).c_str());
    return;
  }
  {
    // Into the page cache first.
    pelkan::StreamCheck warm;
    std::string error;
    warm.FeedFile(FilePath(), &error);
  }
  uint64_t packets = 0;
  const auto t0 = std::chrono::steady_clock::now();
  timespec c0{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
  for (auto _ : state) {
    pelkan::StreamCheck check;
    std::string error;
    if (!check.FeedFile(FilePath(), &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    packets = check.checker().packets_checked();
    benchmark::DoNotOptimize(packets);
  }
  timespec c1{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
  const double bytes = static_cast<double>(state.iterations() * kFileBytes);
  g_check_rate = bytes / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  g_check_cpu_rate = bytes / (static_cast<double>(c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) * 1e-9);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
  state.counters["packets"] = static_cast<double>(packets);
  state.counters["cpu_GBps"] = g_check_cpu_rate * 1e-9;
}
BENCHMARK(BM_CheckFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The physical limit of a check on this machine: the file mapped about 8 MiB at a time as the
// check maps it (platform/file_scan), and of each packet only its header read (sync byte, PID, counter) and a count per PID kept.
double g_bare_rate = 0;
void BM_BareHeaderPass(benchmark::State& state) {
  if (!MakeFile()) {
    state.SkipWithError(("cannot write " + FilePath()).c_str());
    return;
  }
  // About 8 MiB, whole packets and whole pages.
  constexpr size_t kWindow = size_t{188} * 4096 * 11;
  std::vector<uint32_t> per_pid(8192);
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const int fd = ::open(FilePath().c_str(), O_RDONLY);
    if (fd < 0) {
      state.SkipWithError("cannot open the file");
      return;
    }
    uint32_t lost_sync = 0;
    for (uint64_t at = 0; at < kFileBytes; at += kWindow) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kWindow, kFileBytes - at));
      void* map = ::mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(at));
      if (map == MAP_FAILED) break;
      ::madvise(map, n, MADV_SEQUENTIAL);
      const auto* p = static_cast<const uint8_t*>(map);
      for (size_t i = 0; i + 188 <= n; i += 188) {
        lost_sync += p[i] != 0x47;
        per_pid[(p[i + 1] & 0x1F) << 8 | p[i + 2]] += p[i + 3] & 0x0F;
      }
      ::munmap(map, n);
    }
    ::close(fd);
    benchmark::DoNotOptimize(lost_sync);
    benchmark::DoNotOptimize(per_pid.data());
  }
  const double bytes = static_cast<double>(state.iterations() * kFileBytes);
  g_bare_rate = bytes / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_BareHeaderPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The command as a user runs it (start-up, the whole file, the table printed); `of_loop` is its
// speed over the library loop's (real time; cpu_of_loop in CPU time), `of_bare` over the bare header
// pass's.
void BM_CheckCommand(benchmark::State& state) {
  RunCli(state, "check", &g_check_command);
  if (g_check_rate > 0 && g_check_command.real > 0) {
    state.counters["of_loop"] = g_check_command.real / g_check_rate;
    state.counters["cpu_of_loop"] = g_check_command.cpu / g_check_cpu_rate;
  }
  if (g_bare_rate > 0 && g_check_command.real > 0) state.counters["of_bare"] = g_check_command.real / g_bare_rate;
}
BENCHMARK(BM_CheckCommand)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

// `pelkan-cli inspect` (PSI and EPG decoding of the whole file), compared with FFmpeg below.
void BM_InspectCommand(benchmark::State& state) { RunCli(state, "inspect", &g_inspect_command); }
BENCHMARK(BM_InspectCommand)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// FFmpeg over the same file, three times, after the check; `times_check` is how many times faster
// the check was (real time), `cpu_times_check` the same in CPU time (FFmpeg's CPU time is its own
// process's), which a loaded machine distorts less; `times_inspect` and `cpu_times_inspect` the
// same for the inspect command.
void BM_FfmpegDemux(benchmark::State& state) {
  if (!MakeFile()) {
    state.SkipWithError(("cannot write " + FilePath()).c_str());
    return;
  }
  double seconds = 0;
  double cpu_seconds = 0;
  for (auto _ : state) {
    double s = 0;
    double cpu = 0;
    if (!RunFfmpeg(&s, &cpu)) {
      state.SkipWithError("ffmpeg cannot be run");
      return;
    }
    state.SetIterationTime(s);
    seconds += s;
    cpu_seconds += cpu;
  }
  const double bytes = static_cast<double>(state.iterations() * kFileBytes);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["cpu_GBps"] = bytes / cpu_seconds * 1e-9;
  if (g_check_rate > 0) {
    state.counters["times_check"] = g_check_rate / (bytes / seconds);
    state.counters["cpu_times_check"] = g_check_cpu_rate / (bytes / cpu_seconds);
  }
  if (g_inspect_command.real > 0) {
    state.counters["times_inspect"] = g_inspect_command.real / (bytes / seconds);
    state.counters["cpu_times_inspect"] = g_inspect_command.cpu / (bytes / cpu_seconds);
  }
}
BENCHMARK(BM_FfmpegDemux)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (std::getenv("PELKAN_CHECK_KEEP") == nullptr) std::filesystem::remove(FilePath());
  return 0;
}
