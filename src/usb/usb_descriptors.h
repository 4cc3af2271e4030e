#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "usb/usb_endpoint.h"

namespace pelkan::usb {

// A little-endian 16-bit field of a descriptor.
inline uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline constexpr uint8_t kDescDevice = 1;
inline constexpr uint8_t kDescConfiguration = 2;
inline constexpr uint8_t kDescString = 3;
inline constexpr uint8_t kDescInterface = 4;
inline constexpr uint8_t kDescEndpoint = 5;

inline constexpr int kMaxConfigurations = 2;
inline constexpr int kMaxInterfaceRecords = 8;
inline constexpr int kMaxEndpointsPerInterface = 15;
// Foreign descriptors (class-specific and the like) skipped inside one interface before giving up.
inline constexpr int kMaxSkippedDescriptors = 11;

// The 18-byte device descriptor, decoded.
struct UsbDeviceDescriptor {
  uint8_t bLength = 0, bDescriptorType = 0;
  uint16_t bcdUSB = 0;
  uint8_t bDeviceClass = 0, bDeviceSubClass = 0, bDeviceProtocol = 0, bMaxPacketSize0 = 0;
  uint16_t idVendor = 0, idProduct = 0, bcdDevice = 0;
  uint8_t iManufacturer = 0, iProduct = 0, iSerialNumber = 0, bNumConfigurations = 0;
};

// Decodes a device descriptor; false when it is shorter than 18 bytes or not of type 1.
bool ParseDeviceDescriptor(const uint8_t* data, size_t size, UsbDeviceDescriptor* d);

// One interface descriptor (one interface in one alternate setting) with its endpoints.
// Slot 0 holds the control endpoint while the record is selected (not owned); slots 1..15 own
// the endpoint objects in descriptor order, empty where the descriptor named no known kind.
struct UsbInterfaceRecord {
  std::array<std::unique_ptr<UsbEndpoint>, kMaxEndpointsPerInterface + 1> endpoints;
  UsbEndpoint* control = nullptr;
  uint8_t bLength = 0, bDescriptorType = 0, bInterfaceNumber = 0, bAlternateSetting = 0;
  uint8_t bNumEndpoints = 0;  // as parsed, at most 15
  uint8_t bInterfaceClass = 0, bInterfaceSubClass = 0, bInterfaceProtocol = 0, iInterface = 0;
  uint8_t alternate_count = 0;  // records of the configuration with this bInterfaceNumber
  uint16_t total_length = 0;    // bytes of this interface's descriptors

  // Endpoint in slot `i` (0 = control endpoint), or null.
  UsbEndpoint* endpoint(int i) const {
    if (i == 0) return control;
    if (i < 0 || i > kMaxEndpointsPerInterface) return nullptr;
    return endpoints[static_cast<size_t>(i)].get();
  }
};

// One configuration descriptor with its interface records.
struct UsbConfigRecord {
  std::array<std::unique_ptr<UsbInterfaceRecord>, kMaxInterfaceRecords> interfaces;
  uint8_t bLength = 0, bDescriptorType = 0;
  uint16_t wTotalLength = 0;
  uint8_t bNumInterfaces = 0, bConfigurationValue = 0, iConfiguration = 0, bmAttributes = 0, bMaxPower = 0;
  uint8_t interface_count = 0;  // records parsed
};

// Parses a whole configuration descriptor (`size` bytes as read from the device). Endpoint objects
// are created on `backend` (may be null when only the layout is wanted). The walk never reads past `size` or
// wTotalLength; a descriptor whose bLength is below 2 or runs past the end stops it. Returns null when even
// the 9-byte header is missing or is not a configuration descriptor.
std::unique_ptr<UsbConfigRecord> ParseConfigDescriptor(const uint8_t* data, size_t size, UsbBackend* backend);

}  // namespace pelkan::usb
