// Throughput of the synthetic broadcast generator: it must stay far above real time so that
// benchmarks of the pipeline measure the pipeline, not the source.
#include <benchmark/benchmark.h>

#include <vector>

#include "streamgen/broadcast_generator.h"

namespace {

using pelkan::streamgen::BroadcastGenerator;
using pelkan::streamgen::GeneratorOptions;

void RunGenerator(benchmark::State& state, const GeneratorOptions& options) {
  BroadcastGenerator generator(options);
  std::vector<uint8_t> block(0x8000);  // the capture path's block size
  for (auto _ : state) {
    generator.Read(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
  state.counters["x_real_time"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(block.size()) * 8.0 /
          static_cast<double>(options.bit_rate),
      benchmark::Counter::kIsRate);
}

void BM_GenerateTerrestrial188(benchmark::State& state) { RunGenerator(state, GeneratorOptions{}); }

void BM_GenerateSatellite192Scrambled(benchmark::State& state) {
  GeneratorOptions o;
  o.satellite = true;
  o.packet_size = 192;
  o.service_count = 4;
  o.bit_rate = 32'000'000;
  o.scrambled_service = 101;
  RunGenerator(state, o);
}

void BM_Generate204HighRate(benchmark::State& state) {
  GeneratorOptions o;
  o.packet_size = 204;
  o.bit_rate = 60'000'000;
  RunGenerator(state, o);
}

// What a virtual tuner started afresh pays for its first 45 s, in which the eight-day schedule's
// sections are all built for the first time (the time is that of the 45 s).
void BM_FirstScheduleCycle(benchmark::State& state) {
  std::vector<uint8_t> block(0x8000);
  const GeneratorOptions o;
  const uint64_t bytes = o.bit_rate / 8 * 45;
  for (auto _ : state) {
    BroadcastGenerator generator(o);
    for (uint64_t done = 0; done < bytes; done += block.size()) {
      generator.Read(block.data(), block.size());
      benchmark::DoNotOptimize(block.data());
    }
  }
}

}  // namespace

BENCHMARK(BM_GenerateTerrestrial188);
BENCHMARK(BM_GenerateSatellite192Scrambled);
BENCHMARK(BM_Generate204HighRate);
BENCHMARK(BM_FirstScheduleCycle)->Unit(benchmark::kMillisecond);
