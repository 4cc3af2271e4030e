#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace pelkan::hooks {

// The jobs one worker thread takes in the order they were queued: any thread queues, the worker
// takes one at a time and says when it is done with it, anyone may wait until nothing waits or
// runs. Stop ends it: the worker's next Take gives nothing, and what still waited is handed back.
// The worker thread itself is its owner's (it may wait on more than this queue).
template <typename Job>
class WorkQueue {
 public:
  // Queues `job`; false (dropped) once stopped. Any thread.
  bool Push(Job job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
    return true;
  }

  // The next job, waiting for one; nullopt once stopped. The worker thread.
  std::optional<Job> Take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    return TakeLocked();
  }
  // The next job if one waits; nullopt when none does or once stopped. The worker thread.
  std::optional<Job> TryTake() {
    std::lock_guard lock(mutex_);
    return TakeLocked();
  }
  // The worker is done with the job it took last. The worker thread.
  void Done() {
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    changed_.notify_all();
  }

  // Waits until nothing waits or runs (or the queue is stopped); false when `give_up`, asked every
  // `every`, said so first. Any thread but the worker's.
  bool WaitIdle(const std::function<bool()>& give_up = nullptr,
                std::chrono::milliseconds every = std::chrono::milliseconds(200)) {
    std::unique_lock lock(mutex_);
    const auto idle = [this] { return stopping_ || (jobs_.empty() && !busy_); };
    if (!give_up) {
      changed_.wait(lock, idle);
      return true;
    }
    while (!idle()) {
      if (give_up()) return false;
      changed_.wait_for(lock, every);
    }
    return true;
  }

  // Stops the queue; returns the jobs that still waited (not run). Any thread.
  std::deque<Job> Stop() {
    std::deque<Job> left;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      left.swap(jobs_);
    }
    changed_.notify_all();
    return left;
  }
  bool Stopped() const {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

 private:
  std::optional<Job> TakeLocked() {
    if (stopping_ || jobs_.empty()) return std::nullopt;
    std::optional<Job> job(std::move(jobs_.front()));
    jobs_.pop_front();
    busy_ = true;
    return job;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
};

}  // namespace pelkan::hooks
