#pragma once

#include <cstdint>
#include <functional>

namespace pelkan {

// Hands work from any thread to the thread that owns the user-visible state (the UI thread of the
// desktop program, the main loop of the command-line tool). The Qt front-end implements it with
// queued calls, the headless tool with its own loop, tests with a fake that records what was posted.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;

  // Queues `task` to run later on the owning thread, in posting order. Safe from any thread; never
  // runs the task inside the call. A task posted after the owner stopped may be dropped.
  virtual void Post(std::function<void()> task) = 0;
  // Queues `task` to run on the owning thread once `delay_ms` have passed (not sooner), as Post
  // does then. Safe from any thread. Dropped, like a posted task, once the owner stopped.
  virtual void PostAfter(uint32_t delay_ms, std::function<void()> task) = 0;
};

}  // namespace pelkan
