#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

namespace pelkan {

// Every persistent setting of the program (pelkan.ini) but the windows' places: the one record. The
// capture application holds it while the program runs (CaptureApp::settings) and reads the keys
// it needs from it; the front-ends read and write the rest. Texts are Shift-JIS bytes as stored.
// Each field is one row of SettingKeys(), which gives its key, default and range; a new record
// holds every default (REC_AUTOPATH empty: the front-end puts the current directory there).
struct Settings {
  Settings();

  // Section Pelkan_Q.
  int32_t sorvalink_init;        // send the initialisation writes at streaming start
  int32_t arib_b25_proc;         // descramble through the outside decoder
  int32_t rec_autofilename;      // name manual recordings automatically
  std::string rec_autopath;      // folder of automatic names
  int32_t timer_period;          // ms; 0 = system default
  int32_t thread_priority_rec;   // stored, not applied
  int32_t thread_priority_res;
  int32_t thread_priority_proc;
  int32_t last_ep_in;            // written back as read
  int32_t last_ep_out;
  int32_t rec_time;              // stop-timer minutes of the manual recording
  std::string network_address;   // UDP destination
  int32_t network_port;
  int32_t network_send_size;     // 0 = one datagram per packet
  int32_t last_channel;          // the channel window's last channel
  std::string usb_device_ids;    // "vid:pid,..." in hex; Cypress 04b4 always included
  int32_t virtual_tuner;         // offer the virtual tuner as a device
  std::string virtual_tuner_file;  // stream to play; empty = synthetic broadcast
  int32_t virtual_rate;            // bit/s of the synthetic broadcast; 0 = 17000000
  // Programmes of the synthetic broadcast made late (negative: early), extended or of undetermined
  // duration: "SERVICE:EVENT:SECONDS,..." for the first two, "SERVICE:EVENT,..." for the last.
  std::string virtual_late;
  std::string virtual_extend;
  std::string virtual_undetermined;
  // "AT:FOR", seconds: the virtual tuner leaves the bus AT seconds after it starts streaming and is
  // back FOR seconds later, once; empty: never.
  std::string virtual_dropout;
  // Minutes a manual recording waits for a tuner that dropped out before it ends (0: until its
  // stop timer or the user stops it).
  int32_t dropout_wait;
  // A program and its arguments run after every recording and missed reservation
  // (hooks::ParseCommandLine's quoting; no shell); empty = none.
  std::string rec_end_command;
  int32_t rec_end_command_limit;  // minutes before the command is stopped
  int32_t notify_finished;        // a desktop notification for every finished recording too
  int32_t wake_alarm;             // keep the computer's wake alarm at the next reservation
  int32_t wake_lead;              // minutes the wake alarm goes off before a reservation

  // Section Pelkan_Q_PSI.
  int32_t decode_psi;
  int32_t proc_epg;

  // Section Pelkan_Q_SCHEDULE.
  int32_t schedule_use_system_time;
  // Margins given to new reservations, seconds (ScheduleItem::margin_before/after).
  int32_t schedule_margin_before;
  int32_t schedule_margin_after;
  // How long an event whose end the broadcast does not tell is followed past its scheduled end (or
  // its start), minutes.
  int32_t schedule_follow_limit;

  // Section Pelkan_Q_HTTP: the live stream over HTTP, started with the connection.
  int32_t http_enabled;
  std::string http_address;  // numeric; the loopback address keeps it local
  int32_t http_port;
  int32_t http_max_clients;  // stream clients at once
  // The networks whose peers may connect ("192.168.0.0/16,fd00::/8"; empty: any that reaches the
  // address; loopback always), and the names besides localhost and the machine's addresses that
  // a request's Host may give (comma-separated).
  std::string http_allow;
  std::string http_hosts;

  // Section Pelkan_Q_LIBRARY: the recordings' catalogue.
  // Delete the oldest finished, unprotected recordings when a reservation needs the room.
  int32_t auto_delete;
  int32_t keep_days;  // only those that ended longer ago than this many days; 0: any age
  // The player the 録画済み window starts (hooks::ParseCommandLine's quoting, {file}, {url},
  // {position}); empty: the desktop's player through xdg-open.
  std::string player_command;
};

// Longest stored text of REC_AUTOPATH, NETWORK_ADDRESS and the other text keys, in bytes.
constexpr size_t kSettingsTextMax = 259;

// How a key's value is kept: 0/1 (a check box), a signed 32-bit number, or a text.
enum class SettingType : uint8_t { kFlag, kNumber, kText };

// One key of pelkan.ini: its section and name, its type, its field of Settings, its default, its
// range and the options dialog's control that shows it. The file, the options dialog, the command
// line and the capture all take the range from here: a number out of it is held to the nearer
// bound when read, stored or set.
struct SettingKey {
  const char* section;
  const char* name;
  SettingType type;
  int32_t Settings::*number;      // kFlag, kNumber
  std::string Settings::*text;    // kText
  int32_t default_number;
  const char* default_text;
  int32_t min;
  int32_t max;
  // The object name of the options dialog's control (a check box for a flag, a spin box for a
  // number); nullptr when the dialog does not show it.
  const char* control;
  // The value a home without pelkan.ini starts from (a file that lacks the key has the default).
  int32_t new_home_number;

  int32_t Clamp(int32_t value) const { return std::clamp(value, min, max); }
};

// Every key, in the order of the file.
std::span<const SettingKey> SettingKeys();
// The row of a number or flag field of Settings (one of SettingKeys(); the field must have one).
const SettingKey& SettingKeyOf(int32_t Settings::*field);
// The row named `name`; nullptr when there is none.
const SettingKey* FindSettingKey(const char* name);
// Puts each key's new_home_number into `s`: the desktop program's first start in a home without
// pelkan.ini (DECODE_PSI and PROC_EPG on, so that the guide fills at the first connection), whose
// file is then written with them.
void SetNewHomeValues(Settings* s);

}  // namespace pelkan
