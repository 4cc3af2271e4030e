#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelkan::testing {

// One inhibitor lock as logind lists it.
struct InhibitorEntry {
  std::string what, who, why, mode;
};

// A private D-Bus daemon standing in for the system bus, with python3-dbusmock's logind template
// on it. Start points DBUS_SYSTEM_BUS_ADDRESS of this process (and of the programs it starts from
// then on) at it; the destructor stops both processes and restores the variable.
class MockLogind {
 public:
  MockLogind() = default;
  ~MockLogind();
  MockLogind(const MockLogind&) = delete;
  MockLogind& operator=(const MockLogind&) = delete;

  // Starts the bus and the mock and waits until logind answers. False, with the reason in
  // Error(), when dbus-daemon or python3-dbusmock is missing or does not start.
  bool Start();
  const std::string& Error() const { return error_; }
  // Stops the mock's process (SIGSTOP): the bus still takes calls for logind, which never answers.
  void Freeze();
  // Sends logind's PrepareForSleep signal (true: the computer goes to sleep; false: it woke).
  bool EmitPrepareForSleep(bool going_to_sleep);
  // The locks the mock holds now; nullopt when it cannot be asked.
  std::optional<std::vector<InhibitorEntry>> Inhibitors();
  // Waits up to `timeout_ms` until `done` holds for the listed locks (the mock notices a closed
  // descriptor a moment later); returns the last list seen.
  std::vector<InhibitorEntry> WaitFor(const std::function<bool(const std::vector<InhibitorEntry>&)>& done,
                                      int timeout_ms = 5000);

 private:
  pid_t bus_ = -1;
  pid_t mock_ = -1;
  std::optional<std::string> saved_address_;
  bool address_set_ = false;
  std::string error_;
};

// A private D-Bus daemon standing in for the session bus, with python3-dbusmock's notification
// daemon template on it. Start points DBUS_SESSION_BUS_ADDRESS of this process (and of the programs
// it starts from then on) at it; the destructor stops both and restores the variable.
class MockNotifications {
 public:
  MockNotifications() = default;
  ~MockNotifications();
  MockNotifications(const MockNotifications&) = delete;
  MockNotifications& operator=(const MockNotifications&) = delete;

  // Starts the bus and the mock (its calls logged to `log_path`) and waits until it answers. False,
  // with the reason in Error(), when dbus-daemon or python3-dbusmock is missing or does not start.
  bool Start(const std::string& log_path);
  const std::string& Error() const { return error_; }
  // The Notify calls the mock has logged, one text each with its arguments (line breaks kept).
  std::vector<std::string> Calls() const;
  // Makes the mock send ActionInvoked(id, action), as when the user clicks a notification's action.
  bool InvokeAction(uint32_t id, const std::string& action);

 private:
  pid_t bus_ = -1;
  pid_t mock_ = -1;
  std::optional<std::string> saved_address_;
  bool address_set_ = false;
  std::string log_path_;
  std::string error_;
};

// A private D-Bus daemon standing in for the session bus, with systemd's user manager on it
// (tests/support/systemd_user_manager.py, a python3-dbusmock template) knowing the units given to
// Start with their ActiveState. Start points DBUS_SESSION_BUS_ADDRESS of this process (and of the
// programs it starts from then on) at it; the destructor stops both and restores the variable.
class MockUserManager {
 public:
  MockUserManager() = default;
  ~MockUserManager();
  MockUserManager(const MockUserManager&) = delete;
  MockUserManager& operator=(const MockUserManager&) = delete;

  // `units`: JSON of unit name to ActiveState ({"pelkan-recorder.service": "inactive"}). False, with
  // the reason in Error(), when dbus-daemon or python3-dbusmock is missing or does not start.
  bool Start(const std::string& units);
  const std::string& Error() const { return error_; }
  const std::string& address() const { return address_; }

 private:
  pid_t bus_ = -1;
  pid_t mock_ = -1;
  std::optional<std::string> saved_address_;
  bool address_set_ = false;
  std::string address_;
  std::string error_;
};

// A system bus address that leads nowhere, for the runs without logind.
std::string UnreachableBusAddress();

// A socket that accepts connections (the kernel queues them) and never says a word: a system bus
// that hangs. Start points DBUS_SYSTEM_BUS_ADDRESS at it as MockLogind does; the destructor
// removes the socket and restores the variable.
class SilentBus {
 public:
  SilentBus() = default;
  ~SilentBus();
  SilentBus(const SilentBus&) = delete;
  SilentBus& operator=(const SilentBus&) = delete;

  // False, with the reason in Error(), when the socket cannot be made.
  bool Start();
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string dir_;
  std::optional<std::string> saved_address_;
  bool address_set_ = false;
  std::string error_;
};

}  // namespace pelkan::testing
