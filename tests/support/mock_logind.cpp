#include "tests/support/mock_logind.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

extern char** environ;

namespace pelkan::testing {

namespace {

constexpr char kAddressVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr char kSessionVariable[] = "DBUS_SESSION_BUS_ADDRESS";
// Debian's interpreter, which python3-dbusmock belongs to (not one found first on PATH).
constexpr char kPython[] = "/usr/bin/python3";

pid_t Spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

void Stop(pid_t* pid) {
  if (*pid <= 0) return;
  ::kill(*pid, SIGTERM);
  ::kill(*pid, SIGCONT);  // a frozen mock ends too
  ::waitpid(*pid, nullptr, 0);
  *pid = -1;
}

// Starts `args` with its standard output (where a mock logs its calls) thrown away.
pid_t SpawnQuiet(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const pid_t pid = Spawn(args, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Reads the line that dbus-daemon prints (its address) within `timeout_ms`.
std::string ReadLine(int fd, int timeout_ms) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  const size_t nl = line.find('\n');
  return nl == std::string::npos ? std::string() : line.substr(0, nl);
}

// Puts DBUS_SYSTEM_BUS_ADDRESS (or `variable`) back as it was before a stand-in bus set it.
void RestoreAddress(const std::optional<std::string>& saved, const char* variable = kAddressVariable) {
  if (saved) {
    ::setenv(variable, saved->c_str(), 1);
  } else {
    ::unsetenv(variable);
  }
}

// Starts a private dbus-daemon; its address in *address. -1 with *error when it does not start.
pid_t StartPrivateBus(std::string* address, std::string* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = "no pipe";
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // Without this, it complains that it may not raise its descriptor limit.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const pid_t bus = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  *address = bus > 0 ? ReadLine(fds[0], 10000) : std::string();
  ::close(fds[0]);
  if (address->empty()) *error = "dbus-daemon did not start (install the Debian package dbus)";
  return bus;
}

// Starts a private bus and makes it this process's session bus (DBUS_SESSION_BUS_ADDRESS, whose
// value before is kept in `*saved`, `*set` then true). False with `*error` when it does not start.
bool StartSessionBus(pid_t* bus, std::string* address, std::optional<std::string>* saved, bool* set,
                     std::string* error) {
  *bus = StartPrivateBus(address, error);
  if (address->empty()) return false;
  if (const char* old = ::getenv(kSessionVariable)) *saved = old;
  ::setenv(kSessionVariable, address->c_str(), 1);
  *set = true;
  return true;
}

// Waits up to 20 seconds until the mock `*mock` answers (`answers`); a mock that exits is gone
// (*mock = -1). True once it answers.
bool WaitUntilAnswering(pid_t* mock, const std::function<bool()>& answers) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (answers()) return true;
    if (*mock <= 0 || ::waitpid(*mock, nullptr, WNOHANG) == *mock) {
      *mock = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// True when `member` of `interface` at `path` of `name` on the session bus answers without error.
bool SessionCallAnswers(const char* name, const char* path, const char* interface, const char* member) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const bool up = sd_bus_call_method(bus, name, path, interface, member, &error, &reply, "") >= 0;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return up;
}

}  // namespace

MockLogind::~MockLogind() {
  Stop(&mock_);
  Stop(&bus_);
  if (address_set_) RestoreAddress(saved_address_);
}

bool MockLogind::Start() {
  std::string address;
  bus_ = StartPrivateBus(&address, &error_);
  if (address.empty()) return false;

  if (const char* old = ::getenv(kAddressVariable)) saved_address_ = old;
  ::setenv(kAddressVariable, address.c_str(), 1);
  address_set_ = true;
  // The mock logs every call on its standard output.
  mock_ = SpawnQuiet({kPython, "-m", "dbusmock", "--system", "--template", "logind"});
  if (WaitUntilAnswering(&mock_, [this] { return Inhibitors().has_value(); })) return true;
  error_ = "the logind mock did not start (install the Debian package python3-dbusmock)";
  return false;
}

void MockLogind::Freeze() {
  if (mock_ > 0) ::kill(mock_, SIGSTOP);
}

std::optional<std::vector<InhibitorEntry>> MockLogind::Inhibitors() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return std::nullopt;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  std::optional<std::vector<InhibitorEntry>> result;
  if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply, "") >= 0 &&
      sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
    result.emplace();
    const char *what, *who, *why, *mode;
    uint32_t uid, pid;
    while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
      result->push_back({what, who, why, mode});
    }
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return result;
}

