// Throughput of the capture device at "unlimited": the virtual tuner fills 32 transfers of
// 0x8000 bytes as fast as they are asked for, the FX2 device hands them to a callback that copies
// them (as the capture FIFO would).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "usb/ts_source.h"
#include "usb/virtual_tuner.h"

namespace {

using pelkan::core::CDTV_EzUSBFX2;
using pelkan::core::kNoEndpoint;

// A source of constant null packets: measures the transfer path without the cost of making data.
class NullPacketSource : public pelkan::usb::TsSource {
 public:
  NullPacketSource() : pattern_(188 * 64, 0xFF) {
    for (size_t p = 0; p < pattern_.size(); p += 188) {
      pattern_[p] = 0x47;
      pattern_[p + 1] = 0x1F;
      pattern_[p + 3] = 0x10;
    }
  }
  size_t Read(uint8_t* dst, size_t len) override {
    size_t done = 0;
    while (done < len) {
      const size_t n = std::min(len - done, pattern_.size() - pos_);
      std::memcpy(dst + done, pattern_.data() + pos_, n);
      done += n;
      pos_ = (pos_ + n) % pattern_.size();
    }
    return len;
  }

 private:
  std::vector<uint8_t> pattern_;
  size_t pos_ = 0;
};

struct Sink {
  std::vector<uint8_t> copy = std::vector<uint8_t>(CDTV_EzUSBFX2::kTransferSize);
  std::atomic<uint64_t> bytes{0};
  static void Callback(const uint8_t* data, uint32_t length, uint32_t, uint32_t, void* user) {
    auto* s = static_cast<Sink*>(user);
    std::memcpy(s->copy.data(), data, length);
    s->bytes.fetch_add(length, std::memory_order_relaxed);
  }
};

void RunCapture(benchmark::State& state, pelkan::usb::VirtualTunerOptions options) {
  constexpr uint64_t kBytesPerRun = 256ull << 20;
  auto tuner = std::make_shared<pelkan::usb::VirtualTunerDriver>(std::move(options));
  CDTV_EzUSBFX2 dev(tuner);
  Sink sink;
  dev.SetDataCallback(&Sink::Callback, &sink);
  dev.OpenDevice();
  uint64_t total = 0;
  uint32_t failed = 0;
  for (auto _ : state) {
    sink.bytes.store(0);
    if (dev.Start(0, 0x86, kNoEndpoint) != 1) {
      state.SkipWithError("Start failed");
      return;
    }
    while (sink.bytes.load(std::memory_order_relaxed) < kBytesPerRun) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    dev.Stop();
    total += sink.bytes.load();
    failed += dev.GetStatistics().transfers_failed;
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["failed_transfers"] = failed;
}

void BM_CaptureUnlimitedGenerator(benchmark::State& state) {
  pelkan::usb::VirtualTunerOptions o;
  o.bit_rate = 0;
  o.source_factory = [] { return pelkan::core::MakeDefaultTsSource(); };
  RunCapture(state, std::move(o));
}

void BM_CaptureUnlimitedNullPackets(benchmark::State& state) {
  pelkan::usb::VirtualTunerOptions o;
  o.bit_rate = 0;
  o.source_factory = [] { return std::make_unique<NullPacketSource>(); };
  RunCapture(state, std::move(o));
}

}  // namespace

BENCHMARK(BM_CaptureUnlimitedGenerator)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CaptureUnlimitedNullPackets)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
