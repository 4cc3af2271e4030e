#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/driver_config.h"
#include "usb/ts_source.h"
#include "usb/usb_driver.h"

namespace pelkan::usb {

// A fault the virtual tuner injects into one bulk IN transfer of its stream endpoint. Transfers are
// numbered from 0 in the order they are begun after each open. As on a real bulk pipe, the
// transfers of the endpoint end strictly in the order they were begun.
struct VirtualFault {
  enum class Kind {
    kTimeout,  // the stream pauses after `short_length` bytes of this transfer: it ends only when
               // cancelled, aborted or the device is closed, then with those bytes; the transfers
               // begun after it wait behind it
    kError,    // completes at once with an error status and no data
    kShort,    // completes with `short_length` bytes
    kEmpty,    // completes with 0 bytes
    kStall,    // the endpoint halts after `short_length` bytes of this transfer: it ends with those
               // bytes and a stall status, and every other transfer of the endpoint with a stall and
               // no data, until the halt is cleared (ClearHalt)
    kUnplug,   // the device leaves: this and every pending transfer fail first, then every request
  };
  Kind kind = Kind::kError;
  uint64_t transfer = 0;
  uint32_t short_length = 100;
};

// Device path under which the virtual tuner is listed.
inline constexpr const char* kVirtualTunerPath = "virtual:fx2";
// Name of the virtual tuner (driver name and product string).
inline constexpr const char* kVirtualTunerName = "Virtual FX2 tuner";

struct VirtualTunerOptions {
  // Pacing in bits per second; 0 delivers as fast as transfers are asked for.
  uint64_t bit_rate = kDefaultVirtualBitRate;
  // Makes the stream for each open; without one the tuner delivers no data.
  std::function<std::unique_ptr<TsSource>()> source_factory;
  std::vector<VirtualFault> faults;
  // Leaves the bus once (as kUnplug does) `at_ms` after the first stream transfer of the first
  // open, and is listed and opens again `for_ms` after that.
  std::optional<DriverConfig::Dropout> dropout;
};

// An EZ-USB FX2 tuner without hardware: answers like a real one (descriptors, strings, name and
// version, bulk OUT 0x02/0x04 and bulk IN 0x86 with 512-byte packets, and the
// interrupt IN 0x88 of a remote-control receiver) and fills bulk IN transfers of endpoint 0x86 from
// its stream, in the order they were begun, paced at the bit rate; while the stream yields nothing
// (a played file emptied), the transfer waits as on a tuner that sends nothing. The stream endpoint is the only
// bulk IN endpoint, so the main window's preselection (the last bulk IN listed) finds it. Transfers
// on 0x88 wait (no key is ever pressed) until cancelled or aborted. Bulk OUT writes are recorded.
// A cancelled or aborted transfer ends with the bytes it had received.
// Safe from any thread.
class VirtualTunerDriver : public UsbDriver {
 public:
  static constexpr uint8_t kStreamEndpoint = 0x86;
  static constexpr uint8_t kRemoteEndpoint = 0x88;
  static constexpr uint16_t kVendorId = 0x04B4;
  static constexpr uint16_t kProductId = 0x1004;

  explicit VirtualTunerDriver(VirtualTunerOptions options = VirtualTunerOptions());
  ~VirtualTunerDriver() override;

  std::vector<std::string> EnumerateDevices() override;
  std::unique_ptr<UsbBackend> Open(const std::string& path) override;
  // The path: the virtual tuner is always the same device.
  std::string DeviceLocation(const std::string& path) override;

  // Every bulk OUT write since construction, in order.
  std::vector<std::vector<uint8_t>> OutWrites() const;
  // Brings an unplugged tuner back.
  void Replug();
  bool IsPresent() const;
  // Open handles now.
  int OpenHandles() const;
  // Halt clears (ClearHalt) asked for since construction.
  int HaltClears() const;
  // The device and configuration descriptors it reports.
  static std::vector<uint8_t> DeviceDescriptor();
  static std::vector<uint8_t> ConfigurationDescriptor();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// Options from the program's device-set configuration: the file source when a file is named and
// can be opened, `broadcast` (from the configured rate and start) otherwise, and the configured
// pacing.
VirtualTunerOptions VirtualTunerOptionsFromConfig(const DriverConfig& config, BroadcastSourceMaker broadcast);

}  // namespace pelkan::usb
