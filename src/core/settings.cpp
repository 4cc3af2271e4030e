#include "core/settings.h"

#include <cstring>
#include <optional>

#include "schedule/schedule_item.h"

namespace pelkan {
namespace {

constexpr const char* kMain = "Pelkan_Q";
constexpr const char* kPsi = "Pelkan_Q_PSI";
constexpr const char* kSchedule = "Pelkan_Q_SCHEDULE";
constexpr const char* kHttp = "Pelkan_Q_HTTP";
constexpr const char* kLibrary = "Pelkan_Q_LIBRARY";

constexpr int32_t kAny = std::numeric_limits<int32_t>::min();
constexpr int32_t kAll = std::numeric_limits<int32_t>::max();
constexpr int32_t kDayMinutes = 24 * 60;

constexpr SettingKey Flag(const char* section, const char* name, int32_t Settings::*field, int32_t def,
                          const char* control = nullptr, std::optional<int32_t> new_home = std::nullopt) {
  // A flag is not held to 0/1: a hand-written value is written back as it was.
  return {section, name, SettingType::kFlag, field, nullptr, def, "", kAny, kAll, control, new_home.value_or(def)};
}
constexpr SettingKey Number(const char* section, const char* name, int32_t Settings::*field, int32_t def,
                            int32_t min = kAny, int32_t max = kAll, const char* control = nullptr) {
  return {section, name, SettingType::kNumber, field, nullptr, def, "", min, max, control, def};
}
constexpr SettingKey Text(const char* section, const char* name, std::string Settings::*field,
                          const char* def = "") {
  return {section, name, SettingType::kText, nullptr, field, 0, def, kAny, kAll, nullptr, 0};
}

using S = Settings;

// The file's keys in their order. The windows' places (POS_X, CHWND_SHOW, ...) are the windows'
// own record's keys and stand between these in the file (app/window_layout).
const SettingKey kKeys[] = {
    Flag(kMain, "SORVALINK_INIT", &S::sorvalink_init, 0),
    Flag(kMain, "ARIB_B25_PROC", &S::arib_b25_proc, 0),
    Flag(kMain, "REC_AUTOFILENAME", &S::rec_autofilename, 0, "autoFileNameCheck"),
    Text(kMain, "REC_AUTOPATH", &S::rec_autopath),
    Number(kMain, "TIMER_PERIOD", &S::timer_period, 1),
    Number(kMain, "THREAD_PRIORITY_REC", &S::thread_priority_rec, 0),
    Number(kMain, "THREAD_PRIORITY_RES", &S::thread_priority_res, 0),
    Number(kMain, "THREAD_PRIORITY_PROC", &S::thread_priority_proc, 0),
    Number(kMain, "LAST_EP_IN", &S::last_ep_in, 0xFFFE),
    Number(kMain, "LAST_EP_OUT", &S::last_ep_out, 0xFFFE),
    Number(kMain, "REC_TIME", &S::rec_time, 0),
    Text(kMain, "NETWORK_ADDRESS", &S::network_address, "localhost"),
    Number(kMain, "NETWORK_PORT", &S::network_port, 1234),
    Number(kMain, "NETWORK_SEND_SIZE", &S::network_send_size, 0x7FFF),
    Number(kMain, "LAST_CHANNEL", &S::last_channel, -1),
    Text(kMain, "USB_DEVICE_IDS", &S::usb_device_ids),
    Flag(kMain, "VIRTUAL_TUNER", &S::virtual_tuner, 1),
    Text(kMain, "VIRTUAL_TUNER_FILE", &S::virtual_tuner_file),
    Number(kMain, "VIRTUAL_RATE", &S::virtual_rate, 0),
    Text(kMain, "VIRTUAL_LATE", &S::virtual_late),
    Text(kMain, "VIRTUAL_EXTEND", &S::virtual_extend),
    Text(kMain, "VIRTUAL_UNDETERMINED", &S::virtual_undetermined),
    Text(kMain, "VIRTUAL_DROPOUT", &S::virtual_dropout),
    Number(kMain, "DROPOUT_WAIT", &S::dropout_wait, 10, 0, kDayMinutes),
    Text(kMain, "REC_END_COMMAND", &S::rec_end_command),
    Number(kMain, "REC_END_COMMAND_LIMIT", &S::rec_end_command_limit, 60, 1, kDayMinutes),
    Flag(kMain, "NOTIFY_FINISHED", &S::notify_finished, 0, "notifyFinishedCheck"),
    Flag(kMain, "WAKE_ALARM", &S::wake_alarm, 0, "wakeAlarmCheck"),
    Number(kMain, "WAKE_LEAD", &S::wake_lead, 3, 0, 60, "wakeLeadSpin"),
    // Off for a file without them, as they always were; on in a new home, so that the guide and
    // the filtering window fill without a visit to the options.
    Flag(kPsi, "DECODE_PSI", &S::decode_psi, 0, "decodePsiCheck", 1),
    Flag(kPsi, "PROC_EPG", &S::proc_epg, 0, "procEpgCheck", 1),
    Flag(kSchedule, "SCHEDULE_USE_SYSTEM_TIME", &S::schedule_use_system_time, 0, "systemTimeCheck"),
    Number(kSchedule, "SCHEDULE_MARGIN_BEFORE", &S::schedule_margin_before, 5, 0, kMaxMarginSeconds,
           "marginBeforeSpin"),
    Number(kSchedule, "SCHEDULE_MARGIN_AFTER", &S::schedule_margin_after, 0, 0, kMaxMarginSeconds,
           "marginAfterSpin"),
    Number(kSchedule, "SCHEDULE_FOLLOW_LIMIT", &S::schedule_follow_limit, 180, 0, kDayMinutes,
           "followLimitSpin"),
    Flag(kHttp, "HTTP_ENABLED", &S::http_enabled, 0, "httpEnabledCheck"),
    Text(kHttp, "HTTP_ADDRESS", &S::http_address, "127.0.0.1"),
    Number(kHttp, "HTTP_PORT", &S::http_port, 8080, 1, 65535, "httpPortSpin"),
    Number(kHttp, "HTTP_MAX_CLIENTS", &S::http_max_clients, 8, 1, 64),
    Text(kHttp, "HTTP_ALLOW", &S::http_allow),
    Text(kHttp, "HTTP_HOSTS", &S::http_hosts),
    Flag(kLibrary, "AUTO_DELETE", &S::auto_delete, 0, "autoDeleteCheck"),
    Number(kLibrary, "KEEP_DAYS", &S::keep_days, 0, 0, 3650, "keepDaysSpin"),
    Text(kLibrary, "PLAYER_COMMAND", &S::player_command),
};

}  // namespace

Settings::Settings() {
  for (const SettingKey& k : kKeys) {
    if (k.type == SettingType::kText) {
      this->*k.text = k.default_text;
    } else {
      this->*k.number = k.default_number;
    }
  }
}

std::span<const SettingKey> SettingKeys() {
  return kKeys;
}

const SettingKey& SettingKeyOf(int32_t Settings::*field) {
  for (const SettingKey& k : kKeys) {
    if (k.number == field) return k;
  }
  // Every number field has its row (SettingsKeys test); the first row keeps a slip harmless.
  return kKeys[0];
}

const SettingKey* FindSettingKey(const char* name) {
  for (const SettingKey& k : kKeys) {
    if (std::strcmp(k.name, name) == 0) return &k;
  }
  return nullptr;
}

void SetNewHomeValues(Settings* s) {
  for (const SettingKey& k : kKeys) {
    if (k.type != SettingType::kText) s->*k.number = k.new_home_number;
  }
}

}  // namespace pelkan
