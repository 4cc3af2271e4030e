// The desktop program as a user runs it, end to end, under a virtual display (Xvfb, no
// accessibility bus), beside the command line and FFmpeg in the same run:
//
// BM_DesktopRecording: `pelkan --record` (the window shown, connected to the virtual tuner at the
// broadcast rate, recording, the guide on) against `pelkan-cli capture --record` in the same home,
// one after the other, then the desktop program again with the 番組表 window open and idle, with
// FFmpeg relaying a recording in real time beside it (as in recorder_e2e_bench). Each is measured
// from outside: share of a core, wake-ups/s, resident memory; `*_over_cli_pct` is the desktop's
// share less the command line's. The home's guide is filled first by a command-line run of
// PELKAN_E2E_WARM seconds (default 50), so every figure is that of a recorder started again.
//
// BM_DesktopStartup: from the start of `pelkan` to its main window being mapped on the display
// (seen by `xev` on the root window), warm cache: the median of five starts after one untimed.
// BM_CliVersion: `pelkan-cli --version` from spawn to exit, the median of twenty.
//
// PELKAN_E2E_SECONDS (default 30) is the span, PELKAN_E2E_SETTLE (default 8) the seconds left out.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_figures.h"

namespace {

using pelkan::bench::Child;
using pelkan::bench::EnvSeconds;
using pelkan::bench::FfmpegRelayCommand;
using pelkan::bench::GenerateRelay;
using pelkan::bench::RecordCommand;
using pelkan::bench::Figures;
using pelkan::bench::Measure;
using pelkan::bench::Scratch;
using Clock = std::chrono::steady_clock;

// A virtual display for the children started while it lives (DISPLAY is set for them), without
// an accessibility bus.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    for (int n = 90 + ::getpid() % 100; n < 290 && !ok_; ++n) {
      char display[16], socket[40];
      std::snprintf(display, sizeof display, ":%d", n);
      std::snprintf(socket, sizeof socket, "/tmp/.X11-unix/X%d", n);
      if (std::filesystem::exists(socket)) continue;
      server_ = std::make_unique<Child>(
          std::vector<std::string>{"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
      for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ok_ = std::filesystem::exists(socket);
      name_ = display;
    }
    ::setenv("DISPLAY", name_.c_str(), 1);
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("AT_SPI_BUS_ADDRESS");
    ::setenv("NO_AT_BRIDGE", "1", 1);
    ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "0", 1);
  }
  ~VirtualDisplay() { ::unsetenv("DISPLAY"); }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

 private:
  std::unique_ptr<Child> server_;
  std::string name_;
  bool ok_ = false;
};

void WriteIni(const std::string& dir, bool guide_window) {
  std::ofstream(dir + "/pelkan.ini") << "[Pelkan_Q]\nREC_AUTOFILENAME=1\nREC_AUTOPATH=" << dir
                                     << "\nGUIDE_SHOW=" << (guide_window ? 1 : 0)
                                     << "\n[Pelkan_Q_PSI]\nDECODE_PSI=1\nPROC_EPG=1\n";
}

// The home written without the guide window; false (the benchmark skipped) without a home or display.
bool Ready(benchmark::State& state, const Scratch& scratch, const VirtualDisplay& display) {
  if (scratch.dir.empty() || !display.ok()) {
    state.SkipWithError("no temporary folder or no virtual display (Xvfb)");
    return false;
  }
  WriteIni(scratch.dir, false);
  return true;
}

void Report(benchmark::State& state, const std::string& name, const Figures& f) {
  state.counters[name + "_pct"] = f.pct;
  state.counters[name + "_wakeups_per_s"] = f.wakeups_per_s;
  state.counters[name + "_rss_MiB"] = f.rss_mib;
}

