#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelkan {

// Every persistent setting of the program (pelkan.ini), with its default: the one record. The
// capture application holds it while the program runs (CaptureApp::settings) and reads the keys
// it needs from it; the front-ends read and write the rest. Texts are Shift-JIS bytes as stored.
// Read once at start-up (LoadSettings) and written once at exit (SaveSettings).
struct Settings {
  // Section Pelkan_Q.
  int32_t sorvalink_init = 0;        // SORVALINK_INIT: send the initialisation writes at streaming start
  int32_t arib_b25_proc = 0;         // ARIB_B25_PROC: descramble through the outside decoder
  int32_t rec_autofilename = 0;      // REC_AUTOFILENAME: name manual recordings automatically
  std::string rec_autopath;          // REC_AUTOPATH: folder of automatic names (default: current dir)
  int32_t timer_period = 1;          // TIMER_PERIOD: ms; 0 = system default
  int32_t thread_priority_rec = 0;   // THREAD_PRIORITY_REC
  int32_t thread_priority_res = 0;   // THREAD_PRIORITY_RES
  int32_t thread_priority_proc = 0;  // THREAD_PRIORITY_PROC
  int32_t last_ep_in = 0xFFFE;       // LAST_EP_IN: written back as read
  int32_t last_ep_out = 0xFFFE;      // LAST_EP_OUT: written back as read
  int32_t rec_time = 0;              // REC_TIME: stop-timer minutes of the manual recording
  std::string network_address = "localhost";                 // NETWORK_ADDRESS
  int32_t network_port = 1234;                               // NETWORK_PORT
  int32_t network_send_size = 0x7FFF;                        // NETWORK_SEND_SIZE: 0 = one datagram per packet
  int32_t pos_x = -30000, pos_y = -30000;                    // POS_X, POS_Y (below -29999: none)
  int32_t chwnd_show = 0;                                    // CHWND_SHOW
  int32_t chwnd_pos_x = -30000, chwnd_pos_y = -30000;        // CHWND_POS_X, CHWND_POS_Y
  int32_t last_channel = -1;                                 // LAST_CHANNEL
  int32_t filtwnd_show = 0;                                  // FILTWND_SHOW
  int32_t filtwnd_pos_x = -30000, filtwnd_pos_y = -30000;    // FILTWND_POS_X, FILTWND_POS_Y
  int32_t filtwnd_size_x = 0, filtwnd_size_y = 0;            // FILTWND_SIZE_X, FILTWND_SIZE_Y
  int32_t schedule_show = 0;                                 // SCHEDULE_SHOW
  int32_t schedule_pos_x = -30000, schedule_pos_y = -30000;  // SCHEDULE_POS_X, SCHEDULE_POS_Y
  int32_t schedule_size_x = 0, schedule_size_y = 0;          // SCHEDULE_SIZE_X, SCHEDULE_SIZE_Y
  int32_t guide_show = 0;                                    // GUIDE_SHOW: programme guide window visible
  int32_t guide_pos_x = -30000, guide_pos_y = -30000;        // GUIDE_POS_X, GUIDE_POS_Y
  int32_t guide_size_x = 0, guide_size_y = 0;                // GUIDE_SIZE_X, GUIDE_SIZE_Y
  int32_t rule_show = 0;                                     // RULE_SHOW: automatic reservation window visible
  int32_t rule_pos_x = -30000, rule_pos_y = -30000;          // RULE_POS_X, RULE_POS_Y
  int32_t rule_size_x = 0, rule_size_y = 0;                  // RULE_SIZE_X, RULE_SIZE_Y
  std::string usb_device_ids;      // USB_DEVICE_IDS: "vid:pid,..." in hex; Cypress 04b4 always included
  int32_t virtual_tuner = 1;       // VIRTUAL_TUNER: offer the virtual tuner as a device
  std::string virtual_tuner_file;  // VIRTUAL_TUNER_FILE: stream to play; empty = synthetic broadcast
  int32_t virtual_rate = 0;        // VIRTUAL_RATE: bit/s of the synthetic broadcast; 0 = 17000000
  // VIRTUAL_LATE, VIRTUAL_EXTEND ("SERVICE:EVENT:SECONDS,...") and VIRTUAL_UNDETERMINED
  // ("SERVICE:EVENT,..."): programmes of the synthetic broadcast made late (negative: early),
  // extended or of undetermined duration.
  std::string virtual_late;
  std::string virtual_extend;
  std::string virtual_undetermined;
  // VIRTUAL_DROPOUT ("AT:FOR", seconds): the virtual tuner leaves the bus AT seconds after it starts
  // streaming and is back FOR seconds later, once; empty: never.
  std::string virtual_dropout;
  // DROPOUT_WAIT: minutes a manual recording waits for a tuner that dropped out before it ends
  // (0-1440; 0: until its stop timer or the user stops it).
  int32_t dropout_wait = 10;
  // REC_END_COMMAND: a program and its arguments run after every recording and missed reservation
  // (hooks::ParseCommandLine's quoting; no shell); empty = none.
  std::string rec_end_command;
  int32_t rec_end_command_limit = 60;  // REC_END_COMMAND_LIMIT: minutes before the command is stopped (1-1440)
  int32_t notify_finished = 0;         // NOTIFY_FINISHED: a desktop notification for every finished recording too
  int32_t wake_lead = 3;               // WAKE_LEAD: minutes the wake alarm goes off before a reservation (0-60)
  int32_t wake_alarm = 0;              // WAKE_ALARM: keep the computer's wake alarm at the next reservation (off: never touched)

