#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pelkan::platform {

// Hears logind say that the computer goes to sleep and that it woke again: the signal
// org.freedesktop.login1.Manager.PrepareForSleep (true before the sleep, false after it) on the
// system bus (DBUS_SYSTEM_BUS_ADDRESS when that is set). A worker thread listens; `on_sleep` is
// called on it with the signal's value. Without a system bus or logind, or when the bus does not
// let it listen within 5 s, nothing is ever called and nothing else happens; a bus that hangs
// never holds the destructor.
class SleepWatcher {
 public:
  using SleepFn = std::function<void(bool going_to_sleep)>;

  explicit SleepWatcher(SleepFn on_sleep);
  // Ends the worker.
  ~SleepWatcher();
  SleepWatcher(const SleepWatcher&) = delete;
  SleepWatcher& operator=(const SleepWatcher&) = delete;

  // Waits up to `timeout_ms` until the worker listens (true) or has given up (false).
  bool WaitListening(int timeout_ms);

 private:
  void Run();

  SleepFn on_sleep_;
  int wake_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable settled_;
  enum class State { kStarting, kListening, kGivenUp } state_ = State::kStarting;
  std::thread worker_;
};

}  // namespace pelkan::platform
