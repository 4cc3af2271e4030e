#include "app/loop_dispatcher.h"

#include <chrono>

namespace pelkan {

void LoopDispatcher::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
}

int LoopDispatcher::RunFor(uint32_t timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_until(lock, until, [this] { return !tasks_.empty() || wake_; })) return ran;
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
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !tasks_.empty() || wake_; });
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
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(tasks_);
}

size_t LoopDispatcher::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

}  // namespace pelkan
