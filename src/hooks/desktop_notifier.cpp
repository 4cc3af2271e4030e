#include "hooks/desktop_notifier.h"

#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/sd_bus_library.h"
#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

extern char** environ;

namespace pelkan::hooks {
namespace {

// The sd-bus functions; every call below runs once the entry point has loaded them.
const platform::SdBusLibrary& Sd() {
  return *platform::SdBus();
}

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kOpenAction = "default";
constexpr const char* kOpenLabel = "レポートを開く";

// "12/08(火) 20:57" of an ISO 8601 text as the outcome carries it ("" when it has none).
std::string ShortIsoTime(const std::string& iso) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d", &y, &mo, &d, &h, &mi) != 5) return {};
  return ShortJapanTime({MjdFromDate(y, mo, d), static_cast<uint32_t>(h * 3600 + mi * 60)});
}

// The time a notification names: the planned span, else the recorded one.
std::string SpanText(const RecordingOutcome& o) {
  const std::string& start = o.planned_start.empty() ? o.actual_start : o.planned_start;
  const std::string& end = o.planned_start.empty() ? o.actual_end : o.planned_end;
  std::string text = ShortIsoTime(start);
  const std::string until = ShortIsoTime(end);
  if (!text.empty() && until.size() > 5) text += "–" + until.substr(until.size() - 5);
  return text;
}

int OnBusSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  static_cast<DesktopNotifier*>(userdata)->OnSignal(m);
  return 0;
}

void Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0) {
    // xdg-open hands the file over and returns; waiting keeps no zombie.
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace

std::string ShortJapanTime(MjdTime t) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  MjdToDate(t.date, &y, &mo, &d);
  SecondsToHms(t.seconds, &h, &mi, &s);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d(%s) %02d:%02d", mo, d,
                platform::SjisToUtf8(WeekdayName(t.date)).c_str(), h, mi);
  return text;
}

std::optional<Notification> NotificationOf(const RecordingOutcome& o, bool each_finished) {
  Notification n;
  n.report = o.report;
  if (o.result == "complete") {
    if (!each_finished) return std::nullopt;
    n.summary = "録画が終わりました";
  } else if (o.result == "partial") {
    n.summary = "録画を途中で終えました";
  } else if (o.result == "recovered") {
    n.summary = "録画が途切れ、復帰しました";
  } else if (o.result == "missed") {
    n.summary = "予約を録画できませんでした";
    n.critical = true;
  } else if (o.reason.find("tuner") != std::string::npos) {
    n.summary = "チューナーが使えなくなり、録画が止まりました";
    n.critical = true;
  } else {
    n.summary = "録画に失敗しました";
    n.critical = true;
  }
  for (const std::string& line : {o.title.empty() ? o.file : o.title, SpanText(o), o.reason}) {
    if (line.empty()) continue;
    if (!n.body.empty()) n.body += "\n";
    n.body += line;
  }
  return n;
}

Notification LowDiskNotification(const std::string& title, MjdTime start, uint64_t needed, uint64_t free_bytes) {
  Notification n;
  n.summary = "次の予約には空き容量が足りません";
  n.critical = true;
  char sizes[128];
  std::snprintf(sizes, sizeof sizes, "必要 %.1f GB、空き %.1f GB", static_cast<double>(needed) / 1e9,
                static_cast<double>(free_bytes) / 1e9);
  n.body = title + "\n" + ShortJapanTime(start) + "\n" + sizes;
  return n;
}

DesktopNotifier::DesktopNotifier(LogFn log, OpenFn open) : log_(std::move(log)), open_(std::move(open)) {
  if (!open_) open_ = [](const std::string& path) { Spawn({"xdg-open", path}); };
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  worker_ = std::thread([this] { Serve(); });
}

