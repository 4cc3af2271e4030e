#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/overlapped.h"

namespace pelkan::usb {

// Driver request codes (device type 0x22). The request-block layout is in request_block.h.
inline constexpr uint32_t kIoctlGetDriverVersion = 0x220000;
inline constexpr uint32_t kIoctlGetSecondVersion = 0x220004;
inline constexpr uint32_t kIoctlGetAltSetting = 0x220008;
inline constexpr uint32_t kIoctlGetDeviceValue = 0x220010;
inline constexpr uint32_t kIoctlControlTransfer = 0x220020;
inline constexpr uint32_t kIoctlBufferedTransfer = 0x220024;
inline constexpr uint32_t kIoctlSetTransferSize = 0x220038;
inline constexpr uint32_t kIoctlGetDeviceName = 0x22003C;
inline constexpr uint32_t kIoctlGetSecondName = 0x220040;
inline constexpr uint32_t kIoctlAbortPipe = 0x220044;
inline constexpr uint32_t kIoctlDirectTransfer = 0x22004B;
inline constexpr uint32_t kIoctlGetSpeedValue = 0x22004C;
// Clears a halted (stalled) endpoint: 1 byte, the endpoint address; nothing returned. Every transfer
// of the endpoint should have ended before, as the USB stack asks.
inline constexpr uint32_t kIoctlResetPipe = 0x22001C;

// Lowest driver version that offers direct transfers.
inline constexpr uint32_t kDirectTransferVersion = 0x01050500;

// What the driver says about one request.
struct IoResult {
  bool ok = false;        // completed successfully (at once)
  uint32_t bytes = 0;     // bytes returned, when completed at once
  uint32_t error = 0;     // kIoSuccess, kIoPending (overlapped request started) or an error
};

// One opened device. Requests follow the driver's contract:
//  - `in`/`out` are the request's input and output areas; for the buffered codes they may be the
//    same block. For kIoctlDirectTransfer the driver writes the status words into `in` and the data
//    into `out`.
//  - Without `ov` the request is synchronous. With `ov` a data or control request either completes
//    at once ({true, bytes, kIoSuccess}, and `ov` is completed too) or starts ({false, 0, kIoPending})
//    and later completes `ov`; `in`, `out` and `ov` must then live until `ov` is completed.
// Destroying the handle closes the device; every started request has completed by then.
// Requests and Cancel may come from several threads at once.
class UsbDriverHandle {
 public:
  virtual ~UsbDriverHandle() = default;
  virtual IoResult Request(uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out,
                           uint32_t out_size, Overlapped* ov) = 0;
  // Cancels one started request; it then completes (with an error unless it had already finished).
  // Returns false when the request is not (or no longer) in flight.
  virtual bool Cancel(Overlapped* ov) = 0;
  // Makes the device ready for streaming; a backend that must take the device over (claim its
  // interface) does it here and not before, and gives it back when the handle closes. False when
  // the device cannot stream: access refused, or held by another program.
  virtual bool PrepareForStreaming() { return true; }
};

// A set of devices of one interface class, and the way to open them.
class UsbDriver {
 public:
  virtual ~UsbDriver() = default;
  // Paths of the devices present now, in a stable order.
  virtual std::vector<std::string> EnumerateDevices() = 0;
  // Opens the device at `path`; null when it is absent or cannot be opened.
  virtual std::unique_ptr<UsbDriverHandle> Open(const std::string& path) = 0;
  // Calls `on_change` (on a driver thread) when a device arrives or leaves. The watch lasts as long
  // as the returned token; null when the driver cannot watch.
  virtual std::shared_ptr<void> WatchDevices(std::function<void()> on_change) {
    (void)on_change;
    return nullptr;
  }
};

// Devices of several drivers as one set: the first driver's devices first.
class CompositeUsbDriver : public UsbDriver {
 public:
  explicit CompositeUsbDriver(std::vector<std::shared_ptr<UsbDriver>> drivers)
      : drivers_(std::move(drivers)) {}
  std::vector<std::string> EnumerateDevices() override;
  std::unique_ptr<UsbDriverHandle> Open(const std::string& path) override;
  std::shared_ptr<void> WatchDevices(std::function<void()> on_change) override;

 private:
  std::vector<std::shared_ptr<UsbDriver>> drivers_;
};

struct DriverConfig;
// The device set of the program: libusb tuners (if enabled), then the virtual tuner (if enabled).
std::shared_ptr<UsbDriver> CreateSystemDriver(const DriverConfig& config);

}  // namespace pelkan::usb
