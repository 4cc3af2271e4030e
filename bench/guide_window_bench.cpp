// Opening the programme guide window over a guide of 64,000 programmes (8 services, 8 days, 1,000
// a service a day): construction, reading the store, the first paint of the grid. The target is
// 300 ms. Runs on the offscreen platform unless a display is named.
#include <benchmark/benchmark.h>

#include <QObject>

#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "bench/guide_bench_data.h"
#include "bench/window_bench.h"
#include "core/capture_app.h"
#include "core/channel_window.h"
#include "info/service_filter_window.h"
#include "ui/guide_window.h"
#include "ui/qt_dispatcher.h"

namespace {

void BM_OpenGuideWindow(benchmark::State& state) {
  using namespace pelkan;
  const MjdTime jst = JapanTimeNow();
  const std::string path = bench::GuideFile(GuideTime{jst.date} * 86400 + jst.seconds);
  if (path.empty()) return state.SkipWithError("the guide could not be made");
  QObject context_object;
  ui::QtDispatcher dispatcher(&context_object);
  bench::QuietMessages messages;
  Settings settings = DefaultSettings("/tmp");
  settings.decode_psi = settings.proc_epg = 1;
  CaptureApp app(&dispatcher, &messages);
  app.settings().decode_psi = app.settings().proc_epg = 1;
  ServiceFilterWindow services(dispatcher);
  ScheduledCapture schedule([](std::function<void()>) {});
  ChannelWindow channels(nullptr, -1);
  WindowLayout windows;
  ui::DesktopContext context{settings, windows, app,  messages, dispatcher, services, schedule,
                             channels, "",      false, path,     "",         nullptr,  nullptr,
                             nullptr,  nullptr, "",    ""};
  size_t programmes = 0;
  for (auto _ : state) {
    ui::GuideWindow window(context, nullptr, nullptr);
    window.resize(1200, 800);
    window.show();
    window.repaint();
    programmes = 0;
    for (const auto& c : window.model().columns()) programmes += c.events.size();
    state.PauseTiming();
    window.hide();
    state.ResumeTiming();
  }
  state.counters["programmes"] = static_cast<double>(programmes);
}
BENCHMARK(BM_OpenGuideWindow)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return pelkan::bench::RunWindowBenchmarks(argc, argv);
}
