#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/ts_source.h"
#include "usb/usb_transfer.h"

namespace pelkan::usb {

// The driver version every backend reports (the virtual tuner, libusb, the test fakes).
inline constexpr uint32_t kDriverVersion = 0x01050500;

// The setup stage of a control transfer.
struct UsbSetup {
  uint8_t request_type = 0;  // bit 7 to host, bits 5-6 type, bits 0-4 recipient
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
};

// One opened device, as a backend (a real device through a USB library, or an emulated one)
// offers it. Destroying it closes the device; every started transfer has completed by then.
// The transfer operations (Submit, Cancel, Abort, ClearHalt, SetTransferSize) may come from
// several threads at once; the others come from the thread that opened the device.
class UsbBackend {
 public:
  virtual ~UsbBackend() = default;

  // Starts a bulk or interrupt transfer of `length` bytes to or from `data` on `endpoint`
  // (bit 7 = IN). kOk: started; `transfer` completes exactly once (perhaps before this returns),
  // with the bytes it carried, also when it fails or is cancelled. Any other status: nothing was
  // started and `transfer` is left alone. `data` and `transfer` must live until the completion.
  virtual UsbStatus Submit(uint8_t endpoint, uint8_t* data, uint32_t length, UsbTransfer* transfer) = 0;
  // Cancels one started transfer; it then completes (kCancelled unless it had already finished).
  // False when it is not, or no longer, in flight.
  virtual bool Cancel(UsbTransfer* transfer) = 0;
  // Cancels every transfer in flight on `endpoint`. False when the backend refused.
  virtual bool Abort(uint8_t endpoint) = 0;
  // Clears a halt (stall) of `endpoint`; its transfers should have ended before.
  virtual UsbStatus ClearHalt(uint8_t endpoint) = 0;
  // Tells the backend the transfer size the caller will use on `endpoint` (whole packets).
  virtual bool SetTransferSize(uint8_t endpoint, uint32_t size) = 0;
  // A synchronous control transfer on endpoint 0: `length` bytes to or from `data` as the
  // direction bit of `setup` says; `*actual` gets the bytes of the data stage. `timeout_ms` 0 asks
  // for no limit (a backend may still bound it).
  virtual UsbStatus ControlTransfer(const UsbSetup& setup, uint8_t* data, uint16_t length,
                                    uint32_t timeout_ms, uint32_t* actual) = 0;
  // Reads up to `length` bytes of descriptor (`type`, `index`) into `data`; strings in `language`.
  // `*actual` gets the bytes read. A backend may answer from its own copy of the descriptors.
  virtual UsbStatus GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* data,
                                  uint16_t length, uint32_t timeout_ms, uint32_t* actual) = 0;
  // The backend's version (kDriverVersion); none when it cannot tell.
  virtual std::optional<uint32_t> DriverVersion() = 0;
  // The name of the device for the device list, single-byte text (Shift-JIS); none when unknown.
  virtual std::optional<std::string> DeviceName() = 0;
  // The alternate setting of the device's first interface; none when it cannot be read.
  virtual std::optional<uint8_t> AlternateSetting() = 0;
  // Makes the device ready for streaming; a backend that must take the device over (claim its
  // interface) does it here and not before, and gives it back when the device closes. kOk, or why
  // the device cannot stream: kAccessDenied, kBusy (held by another program), kDeviceGone, ...
  virtual UsbStatus PrepareForStreaming() { return UsbStatus::kOk; }
};

// A set of devices of one interface class, and the way to open them.
class UsbDriver {
 public:
  virtual ~UsbDriver() = default;
  // Paths of the devices present now, in a stable order.
  virtual std::vector<std::string> EnumerateDevices() = 0;
  // Opens the device at `path`; null when it is absent or cannot be opened.
  virtual std::unique_ptr<UsbBackend> Open(const std::string& path) = 0;
  // What stays the same when the device at `path` leaves the bus and is plugged back into the same
  // port (its path may change): compared to find the same device again. "" when this driver does
  // not know the device or cannot tell; by default the path itself.
  virtual std::string DeviceLocation(const std::string& path) { return path; }
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
  std::unique_ptr<UsbBackend> Open(const std::string& path) override;
  // The first driver's answer that is not empty.
  std::string DeviceLocation(const std::string& path) override;
  std::shared_ptr<void> WatchDevices(std::function<void()> on_change) override;

 private:
  std::vector<std::shared_ptr<UsbDriver>> drivers_;
};

struct DriverConfig;
// The device set of the program: libusb tuners (if enabled), then the virtual tuner (if enabled),
// which plays `broadcast` when no file is named.
std::shared_ptr<UsbDriver> CreateSystemDriver(const DriverConfig& config, BroadcastSourceMaker broadcast);

}  // namespace pelkan::usb
