// End-to-end throughput of the capture pipeline: virtual tuner -> FX2 capture device -> capture
// FIFO -> processor (PSI and EPG on) -> recorder writing a temporary file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "streamgen/broadcast_generator.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

// Drops the tasks: the benchmark needs no status refresh.
class NullDispatcher : public Dispatcher {
 public:
  void Post(std::function<void()>) override {}
  void PostAfter(uint32_t, std::function<void()>) override {}
};

// A pre-generated piece of broadcast played in a loop, so that the tuner side costs no more than
// a copy and the pipeline itself is measured.
class LoopSource : public usb::TsSource {
 public:
  explicit LoopSource(std::shared_ptr<const std::vector<uint8_t>> data) : data_(std::move(data)) {}
  size_t Read(uint8_t* dst, size_t len) override {
    size_t done = 0;
    while (done < len) {
      const size_t n = std::min(len - done, data_->size() - pos_);
      std::memcpy(dst + done, data_->data() + pos_, n);
      done += n;
      pos_ = (pos_ + n) % data_->size();
    }
    return len;
  }

 private:
  std::shared_ptr<const std::vector<uint8_t>> data_;
  size_t pos_ = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::shared_ptr<const std::vector<uint8_t>> Broadcast64MiB() {
  static const auto data = [] {
    streamgen::GeneratorOptions o;
    o.bit_rate = 200'000'000;
    auto v = std::make_shared<std::vector<uint8_t>>(size_t{188} * 357000);  // about 64 MiB
    streamgen::BroadcastGenerator(o).Read(v->data(), v->size());
    return std::shared_ptr<const std::vector<uint8_t>>(v);
  }();
  return data;
}

// One run: captures `bytes` into a temporary file in `folder` and reports rate, CPU cost and FIFO
// overflows.
void RunCapture(benchmark::State& state, std::function<std::unique_ptr<usb::TsSource>()> source,
                uint64_t bit_rate, const char* folder) {
  const uint64_t bytes = static_cast<uint64_t>(state.range(0)) << 20;
  const uint64_t blocks = bytes / CaptureApp::kBlockSize;
  std::string pattern = std::string(folder) + "/pelkan-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string dir = pattern;
  double seconds = 0, cpu = 0;
  uint64_t fed_bytes = 0, overflows = 0, input_overflows = 0, stage_overflows = 0;
  for (auto _ : state) {
    NullDispatcher dispatcher;
    CaptureApp app(&dispatcher, nullptr);
    app.settings().decode_psi = 1;
    app.settings().proc_epg = 1;
    usb::VirtualTunerOptions v;
    v.bit_rate = bit_rate;
    v.source_factory = source;
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
    device->OpenDevice();
    app.SetDevice(std::move(device));
    app.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
      *b = 1ull << 40;
      return true;
    });
    const std::string path = dir + "/bench.ts";
    app.ToggleRecording(false, path);
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    r.out_address = core::kNoEndpoint;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (!app.Connect(r)) {
      state.SkipWithError("connect failed");
      break;
    }
    const uint64_t start_blocks = app.BlocksFed();
    while (app.BlocksFed() - start_blocks < blocks) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu1 = CpuSeconds();
    overflows += app.stats().fifo_overflows.load();
    input_overflows += app.stats().input_overflows.load();
    stage_overflows += app.stats().packet_stage_overflows.load();
    fed_bytes += (app.BlocksFed() - start_blocks) * CaptureApp::kBlockSize;
    app.Disconnect();
    seconds += std::chrono::duration<double>(t1 - t0).count();
    cpu += cpu1 - cpu0;
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    std::filesystem::remove(path);
  }
  std::filesystem::remove_all(dir);
  state.SetBytesProcessed(static_cast<int64_t>(fed_bytes));
  state.counters["MB_per_s"] = static_cast<double>(fed_bytes) / 1e6 / seconds;
  state.counters["cpu_s_per_GB"] = cpu / (static_cast<double>(fed_bytes) / 1e9);
  state.counters["fifo_overflows_R"] = static_cast<double>(overflows);
  state.counters["Sy"] = static_cast<double>(input_overflows);
  state.counters["St"] = static_cast<double>(stage_overflows);
}

// The virtual tuner at "unlimited" playing the broadcast generator live.
void BM_CaptureToFile_Generator(benchmark::State& state) {
  RunCapture(
      state,
      [] {
        streamgen::GeneratorOptions o;
        o.bit_rate = 200'000'000;
        return std::make_unique<core::GeneratorTsSource>(o);
      },
      0, "/tmp");
}
BENCHMARK(BM_CaptureToFile_Generator)
    ->Arg(512)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// The virtual tuner playing a pre-generated broadcast at `bit_rate` (0: "unlimited") into a file
// in `folder`. Unlimited shows the pipeline's own ceiling (the FIFO overflows there, since the tuner
// side outruns any consumer); paced runs show whether the pipeline keeps up without overflow;
// /dev/shm takes the disk's write stalls out of the measure.
void BM_CaptureLoop(benchmark::State& state, uint64_t bit_rate, const char* folder) {
  const auto data = Broadcast64MiB();
  RunCapture(
      state, [data] { return std::make_unique<LoopSource>(data); }, bit_rate, folder);
}
#define PELKAN_CAPTURE_LOOP(name, mebibytes, bit_rate, folder) \
  BENCHMARK_CAPTURE(BM_CaptureLoop, name, bit_rate, folder)    \
      ->Arg(mebibytes)                                         \
      ->UseManualTime()                                        \
      ->Unit(benchmark::kMillisecond)                          \
      ->Iterations(2)

PELKAN_CAPTURE_LOOP(ToFile_Unlimited, 1024, 0ull, "/tmp");
PELKAN_CAPTURE_LOOP(ToFile_300MBps, 1024, 2'400'000'000ull, "/tmp");
PELKAN_CAPTURE_LOOP(ToMemoryFile_Unlimited, 1024, 0ull, "/dev/shm");
PELKAN_CAPTURE_LOOP(ToMemoryFile_300MBps, 1024, 2'400'000'000ull, "/dev/shm");
// The USB 2.0 ceiling (480 Mbit/s, 60 MB/s), well above any tuner: no byte may be lost.
PELKAN_CAPTURE_LOOP(ToFile_Usb2Ceiling, 256, 480'000'000ull, "/tmp");

}  // namespace
}  // namespace pelkan
