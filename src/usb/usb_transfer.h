#pragma once

#include <cstdint>
#include <vector>

#include "platform/event.h"

namespace pelkan::usb {

// How a request to a device, or one transfer, ended.
enum class UsbStatus : uint8_t {
  kOk,            // done; for a submit: started, the transfer completes later
  kCancelled,     // cancelled or aborted before it was complete
  kStall,         // the endpoint is halted, or the device refused a control request
  kTimeout,       // the device did not answer in time
  kError,         // any other failure on the bus (transaction error, overflow, ...)
  kDeviceGone,    // the device is no longer attached
  kAccessDenied,  // the device may not be opened or taken over (permissions)
  kBusy,          // another program holds the device
  kInvalid,       // the request does not fit the device (no such endpoint, bad length)
  kNotSupported,  // the backend does not offer this kind of transfer
};

// One data transfer: the caller's context for it, and how the backend answered. The caller owns
// the record and keeps it, and the data, alive until the transfer has completed; Reset it before
// each use. Begins may run on one thread while waits and finishes run on another.
class UsbTransfer {
 public:
  UsbTransfer() = default;
  UsbTransfer(const UsbTransfer&) = delete;
  UsbTransfer& operator=(const UsbTransfer&) = delete;

  // Clears the result and the completion. Not while a transfer is in flight.
  void Reset() {
    done_.Reset();
    submit_status_ = UsbStatus::kInvalid;
    status_ = UsbStatus::kInvalid;
    actual_ = 0;
  }

  // True once the transfer has completed, waiting at most `timeout_ms` (platform::Event::kInfinite
  // for no limit). A transfer that was never started never completes.
  bool Wait(uint32_t timeout_ms) { return done_.Wait(timeout_ms); }
  // True when the transfer has completed (without waiting).
  bool IsComplete() const { return done_.IsSet(); }

  // What Submit said: kOk when the transfer was started (it then completes exactly once).
  UsbStatus submit_status() const { return submit_status_; }
  bool started() const { return submit_status_ == UsbStatus::kOk; }
  // How the transfer ended and the bytes it carried (also when cancelled or failed). Read only once
  // IsComplete or Wait said so; for a transfer that was never started, the submit's status and 0.
  UsbStatus status() const { return status_; }
  uint32_t actual_length() const { return actual_; }

  // Called by the endpoint with the backend's answer to the submit.
  void SetSubmitStatus(UsbStatus s) {
    submit_status_ = s;
    if (s != UsbStatus::kOk) status_ = s;
  }
  // Called by the backend exactly once per started transfer, from any thread. The waiter may
  // destroy the record as soon as it sees the completion, so nothing touches it after the signal.
  void Complete(UsbStatus status, uint32_t actual) {
    status_ = status;
    actual_ = actual;
    done_.Set();
  }

  // The control endpoint's copy of the data stage; kept between uses so that its memory is
  // allocated once.
  std::vector<uint8_t> staging;

 private:
  platform::Event done_{true};
  UsbStatus submit_status_ = UsbStatus::kInvalid;
  UsbStatus status_ = UsbStatus::kInvalid;
  uint32_t actual_ = 0;
};

}  // namespace pelkan::usb
