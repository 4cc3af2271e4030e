#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text_codec.h"

namespace pelkan {

// Texts of the desktop program's own message boxes (Shift-JIS), besides those of the capture
// application (core/status_text.h) and of the options dialog (app/options_rules.h).
namespace desktop_text {
inline const std::string kExitWhileConnected = platform::Sjis("接続中は終了できません。");
inline const std::string kOptionsWhileConnected = platform::Sjis("接続中は設定変更できません");
inline const std::string kScheduleSaveFailed =
    platform::Sjis("予約ファイル schedule.ini を書き込めません。\nもう一度試しますか？");
inline const std::string kSettingsSaveFailed =
    platform::Sjis("設定ファイル pelkan.ini を書き込めません。\nもう一度試しますか？");
}  // namespace desktop_text

// The number in a numeric edit, read as the dialogs read it: blanks around it are ignored, then
// only decimal digits that fit 32 bits. Empty or anything else: none.
std::optional<uint32_t> ParseUnsignedField(std::string_view text);
// The same where an edit's value is simply taken (recording and sending starts): none counts as 0.
inline uint32_t UnsignedFieldOrZero(std::string_view text) {
  return ParseUnsignedField(text).value_or(0);
}

// What decides the enabling of the main window's controls.
struct MainWindowState {
  bool device_open = false;       // the device set could be opened
  bool has_devices = false;       // the device list has entries
  bool has_in_endpoints = false;  // the selected device has a bulk IN endpoint
  bool fx2_device = true;         // the device is the EZ-USB FX2 device (firmware initialisation)
  bool connected = false;
  bool recording = false;
  bool sending = false;
};

// Enabled (and visible) state of each control of the main window.
struct MainWindowControls {
  bool device_list = false;  // "デバイス"
  bool rescan = false;       // "再検索"
  bool in_list = false;      // "In"
  bool out_list = false;     // "Out"
  bool init_box = false;     // "sorvalink ファーム初期化処理転送"
  bool init_box_visible = false;
  bool descramble_box = false;  // "B25処理"
  bool connect = false;         // "接続"
  bool stop_timer = false;      // the stop-timer minutes
  bool record = false;          // "録画"
  bool network_edits = false;   // "アドレス", "ポート", "送信パケットサイズ"
  bool send = false;            // "送信"
};

// While connected the device choice is frozen and recording and sending are possible; while
// disconnected the reverse. A running recording freezes its stop timer, a running sending its
// destination and size.
MainWindowControls ComputeMainWindowControls(const MainWindowState& state);

// The status bar's wake alarm (UTF-8): "次回の自動起動: 12/08(火) 20:57" of the time the clock holds
// (seconds since the epoch, shown in Japan's time as the reservations are); "" when none.
std::string WakeAlarmStatusText(std::optional<int64_t> held);

}  // namespace pelkan
