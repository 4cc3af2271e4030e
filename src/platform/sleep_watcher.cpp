#include "platform/sleep_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace pelkan::platform {

namespace {

int OnPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* /*ret_error*/) {
  int sleeping = 0;
  if (sd_bus_message_read(message, "b", &sleeping) >= 0) {
    (*static_cast<SleepWatcher::SleepFn*>(userdata))(sleeping != 0);
  }
  return 0;
}

}  // namespace

SleepWatcher::SleepWatcher(SleepFn on_sleep) : on_sleep_(std::move(on_sleep)) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  worker_ = std::thread([this] { Run(); });
}

SleepWatcher::~SleepWatcher() {
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
  }
  if (worker_.joinable()) worker_.join();
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool SleepWatcher::WaitListening(int timeout_ms) {
  std::unique_lock lock(mutex_);
  settled_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return state_ != State::kStarting; });
  return state_ == State::kListening;
}

void SleepWatcher::Run() {
  const auto settle = [this](State state) {
    {
      std::lock_guard lock(mutex_);
      state_ = state;
    }
    settled_.notify_all();
  };
  sd_bus* bus = nullptr;
  // sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS. The match is added synchronously, so a
  // signal sent after WaitListening returned true is heard.
  if (wake_fd_ < 0 || sd_bus_open_system(&bus) < 0 ||
      sd_bus_match_signal(bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", &OnPrepareForSleep,
                          &on_sleep_) < 0) {
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
    settle(State::kGivenUp);
    return;
  }
  settle(State::kListening);
  while (true) {
    int r;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) break;  // the bus went away: nothing more is heard
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {wake_fd_, POLLIN, 0}};
    uint64_t timeout_us = UINT64_MAX;
    int timeout_ms = -1;
    if (sd_bus_get_timeout(bus, &timeout_us) >= 0 && timeout_us != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const uint64_t now_us = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
      timeout_ms = timeout_us > now_us ? static_cast<int>((timeout_us - now_us + 999) / 1000) : 0;
    }
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0) break;
  }
  sd_bus_flush_close_unref(bus);
}

}  // namespace pelkan::platform
