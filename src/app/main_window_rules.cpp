#include "app/main_window_rules.h"

#include "hooks/desktop_notifier.h"
#include "hooks/wake_alarm_keeper.h"

namespace pelkan {

std::optional<uint32_t> ParseUnsignedField(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

MainWindowControls ComputeMainWindowControls(const MainWindowState& s) {
  MainWindowControls c;
  const bool idle = !s.connected;
  c.device_list = idle && s.has_devices;
  c.rescan = idle;
  c.in_list = idle && s.has_devices && s.has_in_endpoints;
  c.out_list = idle && s.has_devices;
  c.init_box_visible = s.fx2_device;
  c.init_box = idle && s.fx2_device;
  c.descramble_box = idle;
  c.connect = s.connected || (s.device_open && s.has_devices);
  c.record = s.connected;
  c.send = s.connected;
  c.stop_timer = !s.recording;
  c.network_edits = !s.sending;
  return c;
}

std::string WakeAlarmStatusText(std::optional<int64_t> held) {
  if (!held) return {};
  return "次回の自動起動: " + hooks::ShortJapanTime(hooks::JapanTimeOfEpoch(*held));
}

}  // namespace pelkan
