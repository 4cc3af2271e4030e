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

// A mix of what users save: words of the titles and words found nowhere, some over the
// descriptions, a few regular expressions, service, genre and time conditions.
std::vector<pelkan::RuleMatcher> Rules() {
  const char* const words[] = {"鴎外",   "ニュース", "ｊリーグ", "料理", "ダーウィン", "羅生門", "コンサート",
                               "園芸",   "麒麟",     "刑事",     "山田", "渡辺",       "旅",     "ＮＨＫ",
                               "ドラマ", "第12節",   "鰻",       "薊",   "映画",       "歌謡"};
  std::vector<pelkan::RuleMatcher> out;
  for (int i = 0; i < 100; ++i) {
    pelkan::ReservationRule r;
    r.id = static_cast<uint32_t>(i + 1);
    r.words = {words[i % 20]};
    if (i % 3 == 0) r.words.emplace_back(words[(i * 7 + 3) % 20]);
    if (i % 5 == 0) r.exclude = {"再"};
    if (i % 4 == 1) r.scope = pelkan::RuleTextScope::kDescription;
    if (i % 8 == 2) r.scope = pelkan::RuleTextScope::kAll;
    if (i % 10 == 9) r.regex = "第[0-9]+(節|話)";
    if (i % 6 == 0) r.services = {static_cast<uint16_t>(1024 + i % 8)};
    if (i % 7 == 0) r.genres = {{i % 12, -1}};
    if (i % 9 == 0) {
      r.window_from = 23 * 60;
      r.window_to = 27 * 60;
    }
    out.emplace_back(r);
  }
  return out;
}

void BM_EvaluateRules(benchmark::State& state) {
  std::string error;
  auto guide = pelkan::GuideStore::Open(pelkan::bench::GuideFile(Now()), pelkan::GuideStore::Access::kRead, false,
                                        nullptr, &error);
  if (!guide) {
    state.SkipWithError(error.c_str());
    return;
  }
  const GuideTime origin = pelkan::bench::GuideOrigin(Now());
  std::vector<pelkan::GuideEvent> events = guide->Events(origin, origin + 8 * 86400, true, false);
  const std::vector<pelkan::RuleMatcher> rules = Rules();
  const pelkan::RuleContext context({}, {}, {});
  size_t matches = 0;
  for (auto _ : state) {
    std::vector<pelkan::FoldedEvent> folded;
    folded.reserve(events.size());
    for (const pelkan::GuideEvent& e : events) folded.emplace_back(&e);
    matches = 0;
    for (const pelkan::RuleMatcher& rule : rules) matches += pelkan::EvaluateRule(rule, folded, context).size();
    benchmark::DoNotOptimize(matches);
  }
  state.counters["programmes"] = static_cast<double>(events.size());
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_EvaluateRules)->Unit(benchmark::kMillisecond);

void BM_ReadGuideForRules(benchmark::State& state) {
  std::string error;
  auto guide = pelkan::GuideStore::Open(pelkan::bench::GuideFile(Now()), pelkan::GuideStore::Access::kRead, false,
                                        nullptr, &error);
  if (!guide) {
    state.SkipWithError(error.c_str());
    return;
  }
  const GuideTime origin = pelkan::bench::GuideOrigin(Now());
  for (auto _ : state) {
    benchmark::DoNotOptimize(pelkan::FutureEvents(*guide, origin, state.range(0) != 0).size());
  }
}
BENCHMARK(BM_ReadGuideForRules)->Unit(benchmark::kMillisecond)->ArgName("texts")->Arg(0)->Arg(1);

}  // namespace
