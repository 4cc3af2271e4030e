#include "platform/sleep_inhibitor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sd_bus_library.h"

namespace pelkan::platform {

namespace {

// The sd-bus functions; every call below runs once the entry point has loaded them.
const SdBusLibrary& Sd() {
  return *SdBus();
}

constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";

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

int64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The answer to the Inhibit call, filled by its reply handler.
struct InhibitAnswer {
  bool done = false;
  int fd = -1;
  std::string error;
};

int OnInhibitReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*ret_error*/) {
  auto* answer = static_cast<InhibitAnswer*>(userdata);
  answer->done = true;
  if (const sd_bus_error* e = Sd().sd_bus_message_get_error(reply); e != nullptr) {
    answer->error = e->message != nullptr ? e->message : (e->name != nullptr ? e->name : "refused");
    return 0;
  }
  int lock_fd = -1;
  const int r = Sd().sd_bus_message_read(reply, "h", &lock_fd);
  // The message owns its descriptor; the lock lasts as long as this copy.
  if (r >= 0) answer->fd = fcntl(lock_fd, F_DUPFD_CLOEXEC, 3);
  if (answer->fd < 0)
    answer->error = std::string("no descriptor in logind's answer: ") + std::strerror(r < 0 ? -r : errno);
  return 0;
}

enum class Attempt { kTaken, kFailed, kAbandoned };

// Asks logind for a block-mode sleep lock. The connection is made by hand rather than with
// sd_bus_open_system so that its authentication, too, runs in this loop: a socket that accepts and
// never speaks ends the attempt at the deadline instead of sd-bus's own 90 s. The attempt is
// abandoned as soon as `wake_fd` becomes readable (a newer request). On kTaken `*fd` is the lock's
// descriptor (close-on-exec); on kFailed `*error` says why.
Attempt TakeLock(const std::string& why, int wake_fd, int* fd, std::string* error) {
  const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string address = env != nullptr && *env != '\0' ? env : kDefaultSystemBus;
  const int64_t deadline = MonotonicUs() + int64_t{SleepInhibitor::kAnswerTimeoutMs} * 1000;
  std::string missing;
  if (SdBus(&missing) == nullptr) {
    *error = "no system bus: " + missing;
    return Attempt::kFailed;
  }
  sd_bus* bus = nullptr;
  int r = Sd().sd_bus_new(&bus);
  if (r < 0) {
    *error = std::string("no system bus: ") + std::strerror(-r);
    return Attempt::kFailed;
  }
  Sd().sd_bus_set_address(bus, address.c_str());
  Sd().sd_bus_set_bus_client(bus, 1);
  Sd().sd_bus_negotiate_fds(bus, 1);
  r = Sd().sd_bus_start(bus);
  if (r < 0) {
    *error = std::string("no system bus: ") + std::strerror(-r);
    Sd().sd_bus_unref(bus);
    return Attempt::kFailed;
  }
  InhibitAnswer answer;
  sd_bus_slot* slot = nullptr;
  sd_bus_message* call = nullptr;
  r = Sd().sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                          "org.freedesktop.login1.Manager", "Inhibit");
  if (r >= 0)
    r = Sd().sd_bus_message_append(call, "ssss", "sleep", SleepInhibitor::kWho, why.c_str(), "block");
  if (r >= 0)
    r = Sd().sd_bus_call_async(bus, &slot, call, OnInhibitReply, &answer,
                               uint64_t{SleepInhibitor::kAnswerTimeoutMs} * 1000);
  Sd().sd_bus_message_unref(call);
  Attempt result = Attempt::kFailed;
  if (r < 0) answer.error = std::string("system bus: ") + std::strerror(-r);
  while (r >= 0 && !answer.done) {
    r = Sd().sd_bus_process(bus, nullptr);
    if (r < 0) {
      answer.error = std::string("system bus: ") + std::strerror(-r);
      break;
    }
    if (r > 0) continue;
    const int64_t left_us = deadline - MonotonicUs();
    if (left_us <= 0) {
      answer.error = "the system bus did not answer within " +
                     std::to_string(SleepInhibitor::kAnswerTimeoutMs / 1000) + " s";
      break;
    }
    pollfd fds[2] = {{Sd().sd_bus_get_fd(bus), static_cast<short>(Sd().sd_bus_get_events(bus)), 0},
                     {wake_fd, POLLIN, 0}};
    int64_t wait_us = left_us;
    uint64_t bus_deadline = 0;
    if (Sd().sd_bus_get_timeout(bus, &bus_deadline) >= 0 && bus_deadline != UINT64_MAX) {
      const int64_t bus_left = static_cast<int64_t>(bus_deadline) - MonotonicUs();
      wait_us = std::max<int64_t>(0, std::min(wait_us, bus_left));
    }
    if (::poll(fds, 2, static_cast<int>((wait_us + 999) / 1000)) < 0 && errno != EINTR) {
      answer.error = std::string("system bus: ") + std::strerror(errno);
      break;
    }
    if (fds[1].revents & POLLIN) {
      result = Attempt::kAbandoned;
      break;
    }
  }
  if (answer.done && answer.fd >= 0) {
    *fd = answer.fd;
    result = Attempt::kTaken;
  } else if (answer.fd >= 0) {
    ::close(answer.fd);
  }
  if (result == Attempt::kFailed) *error = answer.error;
  Sd().sd_bus_slot_unref(slot);
  Sd().sd_bus_close(bus);
  Sd().sd_bus_unref(bus);
  return result;
}

}  // namespace

SleepInhibitor::~SleepInhibitor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
  }
  requested_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void SleepInhibitor::Hold(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (wanted_ && why == wanted_why_) return;
  wanted_ = true;
  wanted_why_ = why;
  if (!worker_.joinable()) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    worker_ = std::thread([this] { Serve(); });
  }
  Request();
}

void SleepInhibitor::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_ = false;
  wanted_why_.clear();
  // Without a worker nothing was ever asked for, so nothing is held.
  if (worker_.joinable()) Request();
}

void SleepInhibitor::Request() {
  ++requests_;
  if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
  requested_.notify_all();
}

bool SleepInhibitor::IsHeld() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

bool SleepInhibitor::Settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  served_changed_.wait(lock, [this] { return stopping_ || served_ == requests_; });
  return fd_ >= 0;
}

void SleepInhibitor::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    requested_.wait(lock, [this] { return stopping_ || served_ != requests_; });
    if (stopping_) break;
    const uint64_t target = requests_;
    const std::string why = wanted_why_;
    if (wake_fd_ >= 0) {
      eventfd_t ignored = 0;
      eventfd_read(wake_fd_, &ignored);
    }
    if (wanted_ && (fd_ < 0 || held_why_ != why)) {
      lock.unlock();
      int fd = -1;
      std::string error;
      const Attempt attempt = TakeLock(why, wake_fd_, &fd, &error);
      if (attempt == Attempt::kFailed) WarnOnce(error);
      lock.lock();
      if (attempt == Attempt::kAbandoned) continue;
      if (attempt == Attempt::kTaken) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        held_why_ = why;
      }
    } else if (!wanted_ && fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
      held_why_.clear();
    }
    served_ = target;
    served_changed_.notify_all();
  }
  served_changed_.notify_all();
}

void SetSleepInhibitorWarning(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(g_warning_mutex);
  g_warning_sink = std::move(sink);
  g_warned = false;
}

}  // namespace pelkan::platform
