#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace pelkan::platform {

// Keeps the computer from going to sleep while held: a logind inhibitor lock
// (org.freedesktop.login1.Manager.Inhibit on the system bus, what "sleep", who "pelkan", mode
// "block") that lasts as long as its descriptor is open. Without a system bus, without logind, or
// when logind refuses, nothing is held: the process says so once (SetSleepInhibitorWarning) and the
// work goes on. The system bus is the one of DBUS_SYSTEM_BUS_ADDRESS when that is set.
// Safe from any thread (one internal lock).
class SleepInhibitor {
 public:
  // Whom logind shows as the holder.
  static constexpr const char* kWho = "pelkan";

  SleepInhibitor() = default;
  // Releases the lock.
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // Holds the lock with `why` (valid UTF-8: the programme or the file) as its reason. A new reason takes
  // a new lock before the old one is closed, so the computer is never free to sleep in between.
  // The reason of the last call again does nothing, also when that attempt failed: a failure is
  // not retried until Release. Returns true while a lock is held. Blocks for the D-Bus call (a few
  // milliseconds; at most 5 s when logind does not answer).
  bool Hold(const std::string& why);
  // Closes the lock's descriptor; the computer may sleep again unless another lock holds it.
  void Release();
  bool IsHeld() const;

 private:
  mutable std::mutex mutex_;
  int fd_ = -1;
  bool requested_ = false;
  std::string why_;
};

// Replaces where the one warning of a process goes (standard error, prefixed with the program's
// name, by default; nullptr restores that) and arms it again. For the desktop program and tests.
void SetSleepInhibitorWarning(std::function<void(const std::string&)> sink);

}  // namespace pelkan::platform
