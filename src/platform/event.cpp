#include "platform/event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace pelkan::platform {

namespace {

// Sleeps while `*word` holds `expected`, until woken or the absolute CLOCK_MONOTONIC `deadline`
// (none: no limit). Returns for a wake, a change of the word, a signal or the deadline alike.
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
          deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Wakes up to `count` threads asleep on `word`. Only the word's address is handed to the kernel;
// the memory is not touched, so the event may already be gone (a stray wake is harmless to any
// futex user).
void FutexWake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr,
          nullptr, 0);
}

timespec DeadlineAfter(uint32_t ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

bool Passed(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

void Event::Set() {
  // Everything this needs is read before the flag goes up: a waiter that sees it may destroy the
  // event as soon as it returns, and only the futex call (an address) follows.
  const int wake = manual_reset_ ? INT_MAX : 1;
  std::atomic<uint32_t>* word = &state_;
  const uint32_t old = word->fetch_or(kSignalled, std::memory_order_acq_rel);
  if ((old & kSignalled) == 0 && old >= kOneWaiter) FutexWake(word, wake);
}

void Event::Reset() {
  state_.fetch_and(~kSignalled, std::memory_order_acq_rel);
}

bool Event::Wait(uint32_t timeout_ms) {
  const bool timed = timeout_ms != kInfinite;
  const timespec deadline = timed ? DeadlineAfter(timeout_ms) : timespec{};
  uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    if (s & kSignalled) {
      if (manual_reset_) return true;
      if (state_.compare_exchange_weak(s, s & ~kSignalled, std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return true;
      continue;
    }
    if (timeout_ms == 0 || (timed && Passed(deadline))) return false;
    if (!state_.compare_exchange_weak(s, s + kOneWaiter, std::memory_order_acq_rel,
                                      std::memory_order_acquire))
      continue;
    FutexWait(&state_, s + kOneWaiter, timed ? &deadline : nullptr);
    s = state_.fetch_sub(kOneWaiter, std::memory_order_acq_rel) - kOneWaiter;
  }
}

bool Event::IsSet() const {
  return (state_.load(std::memory_order_acquire) & kSignalled) != 0;
}

}  // namespace pelkan::platform
