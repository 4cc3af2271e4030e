#include "app/options_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "app/main_window_rules.h"
#include "hooks/command_line.h"
#include "platform/file_system.h"
#include "platform/text_codec.h"

namespace pelkan {

int PriorityChoiceIndex(int value) {
  for (int i = 0; i < 2; ++i) {
    if (kPriorityChoices[i].value == value) return i;
  }
  return 0;
}

OptionsForm OptionsFormFrom(const Settings& s) {
  OptionsForm f;
  f.timer_period = std::to_string(s.timer_period);
  f.priority_rec = PriorityChoiceIndex(s.thread_priority_rec);
  f.priority_res = PriorityChoiceIndex(s.thread_priority_res);
  f.priority_proc = PriorityChoiceIndex(s.thread_priority_proc);
  f.auto_path = platform::SjisToUtf8(s.rec_autopath);
  f.http_address = platform::SjisToUtf8(s.http_address);
  f.rec_end_command = platform::SjisToUtf8(s.rec_end_command);
  f.player_command = platform::SjisToUtf8(s.player_command);
  for (const SettingKey& k : SettingKeys()) {
    if (k.control == nullptr) continue;
    const int32_t v = s.*k.number;
    f.values[k.name] = k.type == SettingType::kFlag ? (v != 0 ? 1 : 0) : v;
  }
  return f;
}

namespace {

int PriorityValue(int index) {
  return index >= 0 && index < 2 ? kPriorityChoices[index].value : 0;
}

// A command line as typed (UTF-8) into its stored form: it must split and keep within the key's
// length in Shift-JIS.
bool StoredCommand(const std::string& typed, std::string* stored) {
  const std::string command = platform::Utf8ToSjis(typed);
  if (platform::SjisToUtf8(command) != typed || command.size() > kSettingsTextMax ||
      !hooks::ParseCommandLine(typed).error.empty()) {
    return false;
  }
  *stored = command;
  return true;
}

}  // namespace

std::string ApplyOptionsForm(const OptionsForm& f, Settings* settings) {
  Settings copy = *settings;
  const std::optional<uint32_t> period = ParseUnsignedField(f.timer_period);
  if (!period || (*period != 0 && (*period < static_cast<uint32_t>(platform::kTimerPeriodMin) ||
                                   *period > static_cast<uint32_t>(platform::kTimerPeriodMax)))) {
    return options_text::kTimerPeriodInvalid;
  }
  copy.timer_period = static_cast<int32_t>(*period);
  // The folder is kept in Shift-JIS; a name that does not survive the conversion is another folder.
  const std::string sjis = platform::Utf8ToSjis(f.auto_path);
  if (platform::SjisToUtf8(sjis) != f.auto_path || sjis.size() > kSettingsTextMax ||
      !platform::IsDirectory(f.auto_path)) {
    return options_text::kSavePathInvalid;
  }
  copy.rec_autopath = sjis;
  copy.thread_priority_rec = PriorityValue(f.priority_rec);
  copy.thread_priority_res = PriorityValue(f.priority_res);
  copy.thread_priority_proc = PriorityValue(f.priority_proc);
  const size_t first = f.http_address.find_first_not_of(" \t");
  const std::string address =
      first == std::string::npos ? std::string() : f.http_address.substr(first, f.http_address.find_last_not_of(" \t") + 1 - first);
  in6_addr parsed;
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 && inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
    return options_text::kHttpAddressInvalid;
  }
  copy.http_address = address;
  if (!StoredCommand(f.rec_end_command, &copy.rec_end_command)) return options_text::kRecEndCommandInvalid;
  if (!StoredCommand(f.player_command, &copy.player_command)) return options_text::kPlayerCommandInvalid;
  for (const SettingKey& k : SettingKeys()) {
    const auto shown = k.control != nullptr ? f.values.find(k.name) : f.values.end();
    if (shown == f.values.end()) continue;
    copy.*k.number = k.type == SettingType::kFlag ? (shown->second != 0 ? 1 : 0) : k.Clamp(shown->second);
  }
  *settings = copy;
  return std::string();
}

std::string TimerResolutionText(double resolution_ms) {
  char text[96];
  std::snprintf(text, sizeof text, platform::Sjis("標準タイマ分解能 : %.2lf ms").c_str(), resolution_ms);
  return text;
}

std::string TimerRangeText(int min_period, int max_period) {
  char text[96];
  std::snprintf(text, sizeof text, platform::Sjis("設定可能範囲 : %d - %d").c_str(), min_period, max_period);
  return text;
}

}  // namespace pelkan
