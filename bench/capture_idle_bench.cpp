// What a capture costs while left running: the whole pipeline (virtual tuner -> FX2 capture device
// -> capture FIFO -> processor with PSI and EPG -> recorder writing a file), in a capture session
// whose heartbeat (the status refresh) a main loop runs, as in the command-line tool.
//
// At the broadcast rate it runs for a fixed span and reports the process's CPU time per hour of
// broadcast (cpu_s_per_h, and pct_of_core), its voluntary context switches per second over all
// threads (wakeups_per_s), and its peak resident memory during the span (peak_rss_MiB). At
// "unlimited" it captures a fixed amount and reports GB/s and CPU s/GB. The tuner plays either a
// pre-generated file or the broadcast generator live (whose own cost is then included).
//
// CPU and switches come from getrusage over the whole process, so other load on the machine
// changes them less than wall time; the span is PELKAN_IDLE_SECONDS (default 20).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_session.h"
#include "app/loop_dispatcher.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "streamgen/broadcast_generator.h"
#include "usb/ts_source.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

constexpr uint64_t kBroadcastRate = usb::kDefaultVirtualBitRate;  // 17 Mbit/s
// Bytes of broadcast in the played file: about 2 s at the broadcast rate (the file source holds
// the whole file in memory), played in a loop.
constexpr size_t kFileBytes = size_t{188} * 0x6000;

struct Usage {
  double cpu = 0;          // user + system seconds
  double voluntary = 0;    // context switches the threads asked for (waits)
  double involuntary = 0;  // preemptions
  double faults = 0;       // minor page faults
};

Usage Now() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  Usage r;
  r.cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
          static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  r.voluntary = static_cast<double>(u.ru_nvcsw);
  r.involuntary = static_cast<double>(u.ru_nivcsw);
  r.faults = static_cast<double>(u.ru_minflt);
  return r;
}

// The "VmHWM" (peak) or "VmRSS" line of /proc/self/status, in MiB.
double StatusMiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + std::strlen(key) + 1, nullptr) / 1024.0;
  }
  return 0;
}

// Starts a new peak of the resident memory (Linux 4.0 and later).
void ResetPeakRss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double SpanSeconds() {
  const char* text = std::getenv("PELKAN_IDLE_SECONDS");
  const double s = text ? std::strtod(text, nullptr) : 0;
  return s >= 2 ? s : 20;
}

