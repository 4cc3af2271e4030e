#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"

namespace pelkan::usb {

// Result codes of driver requests, with the values the request layer has always used.
inline constexpr uint32_t kIoSuccess = 0;
inline constexpr uint32_t kIoPending = 997;          // started; completes through the overlapped record
inline constexpr uint32_t kIoIncomplete = 996;       // overlapped result asked for before completion
inline constexpr uint32_t kIoInvalidHandle = 6;
inline constexpr uint32_t kIoInvalidParameter = 87;
inline constexpr uint32_t kIoNotSupported = 50;
inline constexpr uint32_t kIoCancelled = 995;        // aborted or cancelled
inline constexpr uint32_t kIoDeviceGone = 1167;      // the device is no longer attached
inline constexpr uint32_t kIoFailed = 31;            // the device reported an error
inline constexpr uint32_t kIoTimeout = 1460;
inline constexpr uint32_t kIoAccessDenied = 5;       // the device may not be opened or claimed

// The context of one asynchronous request: the completion event (auto-reset) and the result the
// driver stores before signalling it. The caller owns the record; it must outlive the request.
// Reset before each use; the driver calls Complete exactly once per started request, from any thread.
struct Overlapped {
  platform::Event event{false};
  // Result of the begin call for this request (kIoSuccess = completed at once, kIoPending, or an
  // error: then nothing is in flight). Kept per request because begins and waits run on different
  // threads.
  uint32_t begin_error = 0;
  // Opaque value the driver may use to find its own state for this request.
  void* driver_private = nullptr;

  std::atomic<bool> completed{false};
  std::atomic<bool> ok{false};
  std::atomic<uint32_t> bytes{0};
  std::atomic<uint32_t> error{0};

  // Clears the result and the event.
  void Reset() {
    event.Reset();
    begin_error = 0;
    driver_private = nullptr;
    completed.store(false, std::memory_order_relaxed);
    ok.store(false, std::memory_order_relaxed);
    bytes.store(0, std::memory_order_relaxed);
    error.store(0, std::memory_order_relaxed);
  }

  // Stores the result and signals the event. Called by the driver.
  void Complete(bool success, uint32_t byte_count, uint32_t error_code) {
    ok.store(success, std::memory_order_relaxed);
    bytes.store(byte_count, std::memory_order_relaxed);
    error.store(error_code, std::memory_order_relaxed);
    completed.store(true, std::memory_order_release);
    event.Set();
  }
};

// The overlapped result without waiting: false with kIoIncomplete while the request runs.
// On return `bytes` holds the driver's byte count.
inline bool GetOverlappedResult(const Overlapped& ov, uint32_t* bytes, uint32_t* error) {
  if (!ov.completed.load(std::memory_order_acquire)) {
    *bytes = 0;
    *error = kIoIncomplete;
    return false;
  }
  *bytes = ov.bytes.load(std::memory_order_relaxed);
  *error = ov.error.load(std::memory_order_relaxed);
  return ov.ok.load(std::memory_order_relaxed);
}

}  // namespace pelkan::usb
