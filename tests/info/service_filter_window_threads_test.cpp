#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "app/loop_dispatcher.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"

namespace pelkan {
namespace {

// The processing thread feeds streams (and later PMT versions, which send the filter from that
// thread while it is on) while the UI thread applies updates, refreshes programmes and switches the
// filter; at the end the rows are exactly the last stream's services.
TEST(ServiceFilterWindowThreads, RowsMatchLastStreamAfterConcurrentUse) {
  LoopDispatcher queue;
  ServiceRowTable table;
  ServiceFilterWindow model(queue, &table);
  std::atomic<int> filter_calls{0};
  model.SetFilterCallback([&](std::span<const uint16_t>, std::span<const uint16_t>) { ++filter_calls; });
  std::atomic<bool> done{false};

  std::thread processing([&] {
    for (int stream = 0; stream < 200; ++stream) {
      model.OnStreamReset();
      for (uint16_t s = 0; s < 5; ++s) {
        const uint16_t sid = static_cast<uint16_t>(stream * 8 + s + 1);
        model.OnServiceEntry(sid, static_cast<uint16_t>(0x100 + s));
        const ComponentEntry entries[2] = {{0x02, static_cast<uint16_t>(0x200 + s)}, {0x0F, 0x300}};
        model.OnComponentList(sid, entries);
        model.OnServiceName(sid, "name");
      }
      // A later PMT version of each service adds a PID: with the filter on, it is sent at once.
      for (uint16_t s = 0; s < 5; ++s) {
        const uint16_t sid = static_cast<uint16_t>(stream * 8 + s + 1);
        const ComponentEntry added[1] = {{0x02, static_cast<uint16_t>(0x400 + s)}};
        model.OnComponentList(sid, added);
      }
    }
    done = true;
  });

  const EventLookup lookup = [](uint16_t sid, const MjdTime&, ProgrammeEvent* out, bool) {
    *out = ProgrammeEvent{};
    out->kind = EVENT_KIND_PF_ACTUAL;
    out->event_id = sid;
    out->start_day = 54587;
    out->end_day = 54587;
    out->end_second = 3600;
    return true;
  };
  while (!done) {
    queue.RunPending();
    model.RefreshProgrammes(MjdTime{54587, 0}, lookup);
    model.SetRowChecked(0, false);
    model.ToggleFilter(false);
    (void)model.BuildFilterLists();
    (void)model.RowToolTip(1);
  }
  processing.join();
  queue.RunPending();

  ASSERT_EQ(table.Rows().size(), 5u);
  ASSERT_EQ(model.RowCount(), 5u);
  for (uint16_t s = 0; s < 5; ++s) {
    EXPECT_EQ(table.Rows()[s].service_id, 199 * 8 + s + 1);
    EXPECT_EQ(table.Rows()[s].cells[1], "name");
    EXPECT_EQ(table.Rows()[s].cells[4], "0x0" + std::to_string(400 + s) + "(m2v) ");
  }
  EXPECT_GT(filter_calls.load(), 0);
}

}  // namespace
}  // namespace pelkan
