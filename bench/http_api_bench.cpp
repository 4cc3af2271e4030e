// The web page's JSON API as its server runs it (AnswerApi on a document thread, the session's
// guide connection lent): `/api/guide` for one day of 8 services, the server's own time from the
// request to the finished JSON. The main figure is a broadcast's day (48 programmes a service with
// a guide's texts); the dense one (1,000 programmes a service, 8,000 in all) is the worst case.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "app/http_api.h"
#include "app/rule_files.h"
#include "base/mjd_time.h"
#include "bench/guide_bench_data.h"
#include "output/http_request.h"

namespace {

void ApiGuideDay(benchmark::State& state, int per_day) {
  const pelkan::GuideTime now = pelkan::ToGuideTime(pelkan::JapanTimeNow());
  pelkan::HttpApiSources sources;
  sources.guide_path = pelkan::bench::GuideFile(now, per_day);
  if (sources.guide_path.empty()) {
    state.SkipWithError("cannot write the guide");
    return;
  }
  const std::string dir = sources.guide_path.substr(0, sources.guide_path.rfind('/'));
  sources.files = {dir + "/schedule.ini", dir + "/pelkan.ini"};
  sources.rules_path = dir + "/rules.sqlite";
  pelkan::RuleFiles files(sources.rules_path, sources.guide_path);
  sources.rule_files = &files;
  pelkan::HttpRequest request;
  request.method = "GET";
  request.path = "/api/guide";
  const pelkan::GuideTime from = pelkan::bench::GuideOrigin(now) + 86400;
  request.query = {{"from", pelkan::ApiTime(from)}, {"to", pelkan::ApiTime(from + 86400)}};
  size_t bytes = 0;
  for (auto _ : state) {
    const pelkan::HttpReply reply = pelkan::AnswerApi(sources, request);
    if (reply.status != 200) {
      state.SkipWithError("the guide was not answered");
      return;
    }
    bytes = reply.body ? reply.body->size() : 0;
  }
  state.counters["json_kB"] = static_cast<double>(bytes) * 1e-3;
}

void BM_ApiGuideDay(benchmark::State& state) {
  ApiGuideDay(state, pelkan::bench::kBroadcastPerDay);
}
BENCHMARK(BM_ApiGuideDay)->Unit(benchmark::kMillisecond);

void BM_ApiGuideDayDense(benchmark::State& state) {
  ApiGuideDay(state, pelkan::bench::kPerServiceDay);
}
BENCHMARK(BM_ApiGuideDayDense)->Unit(benchmark::kMillisecond);

}  // namespace
