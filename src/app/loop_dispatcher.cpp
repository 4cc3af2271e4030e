#include "app/loop_dispatcher.h"

#include <algorithm>
#include <chrono>

namespace pelkan {

void LoopDispatcher::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void LoopDispatcher::PostAfter(uint32_t delay_ms, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delayed_.emplace(Clock::now() + std::chrono::milliseconds(delay_ms), std::move(task));
  }
  // A waiting loop takes the new time into its wait.
  cv_.notify_one();
}

void LoopDispatcher::QueueDue(Clock::time_point now) {
  auto it = delayed_.begin();
  for (; it != delayed_.end() && it->first <= now; ++it) tasks_.push_back(std::move(it->second));
  delayed_.erase(delayed_.begin(), it);
}

bool LoopDispatcher::Wait(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
  for (;;) {
    QueueDue(Clock::now());
    if (!tasks_.empty() || wake_) return true;
    const Clock::time_point now = Clock::now();
    if (now >= until) return false;
    // Until the first delayed task is due, at the latest.
    const Clock::time_point end = delayed_.empty() ? until : std::min(until, delayed_.begin()->first);
    cv_.wait_until(lock, end);
  }
}

int LoopDispatcher::RunFor(uint32_t timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!Wait(lock, until)) return ran;
      if (tasks_.empty()) {
        wake_ = false;
        return ran;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
}

int LoopDispatcher::RunPending() {
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      QueueDue(Clock::now());
      if (tasks_.empty()) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
}

int LoopDispatcher::RunOnce(uint32_t timeout_ms) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    Wait(lock, Clock::now() + std::chrono::milliseconds(timeout_ms));
    wake_ = false;
  }
  return RunPending();
}

void LoopDispatcher::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = true;
  }
  cv_.notify_one();
}

void LoopDispatcher::Clear() {
  std::deque<std::function<void()>> dropped;
  std::multimap<Clock::time_point, std::function<void()>> dropped_later;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(tasks_);
  dropped_later.swap(delayed_);
}

size_t LoopDispatcher::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

}  // namespace pelkan
