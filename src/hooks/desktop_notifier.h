#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hooks/recording_outcome.h"
#include "hooks/work_queue.h"

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace pelkan::hooks {

// One desktop notification: its summary and body (UTF-8), and the report an action opens ("" none).
struct Notification {
  std::string summary;
  std::string body;
  std::string report;
  bool critical = false;  // urgency 2 (stays until dismissed), else 1
};

// The notification a recording's outcome raises, if any: failed (tuner lost when its reason says
// so), cut by the plan, recovered from a drop-out, missed or could not start; a complete one only
// when `each_finished` (NOTIFY_FINISHED). The body: the programme, its time, the reason.
std::optional<Notification> NotificationOf(const RecordingOutcome& outcome, bool each_finished);
// The warning before a reservation whose expected size does not fit: `title` (UTF-8) starts at
// `start` (Japan time), needs `needed` bytes and its folder has `free_bytes`.
Notification LowDiskNotification(const std::string& title, MjdTime start, uint64_t needed, uint64_t free_bytes);
// "12/08(火) 20:57" of a Japan time.
std::string ShortJapanTime(MjdTime t);

// Sends notifications to the freedesktop notification service (org.freedesktop.Notifications on
// the user's session bus, through sd-bus) from a thread of its own, and opens a notification's
// report when its action is invoked (the ActionInvoked signal). Without a session bus or a
// service, each failure streak writes one line to the log and nothing else happens.
class DesktopNotifier {
 public:
  using LogFn = std::function<void(const std::string&)>;
  using OpenFn = std::function<void(const std::string& path)>;
  static constexpr uint32_t kCallTimeoutMs = 5000;

  // `open` opens a report (default: xdg-open, spawned without a shell); both run on the notifier's
  // thread.
  explicit DesktopNotifier(LogFn log, OpenFn open = nullptr);
  ~DesktopNotifier();
  DesktopNotifier(const DesktopNotifier&) = delete;
  DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  // Queues `n`. Any thread.
  void Notify(Notification n);
  // Waits until every queued notification was sent or failed (tests); the ids the service gave.
  std::vector<uint32_t> WaitSent();
  // A signal of the notification service (ActionInvoked, NotificationClosed); the notifier's thread.
  void OnSignal(::sd_bus_message* m);

 private:
  void Serve();
  bool Send(const Notification& n);
  bool Connect();
  void Disconnect();

  LogFn log_;
  OpenFn open_;
  WorkQueue<Notification> queue_;
  std::mutex mutex_;  // guards sent_
  std::vector<uint32_t> sent_;
  int wake_fd_ = -1;
  ::sd_bus* bus_ = nullptr;
  ::sd_bus_slot* match_ = nullptr;
  bool warned_ = false;
  std::map<uint32_t, std::string> reports_;  // notification id -> report, while it may be invoked
  std::thread worker_;
};

}  // namespace pelkan::hooks
