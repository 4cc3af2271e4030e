#include "app/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "app/home_folder.h"
#include "app/main_window_rules.h"
#include "core/capture_app.h"
#include "core/status_text.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

constexpr const char* kMain = "Pelkan_Q";
constexpr const char* kPsi = "Pelkan_Q_PSI";
constexpr const char* kSchedule = "Pelkan_Q_SCHEDULE";
constexpr const char* kHttp = "Pelkan_Q_HTTP";

// Walks every key in file order; `io` reads or writes one key at a time. The defaults come from
// `def`, so reading and writing share one list of keys.
template <typename Io>
void VisitKeys(Settings& s, const Settings& def, Io& io) {
  io.Int(kMain, "SORVALINK_INIT", s.sorvalink_init, def.sorvalink_init);
  io.Int(kMain, "ARIB_B25_PROC", s.arib_b25_proc, def.arib_b25_proc);
  io.Int(kMain, "REC_AUTOFILENAME", s.rec_autofilename, def.rec_autofilename);
  io.Text(kMain, "REC_AUTOPATH", s.rec_autopath, def.rec_autopath);
  io.Int(kMain, "TIMER_PERIOD", s.timer_period, def.timer_period);
  io.Int(kMain, "THREAD_PRIORITY_REC", s.thread_priority_rec, def.thread_priority_rec);
  io.Int(kMain, "THREAD_PRIORITY_RES", s.thread_priority_res, def.thread_priority_res);
  io.Int(kMain, "THREAD_PRIORITY_PROC", s.thread_priority_proc, def.thread_priority_proc);
  io.Int(kMain, "LAST_EP_IN", s.last_ep_in, def.last_ep_in);
  io.Int(kMain, "LAST_EP_OUT", s.last_ep_out, def.last_ep_out);
  io.Int(kMain, "REC_TIME", s.rec_time, def.rec_time);
  io.Text(kMain, "NETWORK_ADDRESS", s.network_address, def.network_address);
  io.Int(kMain, "NETWORK_PORT", s.network_port, def.network_port);
  io.Int(kMain, "NETWORK_SEND_SIZE", s.network_send_size, def.network_send_size);
  io.Int(kMain, "POS_X", s.pos_x, def.pos_x);
  io.Int(kMain, "POS_Y", s.pos_y, def.pos_y);
  io.Int(kMain, "CHWND_SHOW", s.chwnd_show, def.chwnd_show);
  io.Int(kMain, "CHWND_POS_X", s.chwnd_pos_x, def.chwnd_pos_x);
  io.Int(kMain, "CHWND_POS_Y", s.chwnd_pos_y, def.chwnd_pos_y);
  io.Int(kMain, "LAST_CHANNEL", s.last_channel, def.last_channel);
  io.Int(kMain, "FILTWND_SHOW", s.filtwnd_show, def.filtwnd_show);
  io.Int(kMain, "FILTWND_POS_X", s.filtwnd_pos_x, def.filtwnd_pos_x);
  io.Int(kMain, "FILTWND_POS_Y", s.filtwnd_pos_y, def.filtwnd_pos_y);
  io.Int(kMain, "FILTWND_SIZE_X", s.filtwnd_size_x, def.filtwnd_size_x);
  io.Int(kMain, "FILTWND_SIZE_Y", s.filtwnd_size_y, def.filtwnd_size_y);
  io.Int(kMain, "SCHEDULE_SHOW", s.schedule_show, def.schedule_show);
  io.Int(kMain, "SCHEDULE_POS_X", s.schedule_pos_x, def.schedule_pos_x);
  io.Int(kMain, "SCHEDULE_POS_Y", s.schedule_pos_y, def.schedule_pos_y);
  io.Int(kMain, "SCHEDULE_SIZE_X", s.schedule_size_x, def.schedule_size_x);
  io.Int(kMain, "SCHEDULE_SIZE_Y", s.schedule_size_y, def.schedule_size_y);
  io.Int(kMain, "GUIDE_SHOW", s.guide_show, def.guide_show);
  io.Int(kMain, "GUIDE_POS_X", s.guide_pos_x, def.guide_pos_x);
  io.Int(kMain, "GUIDE_POS_Y", s.guide_pos_y, def.guide_pos_y);
  io.Int(kMain, "GUIDE_SIZE_X", s.guide_size_x, def.guide_size_x);
  io.Int(kMain, "GUIDE_SIZE_Y", s.guide_size_y, def.guide_size_y);
  io.Int(kMain, "RULE_SHOW", s.rule_show, def.rule_show);
  io.Int(kMain, "RULE_POS_X", s.rule_pos_x, def.rule_pos_x);
  io.Int(kMain, "RULE_POS_Y", s.rule_pos_y, def.rule_pos_y);
  io.Int(kMain, "RULE_SIZE_X", s.rule_size_x, def.rule_size_x);
  io.Int(kMain, "RULE_SIZE_Y", s.rule_size_y, def.rule_size_y);
  io.Text(kMain, "USB_DEVICE_IDS", s.usb_device_ids, def.usb_device_ids);
  io.Int(kMain, "VIRTUAL_TUNER", s.virtual_tuner, def.virtual_tuner);
  io.Text(kMain, "VIRTUAL_TUNER_FILE", s.virtual_tuner_file, def.virtual_tuner_file);
  io.Int(kMain, "VIRTUAL_RATE", s.virtual_rate, def.virtual_rate);
  io.Text(kMain, "VIRTUAL_LATE", s.virtual_late, def.virtual_late);
  io.Text(kMain, "VIRTUAL_EXTEND", s.virtual_extend, def.virtual_extend);
  io.Text(kMain, "VIRTUAL_UNDETERMINED", s.virtual_undetermined, def.virtual_undetermined);
  io.Text(kMain, "VIRTUAL_DROPOUT", s.virtual_dropout, def.virtual_dropout);
  io.Int(kMain, "DROPOUT_WAIT", s.dropout_wait, def.dropout_wait, 0, kDropoutWaitMax);
  io.Text(kMain, "REC_END_COMMAND", s.rec_end_command, def.rec_end_command);
  io.Int(kMain, "REC_END_COMMAND_LIMIT", s.rec_end_command_limit, def.rec_end_command_limit, 1,
         kRecEndCommandLimitMax);
  io.Int(kMain, "NOTIFY_FINISHED", s.notify_finished, def.notify_finished);
  io.Int(kMain, "WAKE_ALARM", s.wake_alarm, def.wake_alarm);
  io.Int(kMain, "WAKE_LEAD", s.wake_lead, def.wake_lead, 0, kWakeLeadMax);
  io.Int(kPsi, "DECODE_PSI", s.decode_psi, def.decode_psi);
  io.Int(kPsi, "PROC_EPG", s.proc_epg, def.proc_epg);
  io.Int(kSchedule, "SCHEDULE_USE_SYSTEM_TIME", s.schedule_use_system_time, def.schedule_use_system_time);
  io.Int(kSchedule, "SCHEDULE_MARGIN_BEFORE", s.schedule_margin_before, def.schedule_margin_before, 0,
         kScheduleMarginMax);
  io.Int(kSchedule, "SCHEDULE_MARGIN_AFTER", s.schedule_margin_after, def.schedule_margin_after, 0,
         kScheduleMarginMax);
  io.Int(kSchedule, "SCHEDULE_FOLLOW_LIMIT", s.schedule_follow_limit, def.schedule_follow_limit, 0,
         kScheduleFollowLimitMax);
  io.Int(kHttp, "HTTP_ENABLED", s.http_enabled, def.http_enabled);
  io.Text(kHttp, "HTTP_ADDRESS", s.http_address, def.http_address);
  io.Int(kHttp, "HTTP_PORT", s.http_port, def.http_port, 1, kHttpPortMax);
  io.Int(kHttp, "HTTP_MAX_CLIENTS", s.http_max_clients, def.http_max_clients, 1, kHttpMaxClientsMax);
}

