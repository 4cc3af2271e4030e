#pragma once

#include <map>
#include <string>

#include "app/settings.h"
#include "platform/text_codec.h"

namespace pelkan {

namespace options_text {
inline const std::string kTimerPeriodInvalid = platform::Sjis("タイマ精度設定値が不正です");
inline const std::string kSavePathInvalid = platform::Sjis("保存先パスは無効です");
inline const std::string kRecEndCommandInvalid =
    platform::Sjis("録画後に実行するコマンドが不正です (引用符が閉じていないか、長すぎます)");
inline const std::string kHttpAddressInvalid =
    platform::Sjis("HTTP配信のアドレスが不正です (127.0.0.1 や 0.0.0.0 のような数字のアドレス)");
inline const std::string kPlayerCommandInvalid =
    platform::Sjis("再生に使うプレーヤーのコマンドが不正です (引用符が閉じていないか、長すぎます)");
}  // namespace options_text

// The two entries of each thread-priority list: "標準" (0) and "高" (2).
struct PriorityChoice {
  std::string name;  // Shift-JIS
  int value;
};
inline const PriorityChoice kPriorityChoices[2] = {{platform::Sjis("標準"), 0}, {platform::Sjis("高"), 2}};
// The list entry shown for a stored priority value: the one with that value, else the first.
int PriorityChoiceIndex(int value);

// The options dialog's fields as the user sees them (texts in UTF-8, as typed).
struct OptionsForm {
  std::string timer_period;  // "設定値" (msec)
  int priority_rec = 0;      // entry index of "要求"
  int priority_res = 0;      // "受信"
  int priority_proc = 0;     // "処理"
  std::string auto_path;     // "自動録画先"
  std::string http_address;  // "HTTP配信": "アドレス"
  std::string rec_end_command;  // "録画後に実行するコマンド"
  std::string player_command;   // "再生に使うプレーヤー"
  // What the check boxes (0/1) and spin boxes show: one entry for each key of SettingKeys() with
  // a control, by the key's name.
  std::map<std::string, int32_t> values;
};

// The fields for the current settings.
OptionsForm OptionsFormFrom(const Settings& settings);
// "OK": checks the fields and, when they are valid, stores them into `settings` and returns an
// empty text. Otherwise returns the refusal (Shift-JIS) and leaves `settings` untouched: the timer
// period must be 0 or within platform::kTimerPeriodMin..kTimerPeriodMax; the folder must be an
// existing directory (a regular file is refused) whose name has a Shift-JIS form of at most 259
// bytes, whether or not automatic naming is on. The HTTP address must be a numeric IPv4 or IPv6
// address (surrounding blanks dropped). The command after each recording must split
// (hooks::ParseCommandLine) and have a Shift-JIS form of at most 259 bytes, and so must the player
// command of the 録画済み window. A check box stores 0
// or 1; a spin box's number is held to its key's range, as the spin box holds it.
std::string ApplyOptionsForm(const OptionsForm& form, Settings* settings);

// "標準タイマ分解能 : %.2lf ms" and "設定可能範囲 : %d - %d" (Shift-JIS).
std::string TimerResolutionText(double resolution_ms);
std::string TimerRangeText(int min_period, int max_period);

}  // namespace pelkan
