#include "hooks/wake_alarm.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pelkan::hooks {
namespace {

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int write_error = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    *error = path + ": " + std::strerror(n < 0 ? write_error : EIO);
    return false;
  }
  return true;
}

}  // namespace

WakeAlarmChoice ChooseWakeAlarm(const WakeAlarmState& s) {
  using Action = WakeAlarmChoice::Action;
  std::optional<int64_t> wanted;
  std::string why_none;
  if (s.next_start) {
    const int64_t at = *s.next_start - s.lead;
    if (at - s.now > kWakeAlarmMaxAhead) {
      why_none = "the next reservation is more than 30 days ahead";
    } else if (at > s.now) {
      wanted = at;
    }
  }
  // The wanted time held already is ours, whoever set it (this program before a restart).
  if (wanted && s.clock && *s.clock == *wanted) return {};
  const bool clock_ahead = s.clock && *s.clock > s.now;
  const bool someone_elses = clock_ahead && (!s.ours || *s.ours != *s.clock);
  WakeAlarmChoice choice;
  if (someone_elses && (!wanted || *s.clock <= *wanted)) {
    choice.note = "a wake alarm set by someone else, at or before ours, is kept";
    return choice;
  }
  if (wanted) {
    choice.action = Action::kSet;
    choice.at = *wanted;
    if (someone_elses) choice.note = "a later wake alarm set by someone else is replaced";
    return choice;
  }
  if (clock_ahead) {
    choice.action = Action::kClear;
    choice.note = why_none;
  }
  return choice;
}

std::optional<int64_t> ParseWakeAlarm(const std::string& text) {
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || v <= 0) return std::nullopt;
  return v;
}

bool ReadWakeAlarm(const std::string& path, std::optional<int64_t>* held, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  char buf[64] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  const int read_error = errno;
  ::close(fd);
  if (n < 0) {
    *error = path + ": " + std::strerror(read_error);
    return false;
  }
  *held = ParseWakeAlarm(std::string(buf, static_cast<size_t>(n)));
  return true;
}

bool WriteWakeAlarm(const std::string& path, std::optional<int64_t> at, int64_t now, std::optional<int64_t>* held,
                    std::string* error) {
  if (at && *at <= now) {
    *error = "the time has passed";
    return false;
  }
  if (at && *at - now > kWakeAlarmMaxAhead) {
    *error = "the time is more than 30 days ahead";
    return false;
  }
  // The clock takes no new time while one is set: 0 clears it first.
  if (!WriteText(path, "0", error)) return false;
  if (at && !WriteText(path, std::to_string(*at), error)) return false;
  return ReadWakeAlarm(path, held, error);
}

std::string WakeAlarmUnavailable(const std::string& alarm_path, const std::string& search_path) {
  if (::access(alarm_path.c_str(), F_OK) != 0) return "この機器には自動起動用の時計 (RTC) がありません";
  for (size_t from = 0; from <= search_path.size();) {
    size_t end = search_path.find(':', from);
    if (end == std::string::npos) end = search_path.size();
    const std::string folder = end > from ? search_path.substr(from, end - from) : ".";
    if (::access((folder + "/pkexec").c_str(), X_OK) == 0) return std::string();
    from = end + 1;
  }
  return "pkexec (polkit) がありません";
}

}  // namespace pelkan::hooks
