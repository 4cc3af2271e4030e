// The recordings' catalogue at 10,000 recordings: `recordings list --json` (the whole list read
// and written out) and a folded search of two words.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/library_json.h"
#include "hooks/recording_outcome.h"
#include "library/recording_library.h"

namespace {

constexpr int kRecordings = 10000;

// A catalogue of kRecordings recordings over 8 services and 200 series, made once per process.
pelkan::RecordingLibrary& Catalogue() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/pelkan-library-bench-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  static std::unique_ptr<pelkan::RecordingLibrary> library = [] {
    std::string error;
    auto l = pelkan::RecordingLibrary::Open(dir + "/library.sqlite", nullptr, &error);
    const char* const titles[] = {"ニュース７", "Ｊリーグ中継", "歌謡コンサート", "ダーウィンが来た", "羅生門 [字]"};
    for (int i = 0; i < kRecordings; ++i) {
      pelkan::hooks::RecordingOutcome o;
      o.file = dir + "/rec" + std::to_string(i) + ".ts";
      o.report = o.file + ".err";
      o.title = std::string(titles[i % 5]) + " 第" + std::to_string(i % 200) + "話";
      o.plain_title = o.title;
      o.service_id = static_cast<uint16_t>(1024 + i % 8);
      o.service_name = "ペルカン" + std::to_string(i % 8);
      o.result = i % 17 == 0 ? "partial" : "complete";
      o.actual_start = pelkan::JapanIsoOfEpoch(1'700'000'000 + int64_t{i} * 3600);
      o.actual_end = pelkan::JapanIsoOfEpoch(1'700'001'800 + int64_t{i} * 3600);
      o.bytes = 1800ull * 2'000'000;
      l->Complete(o, o.file, 1);
    }
    std::atexit([] { std::filesystem::remove_all(dir); });
    return l;
  }();
  return *library;
}

void BM_ListJson(benchmark::State& state) {
  pelkan::RecordingLibrary& library = Catalogue();
  for (auto _ : state) {
    const std::string json = pelkan::LibraryListJson(library.List());
    benchmark::DoNotOptimize(json.data());
  }
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
