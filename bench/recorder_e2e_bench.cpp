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

#include <chrono>
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
using pelkan::bench::Measure;
using pelkan::bench::RecordCommand;
using pelkan::bench::Scratch;

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
    GenerateRelay(scratch.dir, settle + span + 5);
    {
      Child cold(RecordCommand(scratch.dir, "cold.ts"));
      if (cold.pid() <= 0) {
        state.SkipWithError("pelkan-cli cannot be run");
        break;
      }
      const auto c = Measure({cold.pid()}, settle, span)[0];
      state.counters["cold_pct"] = c.pct;
      state.counters["cold_wakeups_per_s"] = c.wakeups_per_s;
      const double warm = EnvSeconds("PELKAN_E2E_WARM", 50) - settle - span;
      if (warm > 0) std::this_thread::sleep_for(std::chrono::duration<double>(warm));
    }
    Child recorder(RecordCommand(scratch.dir, "x.ts"));
    Child ffmpeg(FfmpegRelayCommand(scratch.dir));
    if (recorder.pid() <= 0 || ffmpeg.pid() <= 0) {
      state.SkipWithError("pelkan-cli or ffmpeg cannot be run");
      break;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const auto f = Measure({recorder.pid(), ffmpeg.pid()}, settle, span);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - settle);
    state.counters["recorder_pct"] = f[0].pct;
    state.counters["recorder_wakeups_per_s"] = f[0].wakeups_per_s;
    state.counters["recorder_rss_MiB"] = f[0].rss_mib;
    state.counters["ffmpeg_pct"] = f[1].pct;
    state.counters["ffmpeg_wakeups_per_s"] = f[1].wakeups_per_s;
    state.counters["ffmpeg_rss_MiB"] = f[1].rss_mib;
    state.counters["ratio"] = f[1].pct > 0 ? f[0].pct / f[1].pct : 0;
  }
}
BENCHMARK(BM_RecorderBesideFfmpeg)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
