#include "cli/signal_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

#include "app/loop_dispatcher.h"

namespace pelkan::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
// Write end of the pipe that tells the signal watcher about a signal; -1 before the first capture.
// The pipe stays open for the life of the process, so a late signal never writes to a reused fd.
int g_signal_fd = -1;
int g_read_fd = -1;

void OnSignal(int) {
  g_interrupted = 1;
  const int saved = errno;
  const char byte = 1;
  if (g_signal_fd >= 0) (void)!::write(g_signal_fd, &byte, 1);
  errno = saved;
}

void Drain(int fd) {
  char bytes[64];
  while (::read(fd, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

SignalGuard::SignalGuard(LoopDispatcher& loop) : loop_(loop) {
  g_interrupted = 0;
  if (g_signal_fd < 0) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      g_read_fd = fds[0];
      g_signal_fd = fds[1];
    }
  }
  if (g_read_fd >= 0) {
    Drain(g_read_fd);
    try {
      watcher_ = std::thread([this] { Watch(g_read_fd); });
    } catch (const std::system_error&) {
      // Without the watcher Ctrl-C is seen at the next status line.
    }
  }
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
  // A closing terminal hangs up: the capture ends as cleanly as with Ctrl-C.
  sigaction(SIGHUP, &sa, &old_hup_);
}

SignalGuard::~SignalGuard() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  sigaction(SIGHUP, &old_hup_, nullptr);
  if (watcher_.joinable()) {
    quit_.store(true);
    const char byte = 0;
    (void)!::write(g_signal_fd, &byte, 1);
    watcher_.join();
  }
}

bool SignalGuard::Interrupted() { return g_interrupted != 0; }

void SignalGuard::Watch(int fd) {
  while (!quit_.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
    Drain(fd);
    if (!quit_.load()) loop_.Wake();  // the handler has set g_interrupted
  }
}

}  // namespace pelkan::cli
