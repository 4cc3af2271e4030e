#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/dispatcher.h"

namespace pelkan {

// The dispatcher of a plain main loop (the command-line tool): Post queues from any thread, the
// loop's thread runs the tasks in RunFor.
class LoopDispatcher : public Dispatcher {
 public:
  void Post(std::function<void()> task) override;
  // Runs queued tasks, waiting for more, until `timeout_ms` have passed or Wake is called.
  // Returns the number of tasks run. Loop thread only.
  int RunFor(uint32_t timeout_ms);
  // Runs every task queued now (and those they queue), without waiting. Loop thread only.
  int RunPending();
  // Waits until a task is queued, Wake is called or `timeout_ms` have passed, then runs the tasks
  // as RunPending does. Returns the number of tasks run. Loop thread only.
  int RunOnce(uint32_t timeout_ms);
  // Makes a waiting RunFor or RunOnce return early (e.g. from a signal-watching thread). Any thread.
  void Wake();
  // Drops every queued task without running it.
  void Clear();
  // Number of tasks queued now. Any thread.
  size_t Pending();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool wake_ = false;
};

}  // namespace pelkan