bool MockLogind::EmitPrepareForSleep(bool going_to_sleep) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  // dbusmock's own interface sends the signal from logind's name, as logind would.
  int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                         "org.freedesktop.DBus.Mock", "EmitSignal");
  if (r >= 0) r = sd_bus_message_append(call, "sss", "org.freedesktop.login1.Manager", "PrepareForSleep", "b");
  if (r >= 0) r = sd_bus_message_open_container(call, 'a', "v");
  if (r >= 0) r = sd_bus_message_append(call, "v", "b", static_cast<int>(going_to_sleep));
  if (r >= 0) r = sd_bus_message_close_container(call);
  if (r >= 0) r = sd_bus_call(bus, call, 0, &error, &reply);
  sd_bus_message_unref(call);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return r >= 0;
}

std::vector<InhibitorEntry> MockLogind::WaitFor(
    const std::function<bool(const std::vector<InhibitorEntry>&)>& done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<InhibitorEntry> last;
  for (;;) {
    if (auto list = Inhibitors()) last = std::move(*list);
    if (done(last) || std::chrono::steady_clock::now() >= end) return last;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string UnreachableBusAddress() {
  return "unix:path=/nonexistent/pelkan-test/system_bus_socket";
}

SilentBus::~SilentBus() {
  if (address_set_) RestoreAddress(saved_address_);
  if (fd_ >= 0) ::close(fd_);
  if (!dir_.empty()) {
    ::unlink((dir_ + "/bus").c_str());
    ::rmdir(dir_.c_str());
  }
}

bool SilentBus::Start() {
  char pattern[] = "/tmp/pelkan-silent-bus-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  dir_ = pattern;
  const std::string path = dir_ + "/bus";
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd_, 16) != 0) {
    error_ = std::string("silent socket: ") + std::strerror(errno);
    return false;
  }
  if (const char* old = std::getenv(kAddressVariable)) saved_address_ = old;
  ::setenv(kAddressVariable, ("unix:path=" + path).c_str(), 1);
  address_set_ = true;
  return true;
}

MockNotifications::~MockNotifications() {
  Stop(&mock_);
  Stop(&bus_);
  if (address_set_) RestoreAddress(saved_address_, kSessionVariable);
}

bool MockNotifications::Start(const std::string& log_path) {
  std::string address;
  if (!StartSessionBus(&bus_, &address, &saved_address_, &address_set_, &error_)) return false;
  log_path_ = log_path;
  mock_ = SpawnQuiet({kPython, "-m", "dbusmock", "--template", "notification_daemon", "-l", log_path});
  if (WaitUntilAnswering(&mock_, [] {
        return SessionCallAnswers("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "GetServerInformation");
      }))
    return true;
  error_ = "the notification mock did not start (install the Debian package python3-dbusmock)";
  return false;
}

std::vector<std::string> MockNotifications::Calls() const {
  // Each call starts a line with its time stamp ("1796737670.897 Notify ..."); a body's line breaks
  // continue it.
  std::vector<std::string> records;
  std::ifstream in(log_path_);
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    const bool stamp = space != std::string::npos && space > 0 &&
                       line.find_first_not_of("0123456789.") == space;
    if (stamp || records.empty()) {
      records.push_back(line);
    } else {
      records.back() += "\n" + line;
    }
  }
  std::vector<std::string> calls;
  for (std::string& r : records) {
    if (r.find(" Notify ") != std::string::npos) calls.push_back(std::move(r));
  }
  return calls;
}

bool MockNotifications::InvokeAction(uint32_t id, const std::string& action) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                   "org.freedesktop.DBus.Mock", "EmitSignal", &error, &reply, "sssav",
                                   "org.freedesktop.Notifications", "ActionInvoked", "us", 2, "u", id, "s",
                                   action.c_str());
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return r >= 0;
}

MockUserManager::~MockUserManager() {
  Stop(&mock_);
  Stop(&bus_);
  if (address_set_) RestoreAddress(saved_address_, kSessionVariable);
}

bool MockUserManager::Start(const std::string& units) {
  if (!StartSessionBus(&bus_, &address_, &saved_address_, &address_set_, &error_)) return false;
  mock_ = SpawnQuiet({kPython, "-m", "dbusmock", "--template",
                      PELKAN_SOURCE_DIR "/tests/support/systemd_user_manager.py", "-p", "{\"units\": " + units + "}"});
  if (WaitUntilAnswering(&mock_, [] {
        return SessionCallAnswers("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                  "org.freedesktop.systemd1.Manager", "Reload");
      }))
    return true;
  error_ = "the systemd user manager mock did not start (install the Debian package python3-dbusmock)";
  return false;
}

}  // namespace pelkan::testing
