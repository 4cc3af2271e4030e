#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelkan::hooks {

// The real-time clock's wake alarm as the programs keep it: at the next planned recording's start
// (its margin included) less a lead, so that a sleeping computer is up in time. Times are seconds
// since the epoch (UTC), as the clock's wakealarm file holds them.
constexpr int64_t kWakeAlarmMaxAhead = 30 * 24 * 3600;  // the helper refuses anything later
constexpr int64_t kWakeLeadDefault = 3 * 60;

struct WakeAlarmState {
  int64_t now = 0;
  std::optional<int64_t> next_start;  // the next planned recording's start; none planned
  int64_t lead = kWakeLeadDefault;
  std::optional<int64_t> clock;       // what the clock holds now (none: no alarm)
  std::optional<int64_t> ours;        // the alarm this program set last
};

struct WakeAlarmChoice {
  enum class Action { kNone, kSet, kClear };
  Action action = Action::kNone;
  int64_t at = 0;    // kSet: the time
  std::string note;  // what to tell (English), empty when nothing is worth a line
};

// What to do with the clock's alarm:
//   - wanted: next_start - lead (none when nothing is planned, when that time has come already —
//     the computer is awake — or when it is more than kWakeAlarmMaxAhead away);
//   - an alarm in the future that this program did not set is someone else's: earlier than the
//     wanted time (or nothing wanted) it is kept, and said; later, it is replaced, and said;
//   - otherwise the wanted time is set unless the clock holds it already, and with nothing wanted
//     an alarm of ours still ahead is cleared.
WakeAlarmChoice ChooseWakeAlarm(const WakeAlarmState& state);

// The wake alarm file: "" or "0" read as none, else the time.
std::optional<int64_t> ParseWakeAlarm(const std::string& text);

// The helper's work on the alarm file `path` (the real one is /sys/class/rtc/rtc0/wakealarm): sets
// `at` (writing 0 first, as the clock wants before a new time) or clears it (nullopt), then reads it
// back. Refuses a time not after `now` or more than kWakeAlarmMaxAhead ahead. Returns what the
// clock holds afterwards in *held; false with *error (English) when refused or not written.
bool WriteWakeAlarm(const std::string& path, std::optional<int64_t> at, int64_t now, std::optional<int64_t>* held,
                    std::string* error);
// Reads the alarm file; false with *error when it cannot be read.
bool ReadWakeAlarm(const std::string& path, std::optional<int64_t>* held, std::string* error);

// Why this machine cannot have the alarm set (UTF-8, as told to the user): no real-time clock with
// a wake alarm (no file `alarm_path`), or no pkexec in the folders of `search_path` (a PATH value)
// to run the helper with. Empty when both are there.
std::string WakeAlarmUnavailable(const std::string& alarm_path, const std::string& search_path);

}  // namespace pelkan::hooks
