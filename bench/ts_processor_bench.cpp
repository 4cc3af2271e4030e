// Throughput of TsProcessor::Feed on a realistic multiplex, against a loop that only reads each
// packet's header (the floor any packet processing has to pay).
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "base/capture_stats.h"
#include "tests/support/ts_builder.h"
#include "ts/ts_processor.h"

namespace {

using pelkan::test::Bytes;

constexpr size_t kPackets = 100000;  // 18.8 MB of 188-byte packets
constexpr size_t kBlock = 0x8000;    // what the processing thread feeds at a time

const Bytes& Stream() {
  static const Bytes s = [] {
    pelkan::test::SyntheticOptions o;
    o.packets = kPackets;
    o.services = 3;
    return pelkan::test::SyntheticBroadcast(o);
  }();
  return s;
}

uint64_t HeaderLoop(const Bytes& s) {
  uint64_t sum = 0;
  for (size_t pos = 0; pos + 188 <= s.size(); pos += 188) {
    const uint8_t* p = s.data() + pos;
    sum += static_cast<uint32_t>(p[1] & 0x1F) << 8 | p[2];
    sum += p[3];
  }
  return sum;
}

void CountingHandler(uint32_t type, int32_t param, const uint8_t*, uint32_t, void* user) {
  auto* counts = static_cast<uint64_t*>(user);
  if (type == pelkan::EVENT_PACKET) {
    ++counts[param & 1];
  } else {
    ++counts[2];
  }
}

// The application's configuration: PSI and EPG on, outputs 0 and 1, output 1 limited to one
// service (its PAT rewritten), a handler that only counts.
void BM_TsProcessorFeed(benchmark::State& state) {
  const Bytes& s = Stream();
  pelkan::TsProcessor proc;
  pelkan::CaptureStats stats;
  uint64_t counts[3] = {};
  proc.SetDecodePsi(1);
  proc.SetProcessEpg(1);
  proc.AddOutput(1);
  const uint16_t service = 0x0400;
  const uint16_t pids[] = {0x0000, 0x0010, 0x0011, 0x0012, 0x0014, 0x01F0, 0x0100, 0x0101};
  proc.SetOutputFilter(1, 0, &service, 1, 0, pids, sizeof pids / sizeof pids[0]);
  proc.SetEventHandler(CountingHandler, counts);

  for (auto _ : state) {
    for (size_t pos = 0; pos < s.size(); pos += kBlock) {
      proc.Feed(s.data() + pos, static_cast<int>(std::min(kBlock, s.size() - pos)), stats);
    }
  }
  benchmark::DoNotOptimize(counts);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));

  // The header-only loop over the same bytes, timed here so that the ratio comes from one run.
  const auto t0 = std::chrono::steady_clock::now();
  constexpr int kRounds = 50;
  uint64_t sink = 0;
  for (int i = 0; i < kRounds; ++i) {
    sink += HeaderLoop(s);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sink);
  const double header_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / kRounds;
  state.counters["header_loop_GBps"] = static_cast<double>(s.size()) / header_seconds / 1e9;
  state.counters["out0_per_pass"] = static_cast<double>(counts[0]) / static_cast<double>(state.iterations());
  state.counters["out1_per_pass"] = static_cast<double>(counts[1]) / static_cast<double>(state.iterations());
  state.counters["sync_losses"] = stats.sync_losses.load();
}
BENCHMARK(BM_TsProcessorFeed)->Unit(benchmark::kMillisecond);

void BM_HeaderOnlyLoop(benchmark::State& state) {
  const Bytes& s = Stream();
  for (auto _ : state) benchmark::DoNotOptimize(HeaderLoop(s));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));
}
BENCHMARK(BM_HeaderOnlyLoop)->Unit(benchmark::kMillisecond);

// The same configuration fed with 204-byte packets (parity bytes after each packet).
void BM_TsProcessorFeed204(benchmark::State& state) {
  static const Bytes s = pelkan::test::Reframe(Stream(), 204);
  pelkan::TsProcessor proc;
  pelkan::CaptureStats stats;
  uint64_t counts[3] = {};
  proc.SetDecodePsi(1);
  proc.SetProcessEpg(1);
  proc.AddOutput(1);
  proc.SetEventHandler(CountingHandler, counts);
  for (auto _ : state) {
    for (size_t pos = 0; pos < s.size(); pos += kBlock) {
      proc.Feed(s.data() + pos, static_cast<int>(std::min(kBlock, s.size() - pos)), stats);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));
}
BENCHMARK(BM_TsProcessorFeed204)->Unit(benchmark::kMillisecond);

}  // namespace