  // Section Pelkan_Q_PSI.
  int32_t decode_psi = 0;  // DECODE_PSI
  int32_t proc_epg = 0;    // PROC_EPG

  // Section Pelkan_Q_SCHEDULE.
  int32_t schedule_use_system_time = 0;  // SCHEDULE_USE_SYSTEM_TIME
  // Margins given to new reservations, seconds (0-600 each; ScheduleItem::margin_before/after).
  int32_t schedule_margin_before = 5;  // SCHEDULE_MARGIN_BEFORE
  int32_t schedule_margin_after = 0;   // SCHEDULE_MARGIN_AFTER
  // How long an event whose end the broadcast does not tell is followed past its scheduled end (or
  // its start), minutes (0-1440).
  int32_t schedule_follow_limit = 180;  // SCHEDULE_FOLLOW_LIMIT

  // Section Pelkan_Q_HTTP: the live stream over HTTP, started with the connection.
  int32_t http_enabled = 0;                 // HTTP_ENABLED
  std::string http_address = "127.0.0.1";  // HTTP_ADDRESS: numeric; the loopback address keeps it local
  int32_t http_port = 8080;                 // HTTP_PORT (1-65535)
  int32_t http_max_clients = 8;             // HTTP_MAX_CLIENTS: stream clients at once (1-64)
};

// Ranges of the keys after a recording and of the wake alarm; held to the nearest bound.
constexpr int32_t kRecEndCommandLimitMax = 24 * 60;
constexpr int32_t kWakeLeadMax = 60;

// Ranges of the HTTP keys; a value out of range in the file is held to the nearest bound.
constexpr int32_t kHttpPortMax = 65535;
constexpr int32_t kHttpMaxClientsMax = 64;
constexpr int32_t kDropoutWaitMax = 24 * 60;

// Ranges of the schedule keys; a value out of range in the file is held to the nearest bound.
constexpr int32_t kScheduleMarginMax = 600;
constexpr int32_t kScheduleFollowLimitMax = 24 * 60;

// Longest stored text of REC_AUTOPATH, NETWORK_ADDRESS and the other text keys, in bytes.
constexpr size_t kSettingsTextMax = 259;

}  // namespace pelkan
