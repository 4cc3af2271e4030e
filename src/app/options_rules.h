#pragma once

#include <string>

#include "app/settings.h"

namespace pelkan {

namespace options_text {
inline constexpr char kTimerPeriodInvalid[] =
    "\x83^\x83"
    "C\x83}\x90\xB8\x93x\x90\xDD\x92\xE8\x92l\x82\xAA\x95s\x90\xB3\x82\xC5\x82\xB7";  // タイマ精度設定値が不正です
inline constexpr char kSavePathInvalid[] =
    "\x95\xDB\x91\xB6\x90\xE6\x83p\x83X\x82\xCD\x96\xB3\x8C\xF8\x82\xC5\x82\xB7";  // 保存先パスは無効です
}  // namespace options_text

// The two entries of each thread-priority list: "標準" (0) and "高" (2).
struct PriorityChoice {
  const char* name;  // Shift-JIS
  int value;
};
inline constexpr PriorityChoice kPriorityChoices[2] = {{"\x95W\x8F\x80", 0}, {"\x8D\x82", 2}};
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
};

// The fields for the current settings.
OptionsForm OptionsFormFrom(const Settings& settings);
// "OK": checks the fields and, when they are valid, stores them into `settings` and returns an
// empty text. Otherwise returns the refusal (Shift-JIS) and leaves `settings` untouched: the timer
// period must be 0 or within platform::kTimerPeriodMin..kTimerPeriodMax; the folder must be an
// existing directory (a regular file is refused) whose name has a Shift-JIS form of at most 259
// bytes, whether or not automatic naming is on.
std::string ApplyOptionsForm(const OptionsForm& form, Settings* settings);

// "標準タイマ分解能 : %.2lf ms" and "設定可能範囲 : %d - %d" (Shift-JIS).
std::string TimerResolutionText(double resolution_ms);
std::string TimerRangeText(int min_period, int max_period);

}  // namespace pelkan