void BM_DesktopRecording(benchmark::State& state) {
  const double settle = EnvSeconds("PELKAN_E2E_SETTLE", 8);
  const double span = EnvSeconds("PELKAN_E2E_SECONDS", 30);
  for (auto _ : state) {
    const Scratch scratch;
    const VirtualDisplay display;
    if (!Ready(state, scratch, display)) break;
    GenerateRelay(scratch.dir, settle + span + 5);
    {
      Child warm(RecordCommand(scratch.dir, "warm.ts"));
      std::this_thread::sleep_for(std::chrono::duration<double>(EnvSeconds("PELKAN_E2E_WARM", 50)));
    }
    Figures line;
    {
      Child c(RecordCommand(scratch.dir, "cli.ts"));
      line = Measure({c.pid()}, settle, span)[0];
    }
    Report(state, "cli", line);
    const std::vector<std::string> desktop = {PELKAN_GUI_PATH, "--home", scratch.dir, "--record"};
    {
      Child d(desktop);
      Child ffmpeg(FfmpegRelayCommand(scratch.dir));
      const auto f = Measure({d.pid(), ffmpeg.pid()}, settle, span);
      Report(state, "desktop", f[0]);
      Report(state, "ffmpeg", f[1]);
      state.counters["desktop_over_cli_pct"] = f[0].pct - line.pct;
      // The desktop program ends the recording and asks before it quits while connected: SIGTERM.
      ::kill(d.pid(), SIGTERM);
    }
    WriteIni(scratch.dir, true);
    {
      Child d(desktop);
      const Figures f = Measure({d.pid()}, settle, span)[0];
      Report(state, "guide_window", f);
      state.counters["guide_window_over_cli_pct"] = f.pct - line.pct;
      ::kill(d.pid(), SIGTERM);
    }
    state.SetIterationTime(3 * span);
  }
}
BENCHMARK(BM_DesktopRecording)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Reads what `xev` writes (on `fd`) until it holds `what` or `limit` passes; true when found.
bool ReadUntil(int fd, const char* what, Clock::duration limit) {
  const auto end = Clock::now() + limit;
  std::string seen;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (Clock::now() < end) {
    const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (::poll(&p, 1, std::max(ms, 1)) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<size_t>(n));
    if (what != nullptr && seen.find(what) != std::string::npos) return true;
  }
  return false;
}

void BM_DesktopStartup(benchmark::State& state) {
  for (auto _ : state) {
    const Scratch scratch;
    const VirtualDisplay display;
    if (!Ready(state, scratch, display)) break;
    // xev on the root window, its lines read through a pipe.
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) break;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    ::posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    const std::string display_name = display.name();
    // (stdbuf: xev writes each event's lines at once, not when its buffer is full)
    const char* xev_argv[] = {"stdbuf", "-oL", "xev", "-display", display_name.c_str(), "-root", "-event", "substructure", nullptr};
    pid_t xev_pid = -1;
    if (::posix_spawnp(&xev_pid, "stdbuf", &actions, nullptr, const_cast<char**>(xev_argv), environ) != 0) xev_pid = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    const int xev = pipe_fds[0];
    if (xev_pid <= 0) {
      state.SkipWithError("xev cannot be run");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> ms;
    for (int run = 0; run < 6; ++run) {
      const auto t0 = Clock::now();
      Child d({PELKAN_GUI_PATH, "--home", scratch.dir});
      const bool shown = ReadUntil(xev, "MapNotify", std::chrono::seconds(20));
      const double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      ::kill(d.pid(), SIGTERM);
      d.Wait();
      ReadUntil(xev, nullptr, std::chrono::milliseconds(300));  // its unmapping and destruction
      if (!shown) {
        state.SkipWithError("the main window was not shown");
        break;
      }
      if (run > 0) ms.push_back(took);
    }
    ::kill(xev_pid, SIGTERM);
    ::waitpid(xev_pid, nullptr, 0);
    ::close(xev);
    if (ms.empty()) break;
    std::sort(ms.begin(), ms.end());
    state.counters["shown_ms"] = ms[ms.size() / 2];
    state.counters["shown_ms_max"] = ms.back();
    state.SetIterationTime(ms[ms.size() / 2] / 1000);
  }
}
BENCHMARK(BM_DesktopStartup)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// `pelkan-cli --version` from spawn to exit (median of 20 after one to warm the cache), beside
// /bin/true spawned the same way in turn: `true_ms` is what any program costs to start and end on
// this machine at this moment, the floor under the figure.
void BM_CliVersion(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> ms;
    std::vector<double> floor_ms;
    for (int run = 0; run < 21; ++run) {
      for (const bool floor : {false, true}) {
        const auto t0 = Clock::now();
        Child c(floor ? std::vector<std::string>{"/bin/true"} : std::vector<std::string>{PELKAN_CLI_PATH, "--version"});
        c.Wait();
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (run > 0) (floor ? floor_ms : ms).push_back(took);
      }
    }
    std::sort(ms.begin(), ms.end());
    std::sort(floor_ms.begin(), floor_ms.end());
    state.counters["version_ms"] = ms[ms.size() / 2];
    state.counters["true_ms"] = floor_ms[floor_ms.size() / 2];
    state.SetIterationTime(ms[ms.size() / 2] / 1000);
  }
}
BENCHMARK(BM_CliVersion)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
