#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pelkan::platform {

// A signalled/unsignalled flag that threads can wait on, with manual or automatic reset.
// A manual-reset event stays signalled until Reset; an auto-reset event releases one waiter and
// returns to unsignalled. All operations are safe from any thread.
class Event {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  explicit Event(bool manual_reset, bool initially_set = false)
      : manual_reset_(manual_reset), set_(initially_set) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until signalled or `timeout_ms` passed (kInfinite waits for ever). Returns true when signalled.
  bool Wait(uint32_t timeout_ms = kInfinite);
  // True when signalled now (an auto-reset event is not consumed by this look).
  bool IsSet() const;

 private:
  const bool manual_reset_;
  bool set_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
};

}  // namespace pelkan::platform
