#include "hooks/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace pelkan::hooks {
namespace {

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The program's environment without the names `extra` sets, then `extra`.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

HookRunner::HookRunner(LogFn log, uint32_t limit_ms) : log_(std::move(log)), limit_ms_(limit_ms) {
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  worker_ = std::thread([this] { Serve(); });
}

HookRunner::~HookRunner() {
  for (const Job& job : jobs_.Stop()) log_(job.label + ": not run, the program ends");
  if (stop_pipe_[1] >= 0) (void)!::write(stop_pipe_[1], "x", 1);
  worker_.join();
  for (const int fd : stop_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void HookRunner::SetLimitMs(uint32_t limit_ms) {
  std::lock_guard lock(mutex_);
  limit_ms_ = limit_ms;
}

void HookRunner::Run(std::vector<std::string> argv, std::vector<std::string> env, std::string label) {
  if (argv.empty()) return;
  jobs_.Push({std::move(argv), std::move(env), std::move(label)});
}

std::optional<int> HookRunner::WaitIdle(const std::function<bool()>& give_up) {
  if (!jobs_.WaitIdle(give_up)) return std::nullopt;
  std::lock_guard lock(mutex_);
  return last_status_;
}

void HookRunner::Serve() {
  // The command gets default signal handling whatever the program blocks (the command line's
  // signal guard blocks SIGINT and SIGTERM in its threads).
  while (const std::optional<Job> job = jobs_.Take()) {
    const int status = RunOne(*job);
    {
      std::lock_guard lock(mutex_);
      last_status_ = status;
    }
    jobs_.Done();
  }
}

int HookRunner::RunOne(const Job& job) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    log_(job.label + ": could not start: " + std::strerror(errno));
    return 127;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<std::string> args = job.argv;
  std::vector<std::string> env = MergedEnvironment(job.env);
  std::vector<char*> argp = Pointers(args), envp = Pointers(env);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argp[0], &actions, &attr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    log_(job.label + ": could not start " + job.argv[0] + ": " + std::strerror(spawned));
    return 127;
  }
  uint32_t limit_ms = 0;
  {
    std::lock_guard lock(mutex_);
    limit_ms = limit_ms_;
  }
  log_(job.label + ": started " + job.argv[0] + " (pid " + std::to_string(pid) + ")");
  const int64_t deadline = NowMs() + limit_ms;
  int64_t kill_at = 0;  // set once SIGTERM went out
  bool open = true;
  // Each logged line costs what reaches the log: the log's stamp, the label, the line and its
  // newline. The notice that the rest is dropped is kept room for.
  const std::string notice = job.label + ": (further output not logged)";
  const size_t prefix = kLogStampBytes + job.label.size() + 2;
  const size_t budget = kMaxLoggedBytes - std::min(kMaxLoggedBytes, kLogStampBytes + notice.size() + 1);
  size_t logged = 0;
  bool full = false;
  std::string partial;
  const auto emit = [&](std::string line) {
    if (full) return;
    if (logged + prefix + line.size() + 1 > budget) {
      // What still fits of the line (whole characters), then the notice.
      if (logged + prefix + 1 < budget) {
        size_t keep = budget - logged - prefix - 1;
        while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
        line.resize(keep);
        if (!line.empty()) log_(job.label + ": " + line);
      }
      full = true;
      log_(notice);
      return;
    }
    logged += prefix + line.size() + 1;
    log_(job.label + ": " + line);
  };
  int status = 0;
  std::string stopped_why;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    const int64_t now = NowMs();
    if (jobs_.Stopped()) {
      // Not stopped: a script that moves or encodes the recording goes on after this program.
      ::close(out[0]);
      log_(job.label + ": left running (pid " + std::to_string(pid) + ") as the program ends");
      return -1;
    }
    if (kill_at == 0 && now >= deadline) {
      stopped_why = "stopped: over the time limit of " + (limit_ms % 60000 == 0
                                                                ? std::to_string(limit_ms / 60000) + " min"
                                                                : std::to_string(limit_ms) + " ms");
      ::kill(-pid, SIGTERM);
      kill_at = now + kGraceMs;
    } else if (kill_at != 0 && now >= kill_at) {
      ::kill(-pid, SIGKILL);
      kill_at = INT64_MAX;
    }
    pollfd fds[2] = {{open ? out[0] : -1, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    // A closed output leaves only the process to watch: look again every 50 ms.
    int64_t wait = open ? (kill_at != 0 ? kill_at - now : deadline - now) : 50;
    if (wait > 50 && !open) wait = 50;
    if (wait > 1000) wait = 1000;
    if (wait < 0) wait = 0;
    if (::poll(fds, 2, static_cast<int>(wait)) < 0 && errno != EINTR) wait = 0;
    if (open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) {
        if (n == 0 || errno != EINTR) open = false;
      } else {
        partial.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
          emit(partial.substr(0, nl));
          partial.erase(0, nl + 1);
        }
        if (partial.size() > 4096) {
          emit(partial);
          partial.clear();
        }
      }
    }
  }
  // What the command left in the pipe before it ended.
  if (open) {
    char buf[4096];
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) partial.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1)
      emit(partial.substr(start, nl - start));
    partial.erase(0, start);
  }
  if (!partial.empty()) emit(partial);
  ::close(out[0]);
  if (!stopped_why.empty()) log_(job.label + ": " + stopped_why);
  if (WIFEXITED(status)) {
    log_(job.label + ": exited with status " + std::to_string(WEXITSTATUS(status)));
    return WEXITSTATUS(status);
  }
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  log_(job.label + ": ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")");
  return 128 + sig;
}

}  // namespace pelkan::hooks
