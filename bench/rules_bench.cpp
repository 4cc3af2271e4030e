// The automatic reservation rules over the benchmark guide (8 services, 8 days, 1,000 programmes a
// service a day): 100 rules evaluated over its 64,000 programmes, texts folded once per run, as
// every guide change does; then the same with the guide's reading.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/guide_bench_data.h"
#include "rules/rule_evaluation.h"
#include "rules/rule_matcher.h"
#include "rules/rule_runner.h"

namespace {

using pelkan::GuideTime;

GuideTime Now() {
  const pelkan::MjdTime t = pelkan::JapanTimeNow();
  return GuideTime{t.date} * 86400 + t.seconds;
}

// A mix of what users save: words of a programme (a title with its number: a few programmes
// each), words found nowhere looked for in the descriptions and extended texts (every text is
// read), common words narrowed by service, genre and a late-night window, regular expressions on
// one service, and excluded words.
std::vector<pelkan::RuleMatcher> Rules() {
  const char* const titles[] = {"鴎外と漱石", "ニュース７", "Ｊリーグ", "鰻の蒲焼き", "ダーウィン", "羅生門",
                                "歌謡コンサート", "薊と菫"};
  const char* const absent[] = {"麒麟", "刑事", "温泉", "怪獣", "将棋"};
  std::vector<pelkan::RuleMatcher> out;
  for (int i = 0; i < 100; ++i) {
    pelkan::ReservationRule r;
    r.id = static_cast<uint32_t>(i + 1);
    if (i < 60) {
      r.words = {std::string(titles[i % 8]) + std::to_string(100 + i * 37)};
    } else if (i < 75) {
      r.words = {absent[i % 5]};
      r.scope = i % 2 == 0 ? pelkan::RuleTextScope::kDescription : pelkan::RuleTextScope::kAll;
    } else if (i < 85) {
      r.words = {titles[i % 8]};
      r.services = {static_cast<uint16_t>(1024 + i % 8)};
      r.genres = {{i % 12, -1}};
      r.window_from = 23 * 60;
      r.window_to = 27 * 60;
    } else if (i < 95) {
      r.regex = std::string(titles[i % 8]) + "1[0-9]{2}$";
      r.services = {static_cast<uint16_t>(1024 + i % 8)};
    } else {
      r.words = {titles[i % 8]};
      r.exclude = {"0", "1", "2", "3"};
      r.weekdays = 1u << (i % 7);
    }
    out.emplace_back(r);
  }
  return out;
}

// The benchmark guide for reading; null after telling the benchmark why.
std::unique_ptr<pelkan::GuideStore> Guide(benchmark::State& state) {
  std::string error;
  auto guide = pelkan::GuideStore::Open(pelkan::bench::GuideFile(Now()), pelkan::GuideStore::Access::kRead, false,
                                        nullptr, &error);
  if (!guide) state.SkipWithError(error.c_str());
  return guide;
}

void BM_EvaluateRules(benchmark::State& state) {
  auto guide = Guide(state);
  if (!guide) return;
  const GuideTime origin = pelkan::bench::GuideOrigin(Now());
  std::vector<pelkan::GuideEvent> events = guide->Events(origin, origin + 8 * 86400, true, false);
  const std::vector<pelkan::RuleMatcher> rules = Rules();
  const pelkan::RuleContext context({}, {}, {});
  size_t matches = 0;
  for (auto _ : state) {
    pelkan::FoldedGuide folded(events);
    matches = 0;
    for (const pelkan::RuleMatcher& rule : rules) matches += pelkan::EvaluateRule(rule, folded, context).size();
    benchmark::DoNotOptimize(matches);
  }
  state.counters["programmes"] = static_cast<double>(events.size());
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_EvaluateRules)->Unit(benchmark::kMillisecond);

void BM_ReadGuideForRules(benchmark::State& state) {
  auto guide = Guide(state);
  if (!guide) return;
  const GuideTime origin = pelkan::bench::GuideOrigin(Now());
  for (auto _ : state) {
    benchmark::DoNotOptimize(pelkan::FutureEvents(*guide, origin, state.range(0) != 0).size());
  }
}
BENCHMARK(BM_ReadGuideForRules)->Unit(benchmark::kMillisecond)->ArgName("texts")->Arg(0)->Arg(1);

}  // namespace
