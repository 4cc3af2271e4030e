// The programme guide's store with 64,000 programmes (8 services, 8 days, 1,000 a service a day):
// loading the eight days for the grid, searching (a word of three characters or more goes through
// the trigram index, a shorter one is looked for with LIKE), and the writer's cost per programme.
#include <benchmark/benchmark.h>

#include "base/mjd_time.h"
#include "bench/guide_bench_data.h"

namespace {

using pelkan::GuideStore;

pelkan::GuideTime Now() {
  const pelkan::MjdTime t = pelkan::JapanTimeNow();
  return pelkan::GuideTime{t.date} * 86400 + t.seconds;
}

std::unique_ptr<GuideStore> Reader(benchmark::State& state) {
  const std::string path = pelkan::bench::GuideFile(Now());
  std::string error;
  auto store = GuideStore::Open(path, GuideStore::Access::kRead, false, nullptr, &error);
  if (!store) state.SkipWithError(error.c_str());
  return store;
}

void BM_LoadEightDays(benchmark::State& state) {
  auto store = Reader(state);
  if (!store) return;
  const pelkan::GuideTime origin = pelkan::bench::GuideOrigin(Now());
  size_t n = 0;
  for (auto _ : state) {
    n = store->Events(origin, origin + 8 * 86400, false, state.range(0) != 0).size();
    benchmark::DoNotOptimize(n);
  }
  state.counters["programmes"] = static_cast<double>(n);
}
BENCHMARK(BM_LoadEightDays)->Unit(benchmark::kMillisecond)->ArgName("ordered")->Arg(0)->Arg(1);

void BM_Search(benchmark::State& state, const char* words) {
  auto store = Reader(state);
  if (!store) return;
  size_t n = 0;
  for (auto _ : state) {
    n = store->Search(words, 500).size();
    benchmark::DoNotOptimize(n);
  }
  state.counters["results"] = static_cast<double>(n);
}
BENCHMARK_CAPTURE(BM_Search, title_trigram, "鴎外と漱石")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, extended_trigram, "伝統の祭り")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, rare_trigram, "漱石12345")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, two_characters_like, "漱石")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, two_words, "ドラマ 山田")->Unit(benchmark::kMillisecond);

void BM_WriteProgramme(benchmark::State& state) {
  char pattern[] = "/tmp/pelkan-guide-write-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return state.SkipWithError("no temporary folder");
  std::string error;
  auto store = GuideStore::Open(std::string(pattern) + "/epg.sqlite", GuideStore::Access::kWrite, true,
                                nullptr, &error);
  if (!store) return state.SkipWithError(error.c_str());
  pelkan::GuideEventUpdate u;
  u.event.title = pelkan::platform::Utf8ToSjis("土曜ドラマ　鴎外と漱石");
  u.event.extended = pelkan::platform::Utf8ToSjis(
      "番組内容\n港町の小さな食堂を舞台に、三世代の家族が織りなす人間模様を描く。");
  u.event.duration = 1800;
  u.kind = pelkan::EVENT_KIND_SCHEDULE_ACTUAL;
  u.basic = u.extended = true;
  uint16_t id = 0;
  store->Begin();
  for (auto _ : state) {
    u.event.key = {1, 1, 1024, ++id};
    u.event.start += 1800;
    store->ApplyEvent(u);
    if (id % 1000 == 0) {
      store->Commit();
      store->Begin();
    }
  }
  store->Commit();
  store.reset();
  std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_WriteProgramme)->Unit(benchmark::kMicrosecond)->Iterations(20000);

}  // namespace
