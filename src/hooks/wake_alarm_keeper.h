#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "hooks/wake_alarm.h"
#include "schedule/recording_scheduler.h"

namespace pelkan::hooks {

// The start (margin included, seconds since the epoch) of the first reservation of `planned` that
// waits and records something by the plan, after `now` (seconds since the epoch); none when none.
std::optional<int64_t> NextPlannedStart(const RecordingScheduler::PlannedList& planned, int64_t now);
// Seconds since the epoch of a Japan-time instant (day * 86400 + second, as ScheduleItem counts).
int64_t EpochOfJapanInstant(int64_t instant);
// Japan's time of seconds since the epoch.
MjdTime JapanTimeOfEpoch(int64_t epoch);

// Keeps the real-time clock's wake alarm at the next planned recording (ChooseWakeAlarm) from a
// thread of its own: the clock is read directly, and set or cleared through the privileged helper
// (pkexec pelkan-wake-helper), which the polkit action allows the active local user. A failure is
// told in the log once until the next success.
class WakeAlarmKeeper {
 public:
  using LogFn = std::function<void(const std::string&)>;
  // How the clock is reached; the system's by default, fakes in tests.
  struct Access {
    std::function<bool(std::optional<int64_t>* held, std::string* error)> read;
    // Sets `at` (clears for nullopt); *held: what the clock holds afterwards.
    std::function<bool(std::optional<int64_t> at, std::optional<int64_t>* held, std::string* error)> write;
  };
  // /sys/class/rtc/rtc0/wakealarm read directly, written by `pkexec helper`.
  static Access SystemAccess(std::string helper = WakeHelperPath());
  // The installed helper (/usr/libexec/pelkan/pelkan-wake-helper under the package's prefix).
  static std::string WakeHelperPath();

  WakeAlarmKeeper(LogFn log, Access access = SystemAccess(), std::function<int64_t()> now = nullptr);
  ~WakeAlarmKeeper();
  WakeAlarmKeeper(const WakeAlarmKeeper&) = delete;
  WakeAlarmKeeper& operator=(const WakeAlarmKeeper&) = delete;

  // The alarm is to follow `next_start` (seconds since the epoch; none planned) less `lead` seconds.
  // Nothing happens for a repetition of the last request. Any thread.
  void Follow(std::optional<int64_t> next_start, int64_t lead);
  // What the clock held at the last look; none when it holds nothing or was never read.
  std::optional<int64_t> Held() const;
  // Waits until the requests so far are done (tests, `pelkan-cli wake`).
  void WaitIdle();

 private:
  void Serve();
  void Apply(std::optional<int64_t> next_start, int64_t lead);
  void Warn(const std::string& text);

  LogFn log_;
  Access access_;
  std::function<int64_t()> now_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  std::optional<std::pair<std::optional<int64_t>, int64_t>> last_request_;
  std::pair<std::optional<int64_t>, int64_t> request_;
  std::optional<int64_t> held_;
  std::optional<int64_t> ours_;
  std::string last_note_;
  bool warned_ = false;
  std::thread worker_;
};

}  // namespace pelkan::hooks