// A temporary folder with the broadcast file the tuner plays; removed at exit.
struct Scratch {
  std::string dir;
  std::string ts_file;
  Scratch() {
    std::string pattern = "/tmp/pelkan-idle-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    ts_file = dir + "/broadcast.ts";
    streamgen::BroadcastGenerator generator{streamgen::GeneratorOptions{}};
    std::ofstream out(ts_file, std::ios::binary);
    std::vector<uint8_t> chunk(size_t{188} * 0x1000);
    for (size_t done = 0; done < kFileBytes; done += chunk.size()) {
      generator.Read(chunk.data(), chunk.size());
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
  }
  ~Scratch() {
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

Scratch& TheScratch() {
  static Scratch s;
  return s;
}

using SourceFactory = std::function<std::unique_ptr<usb::TsSource>()>;

SourceFactory FileSource() {
  return [] { return std::unique_ptr<usb::TsSource>(usb::FileTsSource::Open(TheScratch().ts_file)); };
}

SourceFactory GeneratorSource(uint64_t bit_rate) {
  return [bit_rate] {
    streamgen::GeneratorOptions o;
    o.bit_rate = bit_rate;
    return std::unique_ptr<usb::TsSource>(std::make_unique<core::GeneratorTsSource>(o));
  };
}

// One capture session recording the virtual tuner's stream to a file, its heartbeat run by `loop`
// on the calling thread.
class Rig {
 public:
  Rig(uint64_t bit_rate, SourceFactory source)
      : session_(loop_, nullptr, SessionOptions{}), app_(session_.app()) {
    app_.settings().decode_psi = 1;
    app_.settings().proc_epg = 1;
    usb::VirtualTunerOptions v;
    v.bit_rate = bit_rate;
    v.source_factory = std::move(source);
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
    device->OpenDevice();
    app_.SetDevice(std::move(device));
    session_.Begin();
  }
  ~Rig() {
    app_.Disconnect();
    std::filesystem::remove(path_);
  }

  bool Start() {
    path_ = TheScratch().dir + "/record.ts";
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    r.out_address = core::kNoEndpoint;
    return app_.Connect(r) && app_.ToggleRecording(false, path_);
  }
  // Runs the loop (the status refreshes) for `ms`.
  void Run(uint32_t ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
      loop_.RunOnce(static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1));
    }
  }
  uint64_t BytesFed() const { return app_.BlocksFed() * CaptureApp::kBlockSize; }
  CaptureApp& app() { return app_; }

 private:
  LoopDispatcher loop_;
  CaptureSession session_;
  CaptureApp& app_;
  std::string path_;
};

void ReportOverflows(benchmark::State& state, CaptureApp& app) {
  state.counters["fifo_overflows_R"] = static_cast<double>(app.stats().fifo_overflows.load());
}

// The broadcast rate for the span: CPU per hour of broadcast, wake-ups per second, peak memory.
void BM_Broadcast(benchmark::State& state, SourceFactory source) {
  if (TheScratch().dir.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const double span = SpanSeconds();
  for (auto _ : state) {
    Rig rig(kBroadcastRate, source);
    if (!rig.Start()) {
      state.SkipWithError("connect or recording failed");
      break;
    }
    rig.Run(1000);  // start-up (threads, buffers, the first tables) is not what is measured
    ResetPeakRss();
    const uint64_t bytes0 = rig.BytesFed();
    const Usage u0 = Now();
    const auto t0 = std::chrono::steady_clock::now();
    rig.Run(static_cast<uint32_t>(span * 1000));
    const Usage u1 = Now();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const uint64_t bytes = rig.BytesFed() - bytes0;
    state.SetIterationTime(seconds);
    const double cpu = u1.cpu - u0.cpu;
    state.counters["cpu_s_per_h"] = cpu / seconds * 3600;
    state.counters["pct_of_core"] = cpu / seconds * 100;
    state.counters["wakeups_per_s"] = (u1.voluntary - u0.voluntary) / seconds;
    state.counters["preempted_per_s"] = (u1.involuntary - u0.involuntary) / seconds;
    state.counters["page_faults_per_s"] = (u1.faults - u0.faults) / seconds;
    state.counters["Mbit_per_s"] = static_cast<double>(bytes) * 8 / seconds / 1e6;
    state.counters["peak_rss_MiB"] = StatusMiB("VmHWM:");
    ReportOverflows(state, rig.app());
  }
}

// "Unlimited": the tuner delivers as fast as transfers are asked for; `mebibytes` are captured.
void BM_Unlimited(benchmark::State& state, SourceFactory source) {
  if (TheScratch().dir.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const uint64_t want = static_cast<uint64_t>(state.range(0)) << 20;
  double seconds = 0, cpu = 0, voluntary = 0;
  uint64_t fed = 0;
  for (auto _ : state) {
    Rig rig(0, source);
    const Usage u0 = Now();
    const auto t0 = std::chrono::steady_clock::now();
    if (!rig.Start()) {
      state.SkipWithError("connect or recording failed");
      break;
    }
    while (rig.BytesFed() < want) rig.Run(5);
    const Usage u1 = Now();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    seconds += s;
    cpu += u1.cpu - u0.cpu;
    voluntary += u1.voluntary - u0.voluntary;
    fed += rig.BytesFed();
    ReportOverflows(state, rig.app());
  }
  state.SetBytesProcessed(static_cast<int64_t>(fed));
  state.counters["GB_per_s"] = static_cast<double>(fed) / 1e9 / seconds;
  state.counters["cpu_s_per_GB"] = cpu / (static_cast<double>(fed) / 1e9);
  state.counters["wakeups_per_s"] = voluntary / seconds;
}

// The broadcast-rate runs come first, so that their peak memory is not the unlimited runs'.
BENCHMARK_CAPTURE(BM_Broadcast, File, FileSource())->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Broadcast, Generator, GeneratorSource(kBroadcastRate))
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Unlimited, File, FileSource())
    ->Arg(1024)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Unlimited, Generator, GeneratorSource(200'000'000))
    ->Arg(512)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelkan
