// Opening the 録画済み window over a catalogue of 10,000 recordings: construction, reading the
// catalogue and its facets, the first paint of the list. The target is 150 ms. Runs on the
// offscreen platform unless a display is named.
#include <benchmark/benchmark.h>

#include "bench/library_bench_data.h"
#include "bench/window_bench.h"
#include "ui/recordings_window.h"

namespace {

void BM_OpenRecordingsWindow(benchmark::State& state) {
  using namespace pelkan;
  const std::string& path = bench::LibraryFile();
  if (path.empty()) return state.SkipWithError("the catalogue could not be made");
  bench::QuietMessages messages;
  int rows = 0;
  for (auto _ : state) {
    ui::RecordingsWindowSources sources;
    sources.library_path = path;
    ui::RecordingsWindow window(std::move(sources), &messages);
    window.resize(1100, 700);
    window.show();
    window.repaint();
    rows = window.RowCount();
    state.PauseTiming();
    window.hide();
    state.ResumeTiming();
  }
  state.counters["rows"] = rows;
}
BENCHMARK(BM_OpenRecordingsWindow)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return pelkan::bench::RunWindowBenchmarks(argc, argv);
}
