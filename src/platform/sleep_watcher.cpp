#include "platform/sleep_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/sd_bus_library.h"

namespace pelkan::platform {

namespace {

// The sd-bus functions; every call below runs once the entry point has loaded them.
const SdBusLibrary& Sd() {
  return *SdBus();
}

constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";
// How long the bus may take to connect and add the match before the watcher gives up.
constexpr int64_t kListenTimeoutUs = 5'000'000;

// What the bus callbacks reach: the user's function and whether the match was added.
struct Listener {
  SleepWatcher::SleepFn* on_sleep;
  int installed = 0;  // 1 added, -1 refused
};

int OnPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* /*ret_error*/) {
  int sleeping = 0;
  if (Sd().sd_bus_message_read(message, "b", &sleeping) >= 0) {
    (*static_cast<Listener*>(userdata)->on_sleep)(sleeping != 0);
  }
  return 0;
}

int OnMatchAdded(sd_bus_message* reply, void* userdata, sd_bus_error* /*ret_error*/) {
  static_cast<Listener*>(userdata)->installed = Sd().sd_bus_message_is_method_error(reply, nullptr) ? -1 : 1;
  return 0;
}

int64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
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
  // The connection is made by hand and the match added asynchronously, so that connecting,
  // authenticating and adding the match all run in the loop below: a bus that accepts and never
  // speaks ends the attempt at the deadline, and the destructor's wake ends it at once.
  const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string address = env != nullptr && *env != '\0' ? env : kDefaultSystemBus;
  Listener listener{&on_sleep_};
  sd_bus* bus = nullptr;
  // Without libsystemd the watcher gives up as it does without a bus.
  bool ok = wake_fd_ >= 0 && SdBus() != nullptr && Sd().sd_bus_new(&bus) >= 0;
  if (ok) {
    Sd().sd_bus_set_address(bus, address.c_str());
    Sd().sd_bus_set_bus_client(bus, 1);
    ok = Sd().sd_bus_start(bus) >= 0 &&
         Sd().sd_bus_match_signal_async(bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager", "PrepareForSleep",
                                        &OnPrepareForSleep, &OnMatchAdded, &listener) >= 0;
  }
  const int64_t deadline = MonotonicUs() + kListenTimeoutUs;
  bool listening = false;
  while (ok) {
    int r;
    while ((r = Sd().sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0 || listener.installed < 0) break;  // the bus went away, or refused the match
    if (listener.installed > 0 && !listening) {
      listening = true;
      settle(State::kListening);
    }
    int timeout_ms = -1;
    uint64_t bus_deadline = UINT64_MAX;
    if (Sd().sd_bus_get_timeout(bus, &bus_deadline) >= 0 && bus_deadline != UINT64_MAX) {
      const int64_t left = static_cast<int64_t>(bus_deadline) - MonotonicUs();
      timeout_ms = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
    }
    if (!listening) {
      const int64_t left = deadline - MonotonicUs();
      if (left <= 0) break;
      const int until = static_cast<int>((left + 999) / 1000);
      timeout_ms = timeout_ms < 0 ? until : std::min(timeout_ms, until);
    }
    pollfd fds[2] = {{Sd().sd_bus_get_fd(bus), static_cast<short>(Sd().sd_bus_get_events(bus)), 0},
                     {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0) break;
  }
  if (!listening) settle(State::kGivenUp);
  // Closed without flushing: a bus that does not read never holds the thread.
  if (bus != nullptr) Sd().sd_bus_close_unref(bus);
}

}  // namespace pelkan::platform
