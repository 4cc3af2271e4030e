#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/dispatcher.h"

namespace pelkan {

// The dispatcher of a plain main loop (the command-line tool): Post queues from any thread, the
// loop's thread runs the tasks in RunFor. A task posted with a delay is queued when its time has
// come, and a wait ends then as it ends for a posted task.
class LoopDispatcher : public Dispatcher {
 public:
  void Post(std::function<void()> task) override;
  void PostAfter(uint32_t delay_ms, std::function<void()> task) override;
  // Runs queued tasks, waiting for more, until `timeout_ms` have passed or Wake is called.
  // Returns the number of tasks run. Loop thread only.
  int RunFor(uint32_t timeout_ms);
  // Runs every task queued now (and those they queue, and the delayed ones whose time has come),
  // without waiting. Loop thread only.
  int RunPending();
  // Waits until a task is queued (or a delayed one is due), Wake is called or `timeout_ms` have
  // passed, then runs the tasks as RunPending does. Returns the number of tasks run. Loop thread
  // only.
  int RunOnce(uint32_t timeout_ms);
  // Makes a waiting RunFor or RunOnce return early (e.g. from a signal-watching thread). Any thread.
  void Wake();
  // Drops every queued task, delayed ones included, without running it.
  void Clear();
  // Number of tasks queued now (delayed ones not yet due not counted). Any thread.
  size_t Pending();

 private:
  using Clock = std::chrono::steady_clock;
  // Moves the delayed tasks due at `now` to the queue, in the order of their times. Under mutex_.
  void QueueDue(Clock::time_point now);
  // Waits under `lock` until a task is queued, a wake or `until`; false at `until`.
  bool Wait(std::unique_lock<std::mutex>& lock, Clock::time_point until);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::multimap<Clock::time_point, std::function<void()>> delayed_;
  bool wake_ = false;
};

}  // namespace pelkan
