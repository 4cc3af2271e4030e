#include "hooks/wake_alarm_keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

extern char** environ;

namespace pelkan::hooks {
namespace {

constexpr char kSystemAlarm[] = "/sys/class/rtc/rtc0/wakealarm";
constexpr int64_t kMjdOfEpoch = 40587;
constexpr int64_t kJapanOffset = 9 * 3600;

// Runs `argv`, its standard output and error read whole; the exit status (-1 when it did not start).
int RunCaptured(const std::vector<std::string>& argv, std::string* output) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    *output = std::string("cannot run ") + argv[0] + ": " + std::strerror(spawned);
    return -1;
  }
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    output->append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

int64_t EpochOfJapanInstant(int64_t instant) {
  return instant - kMjdOfEpoch * 86400 - kJapanOffset;
}

MjdTime JapanTimeOfEpoch(int64_t epoch) {
  MjdTime t{static_cast<uint32_t>(kMjdOfEpoch), static_cast<uint32_t>(kJapanOffset)};
  AddSeconds(&t, epoch);
  return t;
}

std::optional<int64_t> NextPlannedStart(const RecordingScheduler::PlannedList& planned, int64_t now) {
  std::optional<int64_t> next;
  for (size_t i = 0; i < planned.items.size() && i < planned.lines.size(); ++i) {
    const PlanLine& line = planned.lines[i];
    if (ItemState(planned.items[i]) != ST_WAITING) continue;
    if (line.verdict != PlanVerdict::kWhole && line.verdict != PlanVerdict::kPart) continue;
    const int64_t start = EpochOfJapanInstant(line.start);
    if (start > now && (!next || start < *next)) next = start;
  }
  return next;
}

std::string WakeAlarmKeeper::WakeHelperPath() {
#ifdef PELKAN_WAKE_HELPER_PATH
  return PELKAN_WAKE_HELPER_PATH;
#else
  return "/usr/libexec/pelkan/pelkan-wake-helper";
#endif
}

WakeAlarmKeeper::Access WakeAlarmKeeper::SystemAccess(std::string helper) {
  Access access;
  access.read = [](std::optional<int64_t>* held, std::string* error) {
    return ReadWakeAlarm(kSystemAlarm, held, error);
  };
  access.write = [helper](std::optional<int64_t> at, std::optional<int64_t>* held, std::string* error) {
    std::vector<std::string> argv{"pkexec", helper};
    if (at) {
      argv.insert(argv.end(), {"set", std::to_string(*at)});
    } else {
      argv.push_back("clear");
    }
    std::string output;
    const int status = RunCaptured(argv, &output);
    const size_t said = output.rfind("wakealarm ");
    if (status == 0 && said != std::string::npos) {
      *held = ParseWakeAlarm(output.substr(said + 10));
      return true;
    }
    // pkexec: 126 refused (no active session at this seat, or the user dismissed it), 127 no agent.
    *error = status == 126 || status == 127 ? "not allowed (pkexec " + std::to_string(status) + "): " + OneLine(output)
                                            : OneLine(output);
    return false;
  };
  return access;
}

WakeAlarmKeeper::WakeAlarmKeeper(LogFn log, Access access, std::function<int64_t()> now)
    : log_(std::move(log)), access_(std::move(access)), now_(std::move(now)) {
  if (!now_) now_ = [] { return static_cast<int64_t>(::time(nullptr)); };
  worker_ = std::thread([this] { Serve(); });
}

WakeAlarmKeeper::~WakeAlarmKeeper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void WakeAlarmKeeper::Follow(std::optional<int64_t> next_start, int64_t lead) {
  {
    std::lock_guard lock(mutex_);
    const auto request = std::make_pair(next_start, lead);
    if (last_request_ == request) return;
    last_request_ = request;
    request_ = request;
    requested_ = true;
  }
  changed_.notify_all();
}

std::optional<int64_t> WakeAlarmKeeper::Held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void WakeAlarmKeeper::WaitIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || (!requested_ && !busy_); });
}

void WakeAlarmKeeper::Warn(const std::string& text) {
  if (!warned_) log_(text);
  warned_ = true;
}

void WakeAlarmKeeper::Apply(std::optional<int64_t> next_start, int64_t lead) {
  WakeAlarmState state;
  state.now = now_();
  state.next_start = next_start;
  state.lead = lead;
  state.ours = ours_;
  std::string error;
  if (!access_.read(&state.clock, &error)) {
    Warn("the wake alarm cannot be read: " + error);
    return;
  }
  const WakeAlarmChoice choice = ChooseWakeAlarm(state);
  if (!choice.note.empty() && choice.note != last_note_) log_("wake alarm: " + choice.note);
  last_note_ = choice.note;
  std::optional<int64_t> held = state.clock;
  if (choice.action != WakeAlarmChoice::Action::kNone) {
    const std::optional<int64_t> at =
        choice.action == WakeAlarmChoice::Action::kSet ? std::optional<int64_t>(choice.at) : std::nullopt;
    if (!access_.write(at, &held, &error)) {
      Warn("the wake alarm cannot be set: " + error);
      return;
    }
    warned_ = false;
    ours_ = at;
  }
  std::lock_guard lock(mutex_);
  held_ = held;
}

void WakeAlarmKeeper::Serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || requested_; });
    if (stopping_) break;
    const auto request = request_;
    requested_ = false;
    busy_ = true;
    lock.unlock();
    Apply(request.first, request.second);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace pelkan::hooks
