// The web page's JSON API as its server runs it (AnswerApi on a document thread): `/api/guide`
// for one day of the benchmarks' guide of 8 services (8,000 programmes with their texts, each as
// the page reads them), the server's own time from the request to the finished JSON.
#include <benchmark/benchmark.h>

#include <string>

#include "app/http_api.h"
#include "base/mjd_time.h"
#include "bench/guide_bench_data.h"
#include "output/http_request.h"

namespace {

void BM_ApiGuideDay(benchmark::State& state) {
  const pelkan::GuideTime now = pelkan::ToGuideTime(pelkan::JapanTimeNow());
  pelkan::HttpApiSources sources;
  sources.guide_path = pelkan::bench::GuideFile(now);
  if (sources.guide_path.empty()) {
    state.SkipWithError("cannot write the guide");
    return;
  }
  const std::string dir = sources.guide_path.substr(0, sources.guide_path.rfind('/'));
  sources.files = {dir + "/schedule.ini", dir + "/pelkan.ini"};
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
  state.counters["json_MB"] = static_cast<double>(bytes) * 1e-6;
}
BENCHMARK(BM_ApiGuideDay)->Unit(benchmark::kMillisecond);

}  // namespace
