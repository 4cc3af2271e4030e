#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelkan {

// Texts of the desktop program's own message boxes (Shift-JIS), besides those of the capture
// application (core/status_text.h) and of the options dialog (app/options_rules.h).
namespace desktop_text {
inline constexpr char kExitWhileConnected[] =
    "\x90\xDA\x91\xB1\x92\x86\x82\xCD\x8FI\x97\xB9\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81"
    "B";  // 接続中は終了できません。
inline constexpr char
    kOptionsWhileConnected[] =
        "\x90\xDA\x91\xB1\x92\x86\x82\xCD\x90\xDD\x92\xE8\x95\xCF\x8DX\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82"
        "\xF1";  // 接続中は設定変更できません
// 予約ファイル schedule.ini を書き込めません。\nもう一度試しますか？
inline constexpr char kScheduleSaveFailed[] =
    "\x97\x5C\x96\xF1\x83t\x83@\x83"
    "C\x83\x8B schedule.ini \x82\xF0\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\x81"
    "B\n\x82\xE0\x82\xA4\x88\xEA\x93x\x8E\x8E\x82\xB5\x82\xDC\x82\xB7\x82\xA9\x81H";
// 設定ファイル pelkan.ini を書き込めません。\nもう一度試しますか？
inline constexpr char kSettingsSaveFailed[] =
    "\x90\xDD\x92\xE8\x83t\x83@\x83"
    "C\x83\x8B pelkan.ini \x82\xF0\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\x81"
    "B\n\x82\xE0\x82\xA4\x88\xEA\x93x\x8E\x8E\x82\xB5\x82\xDC\x82\xB7\x82\xA9\x81H";
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

}  // namespace pelkan
