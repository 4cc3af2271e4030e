// Drives the service model with arbitrary event sequences and payloads, interleaved with the
// UI-thread operations, to show that no event content makes it read out of bounds or crash.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "info/programme_text.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"

namespace {

class QueueDispatcher : public pelkan::Dispatcher {
 public:
  void Post(std::function<void()> task) override { tasks.push_back(std::move(task)); }
  // Nothing here waits: a later task runs with the others.
  void PostAfter(uint32_t, std::function<void()> task) override { Post(std::move(task)); }
  void Run() {
    while (!tasks.empty()) {
      auto task = std::move(tasks.front());
      tasks.pop_front();
      task();
    }
  }
  std::deque<std::function<void()>> tasks;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QueueDispatcher dispatcher;
  pelkan::ServiceRowTable table;
  pelkan::ServiceFilterWindow model(dispatcher, &table);
  model.SetFilterCallback([](std::span<const uint16_t>, std::span<const uint16_t>) {});
  model.SetReserveCallbacks([](uint16_t, const pelkan::MjdTime&, uint32_t, std::string_view) { return true; },
                            [](uint16_t, uint16_t, uint16_t, uint16_t, std::string_view) { return true; });
  // Every looked-up event is cut from the input, so its texts have no terminator guarantees.
  size_t event_offset = 0;
  const pelkan::EventLookup lookup = [&](uint16_t sid, const pelkan::MjdTime&, pelkan::ProgrammeEvent* out,
                                         bool) {
    if (size < sizeof(*out) || (sid & 3) == 0) return false;
    event_offset = (event_offset + 37) % (size - sizeof(*out) + 1);
    std::memcpy(out, data + event_offset, sizeof(*out));
    return true;
  };

  size_t pos = 0;
  while (pos + 4 <= size) {
    const uint8_t op = data[pos];
    const uint16_t arg = static_cast<uint16_t>(data[pos + 1] | data[pos + 2] << 8);
    const uint8_t len = data[pos + 3];
    pos += 4;
    const size_t avail = size - pos < len ? size - pos : len;
    std::vector<uint8_t> payload(data + pos, data + pos + avail);
    pos += avail;
    switch (op % 12) {
      case 0:
        model.HandleTsEvent(pelkan::EVENT_STREAM_RESET, arg, nullptr, 0);
        break;
      case 1:
        model.HandleTsEvent(pelkan::EVENT_PROGRAM_LIST, arg, payload.data(),
                            static_cast<uint32_t>(payload.size() / sizeof(pelkan::ProgramListEntry)));
        break;
      case 2:
        model.HandleTsEvent(pelkan::EVENT_COMPONENT_LIST, arg, payload.data(),
                            static_cast<uint32_t>(payload.size() / sizeof(pelkan::ComponentEntry)));
        break;
      case 3: {
        uint8_t names[sizeof(pelkan::ServiceNames)] = {};
        const size_t n = payload.size() < sizeof(names) ? payload.size() : sizeof(names);
        if (n > 0) std::memcpy(names, payload.data(), n);
        model.HandleTsEvent(pelkan::EVENT_SERVICE_NAME, arg, names, 0);
        break;
      }
      case 4:
        dispatcher.Run();
        break;
      case 5:
        model.RefreshProgrammes(pelkan::MjdTime{arg, static_cast<uint32_t>(len) * 1000}, lookup);
        break;
      case 6:
        model.ToggleFilter((arg & 1) != 0);
        break;
      case 7:
        model.SetRowChecked(arg % 8, (len & 1) != 0);
        break;
      case 8:
        model.ReserveProgramme(arg % 8,
                               (len & 1) ? pelkan::ProgrammeSlot::kNext : pelkan::ProgrammeSlot::kCurrent,
                               (len & 2) ? pelkan::ReserveBy::kEventId : pelkan::ReserveBy::kTime);
        break;
      case 9:
        (void)model.RowToolTip(arg % 8);
        break;
      case 10:
        (void)table.RenderUtf8();
        break;
      case 11:
        model.KeepOnlyServices(std::span<const uint16_t>(&arg, 1));
        break;
    }
  }
  dispatcher.Run();
  (void)table.RenderUtf8();
  return 0;
}
