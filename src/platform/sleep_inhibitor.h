#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pelkan::platform {

// Keeps the computer from going to sleep while held: a logind inhibitor lock
// (org.freedesktop.login1.Manager.Inhibit on the system bus, what "sleep", who "pelkan", mode
// "block") that lasts as long as its descriptor is open. Without a system bus, without logind, or
// when logind refuses or does not answer, nothing is held: the process says so once
// (SetSleepInhibitorWarning) and the work goes on. The system bus is the one of
// DBUS_SYSTEM_BUS_ADDRESS when that is set.
//
// Hold and Release only record a request and return at once: a worker thread of the inhibitor talks
// to the bus, so a bus that is slow, silent or gone never delays a recording. The connection and
// the call together are bounded (kAnswerTimeoutMs); when requests come faster than they are served
// the last one wins, and a newer request abandons the call in progress. Safe from any thread.
class SleepInhibitor {
 public:
  // Whom logind shows as the holder.
  static constexpr const char* kWho = "pelkan";
  // How long one attempt (connecting, authenticating and the Inhibit call) may take.
  static constexpr int kAnswerTimeoutMs = 5000;

  SleepInhibitor() = default;
  // Abandons a call in progress, closes the lock and ends the worker.
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // Asks for the lock with `why` (valid UTF-8: the programme or the file) as its reason. A new reason
  // takes a new lock before the old one is closed, so the computer is never free to sleep in
  // between. The reason of the last request again does nothing, also when that attempt failed: a
  // failure is not retried until Release.
  void Hold(const std::string& why);
  // Asks for the lock's descriptor to be closed; the computer may sleep again unless another lock
  // holds it.
  void Release();
  // True while a lock is held (the state the worker has reached so far).
  bool IsHeld() const;
  // Waits until every request made so far has been served (at most about kAnswerTimeoutMs per
  // request); returns IsHeld().
  bool Settle();

 private:
  void Request();
  void Serve();

  mutable std::mutex mutex_;
  std::condition_variable served_changed_;
  std::condition_variable requested_;
  std::thread worker_;
  // Written by each request, read by the worker's wait so that a newer request cuts a call short.
  int wake_fd_ = -1;
  bool stopping_ = false;
  // What the last request asked for.
  bool wanted_ = false;
  std::string wanted_why_;
  uint64_t requests_ = 0;
  uint64_t served_ = 0;
  // What the worker holds.
  int fd_ = -1;
  std::string held_why_;
};

// Replaces where the one warning of a process goes (standard error, prefixed with the program's
// name, by default; nullptr restores that) and arms it again. For the desktop program and tests.
void SetSleepInhibitorWarning(std::function<void(const std::string&)> sink);

}  // namespace pelkan::platform
