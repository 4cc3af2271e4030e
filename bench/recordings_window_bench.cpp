// Opening the 録画済み window over a catalogue of 10,000 recordings: construction, reading the
// catalogue and its facets, the first paint of the list. The target is 150 ms. Runs on the
// offscreen platform unless a display is named.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>

#include "bench/library_bench_data.h"
#include "core/user_messages.h"
#include "ui/recordings_window.h"

namespace {

class QuietMessages : public pelkan::UserMessages {
 public:
  void Notify(const std::string&, const std::string&) override {}
  bool Ask(const std::string&, const std::string&) override { return false; }
};

void BM_OpenRecordingsWindow(benchmark::State& state) {
  using namespace pelkan;
  const std::string& path = bench::LibraryFile();
  if (path.empty()) return state.SkipWithError("the catalogue could not be made");
  QuietMessages messages;
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
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