struct Reader {
  const platform::Profile& p;
  void Int(const char* section, const char* key, int32_t& v, int32_t def) { v = p.GetInt(section, key, def); }
  // A key with a range: a value outside it is held to the nearest bound.
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
  void Int(const char* section, const char* key, int32_t& v, int32_t) { p.SetInt(section, key, v); }
  void Int(const char* section, const char* key, int32_t& v, int32_t def, int32_t min, int32_t max) {
    v = std::clamp(v, min, max);
    Int(section, key, v, def);
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

Settings DefaultSettings(const std::string& current_dir) {
  Settings s;
  s.rec_autopath =
      current_dir.size() > kSettingsTextMax ? current_dir.substr(0, kSettingsTextMax) : current_dir;
  return s;
}

bool LoadSettings(const std::string& path, const std::string& current_dir, Settings* out) {
  platform::Profile p;
  const bool found = p.Load(path);
  const Settings def = DefaultSettings(current_dir);
  *out = def;
  Reader r{p};
  VisitKeys(*out, def, r);
  return found;
}

bool SaveSettings(const std::string& path, const Settings& s) {
  platform::Profile p;
  p.Load(path);
  Settings copy = s;
  Writer w{p};
  VisitKeys(copy, s, w);
  return p.Save(path);
}

bool SwitchOnTableProcessing(CaptureApp& app, UserMessages& messages) {
  if (app.IsConnected()) {
    messages.Notify(desktop_text::kOptionsWhileConnected, status_text::kCaptionApp);
    return false;
  }
  app.settings().decode_psi = 1;
  app.settings().proc_epg = 1;
  return true;
}

}  // namespace pelkan
