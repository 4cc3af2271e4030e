#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mjd_time.h"
#include "base/programme_change.h"

namespace pelkan::usb {

// One vendor:product pair that counts as a tuner of the driver's interface class.
struct UsbDeviceId {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  bool operator==(const UsbDeviceId&) const = default;
};

// Vendor id of Cypress Semiconductor: every device of this vendor is listed.
inline constexpr uint16_t kCypressVendorId = 0x04B4;

// Default stream rate of the virtual tuner, bits per second (an ISDB-T multiplex).
inline constexpr uint64_t kDefaultVirtualBitRate = 17'000'000;

// How the device set is put together. The settings file provides these values (USB_DEVICE_IDS,
// VIRTUAL_TUNER, VIRTUAL_TUNER_FILE, VIRTUAL_RATE, VIRTUAL_LATE, VIRTUAL_EXTEND,
// VIRTUAL_UNDETERMINED, VIRTUAL_DROPOUT); tests and tools fill them directly.
struct DriverConfig {
  // Real tuners through libusb: Cypress devices plus these pairs.
  bool use_libusb = true;
  std::vector<UsbDeviceId> device_ids;
  // The virtual FX2 tuner, listed after the real tuners.
  bool virtual_tuner = true;
  // A .ts file the virtual tuner plays in a loop; empty = the built-in broadcast generator.
  std::string virtual_tuner_file;
  // Pacing of the virtual tuner in bits per second; 0 = unlimited (as fast as it is read).
  uint64_t virtual_bit_rate = kDefaultVirtualBitRate;
  // Broadcast clock (JST) of the virtual tuner's synthetic broadcast at its first byte; none = the
  // current time in Japan. Lets a scheduled recording be tried without waiting for its time.
  std::optional<MjdTime> virtual_start;
  // The virtual tuner delivers this many times faster than `virtual_bit_rate` (the broadcast's own
  // rate, which sets how fast its clock runs per byte), 1 to kMaxVirtualSpeed.
  uint32_t virtual_speed = 1;
  // Programmes of the synthetic broadcast made late, early, extended or undetermined.
  std::vector<ProgrammeChange> virtual_programme_changes;
  // The virtual tuner leaves the bus once, as a pulled cable does: its transfers fail with "no
  // device" from `at_ms` after its first stream transfer, and it is back `for_ms` later.
  struct Dropout {
    uint32_t at_ms = 0;
    uint32_t for_ms = 0;
    bool operator==(const Dropout&) const = default;
  };
  std::optional<Dropout> virtual_dropout;
};

// Parses "AT:FOR" (whole seconds, AT 0 to 86400, FOR 1 to 86400) into `dropout`; false, leaving it
// unchanged, when the text is malformed.
bool ParseVirtualDropout(std::string_view text, DriverConfig::Dropout* dropout);

// Largest accepted DriverConfig::virtual_speed.
inline constexpr uint32_t kMaxVirtualSpeed = 16;

// Parses a list such as "04b4:1004,0511:0029" (hexadecimal, separated by commas, spaces allowed)
// into `ids`. Returns false, leaving `ids` unchanged, when an entry is malformed.
bool ParseUsbDeviceIds(std::string_view text, std::vector<UsbDeviceId>* ids);

// Formats `ids` in the form ParseUsbDeviceIds reads.
std::string FormatUsbDeviceIds(const std::vector<UsbDeviceId>& ids);

}  // namespace pelkan::usb
