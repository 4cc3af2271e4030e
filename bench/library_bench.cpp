// The recordings' catalogue at 10,000 recordings: `recordings list --json` (the whole list read
// and written out as the command writes it, row by row to a file: /dev/null) and a folded search
// of two words.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/library_json.h"
#include "bench/library_bench_data.h"
#include "library/recording_library.h"

namespace {

// The benchmarks' catalogue, opened once per process.
pelkan::RecordingLibrary& Catalogue() {
  static std::unique_ptr<pelkan::RecordingLibrary> library = [] {
    std::string error;
    return pelkan::RecordingLibrary::Open(pelkan::bench::LibraryFile(), nullptr, &error);
  }();
  return *library;
}

void BM_ListJson(benchmark::State& state) {
  pelkan::RecordingLibrary& library = Catalogue();
  std::FILE* sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) {
    state.SkipWithError("/dev/null cannot be opened");
    return;
  }
  for (auto _ : state) {
    if (!pelkan::WriteLibraryListJson(library, {}, sink)) state.SkipWithError("the list was not written");
  }
  std::fclose(sink);
}
BENCHMARK(BM_ListJson)->Unit(benchmark::kMillisecond);

void BM_FoldedSearch(benchmark::State& state) {
  pelkan::RecordingLibrary& library = Catalogue();
  pelkan::LibraryQuery query;
  query.words = "ｊリーグ 第12話";
  for (auto _ : state) {
    const auto found = library.List(query);
    benchmark::DoNotOptimize(found.data());
  }
}
BENCHMARK(BM_FoldedSearch)->Unit(benchmark::kMillisecond);

}  // namespace
