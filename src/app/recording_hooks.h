#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/settings.h"
#include "hooks/desktop_notifier.h"
#include "hooks/hook_runner.h"
#include "hooks/wake_alarm_keeper.h"
#include "hooks/recording_outcome.h"

namespace pelkan {

class CaptureApp;
class ScheduledCapture;

// What follows every recording in both front-ends: the option REC_END_COMMAND run with the
// recording's PELKAN_* variables (hooks::HookRunner), a desktop notification when it went wrong
// (hooks::DesktopNotifier; its failures go to the same log), and the recording's values kept in
// `last_values_path` for `pelkan-cli hook test`. Owning (UI or main-loop) thread, except the log.
class RecordingHooks {
 public:
  using LogFn = hooks::HookRunner::LogFn;
  // `log` takes one line (English) from any thread; `last_values_path` is "" for none. REC_END_COMMAND
  // (Shift-JIS) and REC_END_COMMAND_LIMIT are read from `settings` (which must outlive this object)
  // at each recording's end, so that a change of the options applies to the next one; a command
  // that cannot be split is said in the log.
  RecordingHooks(LogFn log, std::string last_values_path, const Settings& settings);
  ~RecordingHooks();
  RecordingHooks(const RecordingHooks&) = delete;
  RecordingHooks& operator=(const RecordingHooks&) = delete;

  // Runs after every manual recording of `app` and every reservation of `schedule` that ends
  // (either may be null). Detach by destroying this object after both stopped calling.
  void Wire(CaptureApp* app, ScheduledCapture* schedule);
  // One recording ended: keeps its values, queues the command and raises its desktop notification
  // (hooks::NotificationOf, each finished one too when the settings say so).
  void OnRecordingEnded(const hooks::RecordingOutcome& outcome);
  // Raises a desktop notification of its own (the disk check before a reservation).
  void Notify(hooks::Notification n) { notifier_.Notify(std::move(n)); }
  hooks::HookRunner& runner() { return runner_; }

  // Looks at the plan of `schedule` (the capture session's heartbeat does, every few seconds):
  // keeps the wake alarm at its next start (WAKE_ALARM, WAKE_LEAD) and warns once by notification
  // when the first reservation starting within kDiskLookAheadSeconds will not fit its folder's free
  // space at the stream's rate (`app`'s, else kAssumedRate). `now_epoch`: seconds since the epoch.
  static constexpr int64_t kDiskLookAheadSeconds = 15 * 60;
  static constexpr double kAssumedRate = 17e6 / 8;  // bytes per second of a terrestrial stream
  void FollowPlan(ScheduledCapture& schedule, CaptureApp* app, int64_t now_epoch);
  // The wake alarm's keeper, once WAKE_ALARM made one (the status texts); null before.
  const hooks::WakeAlarmKeeper* wake_alarm() const { return wake_.get(); }
  // Replaces how the wake alarm is reached (tests); before the first FollowPlan.
  void SetWakeAlarmAccess(hooks::WakeAlarmKeeper::Access access) { wake_access_ = std::move(access); }
  // Replaces the free-space query (statvfs by default); for tests.
  void SetFreeSpaceQuery(std::function<bool(const std::string&, uint64_t*)> query) { free_space_ = std::move(query); }

 private:
  // The command of REC_END_COMMAND now; empty when none or when it cannot be split (said once).
  const std::vector<std::string>& Command();

  LogFn log_;
  std::string last_values_path_;
  const Settings& settings_;
  std::vector<std::string> argv_;
  std::string command_text_;
  hooks::HookRunner runner_;
  hooks::DesktopNotifier notifier_;
  std::optional<hooks::WakeAlarmKeeper::Access> wake_access_;
  std::unique_ptr<hooks::WakeAlarmKeeper> wake_;
  std::function<bool(const std::string&, uint64_t*)> free_space_;
  std::string disk_warned_for_;  // the reservation the disk warning was given for
};

// Bytes a recording of `seconds` needs at `rate` bytes per second, with the 200 MiB a recording
// keeps free (it stops at that): more than `free_bytes` means it will not fit.
uint64_t ExpectedRecordingBytes(int64_t seconds, double rate);

// The files beside pelkan.ini: the values of the last recording (written by RecordingHooks, read by
// `pelkan-cli hook test`), and the desktop program's log of the command after each recording.
constexpr char kLastRecordingValuesName[] = "last-recording.env";
constexpr char kHookLogName[] = "rec-end-command.log";
// kLastRecordingValuesName in the home folder.
std::string LastRecordingValuesPath();
// A log function that appends "YYYY-MM-DD HH:MM:SS line" to `path` (safe from any thread).
RecordingHooks::LogFn AppendingLog(std::string path);

}  // namespace pelkan
