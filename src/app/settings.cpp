#include "app/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "app/home_folder.h"
#include "library/recording_library.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

// Walks every key in file order, the windows' places (when given) before the settings key each
// stands before; `io` reads or writes one key at a time. The defaults come from `def`.
template <typename Io>
void VisitKeys(Settings& s, const Settings& def, WindowLayout* windows, Io& io) {
  const StoredWindow unplaced;
  for (const SettingKey& k : SettingKeys()) {
    for (const WindowKey& w : WindowKeys()) {
      if (windows != nullptr && std::strcmp(w.before, k.name) == 0) {
        io.Int(k.section, w.name, (windows->*w.window).*w.field, unplaced.*w.field, INT32_MIN, INT32_MAX);
      }
    }
    if (k.type == SettingType::kText) {
      io.Text(k.section, k.name, s.*k.text, def.*k.text);
    } else {
      io.Int(k.section, k.name, s.*k.number, def.*k.number, k.min, k.max);
    }
  }
}

// A value out of its key's range is held to the nearer bound, read or written.
struct Reader {
  const platform::Profile& p;
  void Int(const char* section, const char* key, int32_t& v, int32_t def, int32_t min, int32_t max) {
    v = std::clamp(p.GetInt(section, key, def), min, max);
  }
  void Text(const char* section, const char* key, std::string& v, const std::string& def) {
    v = p.GetString(section, key, def);
    if (v.size() > kSettingsTextMax) v.resize(kSettingsTextMax);
  }
};

struct Writer {
  platform::Profile& p;
  void Int(const char* section, const char* key, int32_t& v, int32_t, int32_t min, int32_t max) {
    p.SetInt(section, key, std::clamp(v, min, max));
  }
  void Text(const char* section, const char* key, std::string& v, const std::string&) {
    p.SetString(section, key, v.size() > kSettingsTextMax ? v.substr(0, kSettingsTextMax) : v);
  }
};

}  // namespace

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return ".";
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data());
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string SettingsPath() {
  return JoinPath(HomeFolder(), "pelkan.ini");
}
std::string SchedulePath() {
  return JoinPath(HomeFolder(), "schedule.ini");
}
std::string GuidePath() {
  return JoinPath(HomeFolder(), "epg.sqlite");
}
std::string RulesPath() {
  return JoinPath(HomeFolder(), "rules.sqlite");
}
std::string LibraryPath() {
  return JoinPath(HomeFolder(), RecordingLibrary::kFileName);
}

Settings DefaultSettings(const std::string& current_dir) {
  Settings s;
  s.rec_autopath =
      current_dir.size() > kSettingsTextMax ? current_dir.substr(0, kSettingsTextMax) : current_dir;
  return s;
}

bool LoadSettings(const std::string& path, const std::string& current_dir, Settings* out,
                  WindowLayout* windows) {
  platform::Profile p;
  const bool found = p.Load(path);
  const Settings def = DefaultSettings(current_dir);
  *out = def;
  Reader r{p};
  VisitKeys(*out, def, windows, r);
  return found;
}

bool SaveSettings(const std::string& path, const Settings& s, const WindowLayout* windows) {
  platform::Profile p;
  p.Load(path);
  Settings copy = s;
  std::optional<WindowLayout> places;
  if (windows != nullptr) places = *windows;
  Writer w{p};
  VisitKeys(copy, s, places ? &*places : nullptr, w);
  return p.Save(path);
}

}  // namespace pelkan
