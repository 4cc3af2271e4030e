#pragma once

#include <atomic>
#include <cstdint>

namespace pelkan::platform {

// A signalled/unsignalled flag that threads can wait on, with manual or automatic reset.
// A manual-reset event stays signalled until Reset; an auto-reset event releases one waiter and
// returns to unsignalled. All operations are safe from any thread, and a waiter that has seen the
// event signalled may destroy it at once (Set touches nothing of it after signalling).
class Event {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  explicit Event(bool manual_reset, bool initially_set = false)
      : manual_reset_(manual_reset), state_(initially_set ? kSignalled : 0) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until signalled or `timeout_ms` passed (kInfinite waits for ever). Returns true when signalled.
  bool Wait(uint32_t timeout_ms = kInfinite);
  // True when signalled now (an auto-reset event is not consumed by this look).
  bool IsSet() const;

 private:
  static constexpr uint32_t kSignalled = 1;
  static constexpr uint32_t kOneWaiter = 2;

  const bool manual_reset_;
  // Bit 0: signalled; the bits above count the threads asleep (or about to sleep) on this word.
  // Flag and count share one word so that Set decides with one atomic step whether to wake anyone.
  std::atomic<uint32_t> state_;
};

}  // namespace pelkan::platform
