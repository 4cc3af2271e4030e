#pragma once

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
  bool auto_file_name = false;
  std::string auto_path;  // "自動録画先", UTF-8
  bool decode_psi = false;
  bool proc_epg = false;
  bool schedule_system_time = false;
  int margin_before = 5;    // "録画マージン (新しい予約)": 開始 … 秒前
  int margin_after = 0;     // 終了 … 秒後
  int follow_limit = 180;   // "終了時刻未定の番組の延長上限" … 分
  bool http_enabled = false;  // "HTTP配信": started with the connection
  std::string http_address;   // "アドレス"
  int http_port = 8080;       // "ポート"
  std::string rec_end_command;  // "録画後に実行するコマンド", UTF-8
  bool notify_finished = false;  // "録画が終わるたびに通知する"
  bool wake_alarm = false;       // "次の予約の前に自動起動する"
  int wake_lead = 3;             // … 分前
};

// The fields for the current settings.
OptionsForm OptionsFormFrom(const Settings& settings);
// "OK": checks the fields and, when they are valid, stores them into `settings` and returns an
// empty text. Otherwise returns the refusal (Shift-JIS) and leaves `settings` untouched: the timer
// period must be 0 or within platform::kTimerPeriodMin..kTimerPeriodMax; the folder must be an
// existing directory (a regular file is refused) whose name has a Shift-JIS form of at most 259
// bytes, whether or not automatic naming is on. The margins and the follow limit are held to their
// ranges (kScheduleMarginMax, kScheduleFollowLimitMax), as the spin boxes hold them. The HTTP
// address must be a numeric IPv4 or IPv6 address (surrounding blanks dropped); the port is held
// to 1..kHttpPortMax. The command after each recording must split (hooks::ParseCommandLine) and
// have a Shift-JIS form of at most 259 bytes; the wake alarm's lead is held to 0..kWakeLeadMax.
std::string ApplyOptionsForm(const OptionsForm& form, Settings* settings);

// "標準タイマ分解能 : %.2lf ms" and "設定可能範囲 : %d - %d" (Shift-JIS).
std::string TimerResolutionText(double resolution_ms);
std::string TimerRangeText(int min_period, int max_period);

}  // namespace pelkan
