#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

namespace pelkan {
class LoopDispatcher;
}

namespace pelkan::cli {

// Installs the Ctrl-C / termination / hang-up handlers for a capture's lifetime. A watcher thread,
// asleep in poll until the handler writes to its pipe, wakes the main loop, so that the loop need
// not poll the flag between its status lines. One at a time; main thread.
class SignalGuard {
 public:
  explicit SignalGuard(LoopDispatcher& loop);
  ~SignalGuard();
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

  // Whether one of the signals has come since the guard was made.
  static bool Interrupted();

 private:
  void Watch(int fd);

  LoopDispatcher& loop_;
  std::atomic<bool> quit_{false};
  std::thread watcher_;
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
  struct sigaction old_hup_ {};
};

}  // namespace pelkan::cli