DesktopNotifier::~DesktopNotifier() {
  queue_.Stop();
  eventfd_write(wake_fd_, 1);
  worker_.join();
  Disconnect();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void DesktopNotifier::Notify(Notification n) {
  if (queue_.Push(std::move(n))) eventfd_write(wake_fd_, 1);
}

std::vector<uint32_t> DesktopNotifier::WaitSent() {
  queue_.WaitIdle();
  std::lock_guard lock(mutex_);
  return sent_;
}

bool DesktopNotifier::Connect() {
  if (bus_ != nullptr) return true;
  std::string missing;
  int r = platform::SdBus(&missing) != nullptr ? Sd().sd_bus_open_user(&bus_) : -ENOSYS;
  if (r < 0) {
    bus_ = nullptr;
    if (missing.empty()) missing = std::strerror(-r);
    if (!warned_) log_("no desktop notifications: no session bus (" + missing + ")");
    warned_ = true;
    return false;
  }
  // The service says which action was invoked; the report of that notification is opened.
  r = Sd().sd_bus_match_signal(bus_, &match_, kService, kPath, kInterface, "ActionInvoked", OnBusSignal,
                               this);
  if (r >= 0)
    Sd().sd_bus_match_signal(bus_, nullptr, kService, kPath, kInterface, "NotificationClosed", OnBusSignal,
                             this);
  return true;
}

void DesktopNotifier::Disconnect() {
  if (match_ != nullptr) match_ = Sd().sd_bus_slot_unref(match_);
  if (bus_ != nullptr) bus_ = Sd().sd_bus_flush_close_unref(bus_);
  reports_.clear();
}

void DesktopNotifier::OnSignal(sd_bus_message* m) {
  DesktopNotifier* self = this;
  uint32_t id = 0;
  const char* action = nullptr;
  if (Sd().sd_bus_message_is_signal(m, kInterface, "ActionInvoked")) {
    if (Sd().sd_bus_message_read(m, "us", &id, &action) < 0 || action == nullptr) return;
    const auto found = self->reports_.find(id);
    if (found != self->reports_.end() && std::strcmp(action, kOpenAction) == 0) self->open_(found->second);
  } else if (Sd().sd_bus_message_read(m, "u", &id) >= 0) {
    self->reports_.erase(id);
  }
}

bool DesktopNotifier::Send(const Notification& n) {
  if (!Connect()) return false;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = Sd().sd_bus_message_new_method_call(bus_, &call, kService, kPath, kInterface, "Notify");
  if (r >= 0)
    r = Sd().sd_bus_message_append(call, "susss", "Pelkan", 0u, "pelkan", n.summary.c_str(), n.body.c_str());
  if (r >= 0) {
    if (n.report.empty()) {
      r = Sd().sd_bus_message_append(call, "as", 0);
    } else {
      r = Sd().sd_bus_message_append(call, "as", 2, kOpenAction, kOpenLabel);
    }
  }
  if (r >= 0) {
    r = Sd().sd_bus_message_append(call, "a{sv}", 2, "urgency", "y", static_cast<uint8_t>(n.critical ? 2 : 1),
                                   "desktop-entry", "s", "pelkan");
  }
  if (r >= 0) r = Sd().sd_bus_message_append(call, "i", -1);
  if (r >= 0) r = Sd().sd_bus_call(bus_, call, uint64_t{kCallTimeoutMs} * 1000, &error, &reply);
  uint32_t id = 0;
  if (r >= 0) r = Sd().sd_bus_message_read(reply, "u", &id);
  if (r < 0) {
    if (!warned_) {
      log_(std::string("no desktop notifications: ") +
           (error.message != nullptr ? error.message : std::strerror(-r)));
    }
    warned_ = true;
    Sd().sd_bus_error_free(&error);
    Sd().sd_bus_message_unref(call);
    Sd().sd_bus_message_unref(reply);
    // A bus that went away is opened again for the next one.
    if (r == -ECONNRESET || r == -ENOTCONN) Disconnect();
    return false;
  }
  warned_ = false;
  if (!n.report.empty()) reports_[id] = n.report;
  {
    std::lock_guard lock(mutex_);
    sent_.push_back(id);
  }
  Sd().sd_bus_error_free(&error);
  Sd().sd_bus_message_unref(call);
  Sd().sd_bus_message_unref(reply);
  return true;
}

void DesktopNotifier::Serve() {
  while (!queue_.Stopped()) {
    if (const std::optional<Notification> next = queue_.TryTake()) {
      Send(*next);
      queue_.Done();
      continue;
    }
    // Signals (the actions) are handled while nothing is to be sent.
    while (bus_ != nullptr) {
      const int r = Sd().sd_bus_process(bus_, nullptr);
      if (r < 0) Disconnect();
      if (r <= 0) break;
    }
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {bus_ != nullptr ? Sd().sd_bus_get_fd(bus_) : -1, POLLIN, 0}};
    if (bus_ != nullptr) fds[1].events = static_cast<short>(Sd().sd_bus_get_events(bus_));
    ::poll(fds, 2, -1);
    eventfd_t ignored = 0;
    if (fds[0].revents & POLLIN) eventfd_read(wake_fd_, &ignored);
  }
}

}  // namespace pelkan::hooks
