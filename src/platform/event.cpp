#include "platform/event.h"

#include <chrono>

namespace pelkan::platform {

void Event::Set() {
  // Notify while holding the lock: a waiter that sees the flag may destroy the event as soon as it
  // returns, so nothing of this object may be touched after the unlock.
  std::lock_guard lock(mutex_);
  set_ = true;
  if (manual_reset_) cv_.notify_all();
  else cv_.notify_one();
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return set_; };
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, ready);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
    return false;
  }
  if (!manual_reset_) set_ = false;
  return true;
}

bool Event::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

}  // namespace pelkan::platform
