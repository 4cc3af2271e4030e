// The service model fed by the synthetic broadcast through the processor, as the capture
// application feeds it from the virtual tuner.
#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <vector>

#include "app/loop_dispatcher.h"
#include "base/capture_stats.h"
#include "info/programme_text.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

using platform::SjisToUtf8;
using platform::Utf8ToSjis;

void OnEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
  static_cast<ServiceFilterWindow*>(user)->HandleTsEvent(type, param, data, count);
}

uint64_t Abs(MjdTime t) {
  return uint64_t{t.date} * 86400 + t.seconds;
}

// Feeds `seconds` of the generator's stream through a processor into the model, refreshing the
// programmes once per second of broadcast time; returns the programme column of `row` after each
// refresh that changed it.
struct GeneratedCapture {
  explicit GeneratedCapture(const streamgen::GeneratorOptions& options) : gen(options) {
    proc.SetDecodePsi(1);
    proc.SetProcessEpg(1);
    proc.SetEventHandler(OnEvent, &model);
  }
  void Run(uint32_t seconds, uint16_t row, std::vector<std::string>* columns) {
    const uint64_t end = Abs(gen.ClockNow()) + seconds;
    uint64_t refreshed = 0;
    std::vector<uint8_t> chunk(0x8000);
    while (Abs(gen.ClockNow()) < end) {
      gen.Read(chunk.data(), chunk.size());
      proc.Feed(chunk.data(), static_cast<int>(chunk.size()), stats);
      dispatcher.RunPending();
      if (Abs(gen.ClockNow()) == refreshed) continue;
      refreshed = Abs(gen.ClockNow());
      model.RefreshProgrammes(gen.ClockNow(),
                              [this](uint16_t sid, const MjdTime& t, ProgrammeEvent* out, bool purge) {
                                const auto found = proc.FindEventAt(sid, t, purge ? 1 : 0);
                                if (found) *out = *found;
                                return found.has_value();
                              });
      dispatcher.RunPending();
      if (row < table.Rows().size()) {
        const std::string text = platform::BroadcastToUtf8(table.Rows()[row].cells[2]);
        if (columns->empty() || columns->back() != text) columns->push_back(text);
      }
    }
  }

  streamgen::BroadcastGenerator gen;
  TsProcessor proc;
  CaptureStats stats;
  LoopDispatcher dispatcher;
  ServiceRowTable table;
  ServiceFilterWindow model{dispatcher, &table};
};

std::string LineOf(const streamgen::ProgrammeInfo& p) {
  ProgrammeEvent e{};
  const std::string title = platform::Utf8ToBroadcast(p.title).value_or("");
  title.copy(e.title, sizeof(e.title) - 1);
  e.start_day = p.start.date;
  e.start_second = p.start.seconds;
  MjdTime end = p.start;
  AddSeconds(&end, p.duration);
  e.end_day = end.date;
  e.end_second = p.duration == kUndefinedDuration ? kUndefinedDuration : end.seconds;
  return FormatProgrammeTextUtf8(kProgrammeLineFlags, e);
}

TEST(ServiceInfoGenerator, RowsFillAndProgrammeTextFollowsTheBroadcast) {
  streamgen::GeneratorOptions options;
  options.bit_rate = 4'000'000;
  // Start a few seconds before the first service's programme ends, so that the change is seen.
  const uint16_t sid = streamgen::BroadcastGenerator(options).Multiplex(0).services.at(0).service_id;
  std::optional<streamgen::ProgrammeInfo> first;
  for (MjdTime t = options.start_time;; AddSeconds(&t, 60)) {
    first = streamgen::BroadcastGenerator(options).ProgrammeAt(0, sid, t);
    ASSERT_TRUE(first.has_value());
    if (first->duration != kUndefinedDuration) break;
  }
  MjdTime start = first->start;
  AddSeconds(&start, first->duration - 6);
  options.start_time = start;

  GeneratedCapture capture(options);
  std::vector<std::string> columns;
  capture.Run(12, 0, &columns);

  const streamgen::MultiplexInfo& mux = capture.gen.Multiplex(0);
  ASSERT_EQ(capture.table.Rows().size(), mux.services.size());
  for (size_t i = 0; i < mux.services.size(); ++i) {
    const ServiceRowTable::Row& row = capture.table.Rows()[i];
    EXPECT_EQ(row.service_id, mux.services[i].service_id);
    EXPECT_EQ(SjisToUtf8(row.cells[1]), mux.services[i].name);
    EXPECT_EQ(row.cells[3], PmtPidText(mux.services[i].pmt_pid));
    EXPECT_EQ(capture.model.FindService(row.service_id)->component_pids.size(),
              mux.services[i].components.size());
  }
  // The column showed the first programme and then the one that followed it.
  std::vector<std::string> shown;
  for (const std::string& c : columns) {
    if (!c.empty()) shown.push_back(c);
  }
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown.front(), LineOf(*first));
  MjdTime after = first->start;
  AddSeconds(&after, first->duration + 1);
  const auto second = capture.gen.ProgrammeAt(0, sid, after);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(shown.back().substr(0, 5), LineOf(*second).substr(0, 5));
  EXPECT_NE(shown.back().find(second->title), std::string::npos);
}

TEST(ServiceInfoGenerator, ChannelChangeReplacesTheRows) {
  streamgen::GeneratorOptions options;
  options.bit_rate = 4'000'000;
  options.channel_change_seconds = 3;
  GeneratedCapture capture(options);
  std::vector<std::string> columns;
  capture.Run(2, 0, &columns);
  ASSERT_FALSE(capture.table.Rows().empty());
  capture.model.ToggleFilter(false);
  capture.Run(4, 0, &columns);
  const streamgen::MultiplexInfo& second = capture.gen.Multiplex(1);
  ASSERT_EQ(capture.table.Rows().size(), second.services.size());
  std::set<uint16_t> ids;
  for (const auto& row : capture.table.Rows()) ids.insert(row.service_id);
  for (const auto& s : second.services) EXPECT_EQ(ids.count(s.service_id), 1u) << s.service_id;
  EXPECT_FALSE(capture.model.FilterActive());
}

}  // namespace
}  // namespace pelkan
