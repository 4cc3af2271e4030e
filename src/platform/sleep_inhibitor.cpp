#include "platform/sleep_inhibitor.h"

#include <errno.h>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace pelkan::platform {

namespace {

constexpr uint64_t kCallTimeoutUs = 5000000;

std::mutex g_warning_mutex;
std::function<void(const std::string&)> g_warning_sink;
bool g_warned = false;

void WarnOnce(const std::string& reason) {
  std::lock_guard<std::mutex> lock(g_warning_mutex);
  if (g_warned) return;
  g_warned = true;
  const std::string text =
      "the computer may go to sleep during the recording: no sleep inhibitor (" + reason + ")";
  if (g_warning_sink) {
    g_warning_sink(text);
  } else {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
  }
}

// Asks logind for a block-mode sleep lock; returns its descriptor (close-on-exec), or -1 with the
// reason in `error`.
int TakeLock(const std::string& why, std::string* error) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    *error = std::string("no system bus: ") + std::strerror(-r);
    return -1;
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  sd_bus_error bus_error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "Inhibit", &bus_error, &reply, "ssss", "sleep",
                         SleepInhibitor::kWho, why.c_str(), "block");
  if (r < 0) {
    *error = bus_error.message != nullptr ? bus_error.message : std::strerror(-r);
  } else {
    int lock_fd = -1;
    r = sd_bus_message_read(reply, "h", &lock_fd);
    // The message owns its descriptor; the lock lasts as long as this copy.
    if (r >= 0) fd = fcntl(lock_fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
      *error = std::string("no descriptor in logind's answer: ") + std::strerror(r < 0 ? -r : errno);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&bus_error);
  sd_bus_flush_close_unref(bus);
  return fd;
}

}  // namespace

SleepInhibitor::~SleepInhibitor() {
  Release();
}

bool SleepInhibitor::Hold(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requested_ && why == why_) return fd_ >= 0;
  requested_ = true;
  why_ = why;
  std::string error;
  const int fd = TakeLock(why, &error);
  if (fd < 0) {
    WarnOnce(error);
    return fd_ >= 0;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return true;
}

void SleepInhibitor::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  requested_ = false;
  why_.clear();
}

bool SleepInhibitor::IsHeld() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

void SetSleepInhibitorWarning(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(g_warning_mutex);
  g_warning_sink = std::move(sink);
  g_warned = false;
}

}  // namespace pelkan::platform
