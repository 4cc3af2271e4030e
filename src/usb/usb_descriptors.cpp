#include "usb/usb_descriptors.h"

#include <algorithm>

namespace pelkan::usb {

bool ParseDeviceDescriptor(const uint8_t* data, size_t size, UsbDeviceDescriptor* d) {
  if (data == nullptr || size < 18 || data[1] != kDescDevice) return false;
  d->bLength = data[0];
  d->bDescriptorType = data[1];
  d->bcdUSB = GetLe16(data + 2);
  d->bDeviceClass = data[4];
  d->bDeviceSubClass = data[5];
  d->bDeviceProtocol = data[6];
  d->bMaxPacketSize0 = data[7];
  d->idVendor = GetLe16(data + 8);
  d->idProduct = GetLe16(data + 10);
  d->bcdDevice = GetLe16(data + 12);
  d->iManufacturer = data[14];
  d->iProduct = data[15];
  d->iSerialNumber = data[16];
  d->bNumConfigurations = data[17];
  return true;
}

namespace {

// Parses the interface descriptor at `pos` and the descriptors after it, up to `end`.
std::unique_ptr<UsbInterfaceRecord> ParseInterface(const uint8_t* data, size_t pos, size_t end,
                                                   UsbBackend* backend) {
  auto rec = std::make_unique<UsbInterfaceRecord>();
  const uint8_t* d = data + pos;
  rec->bLength = d[0];
  rec->bDescriptorType = d[1];
  rec->bInterfaceNumber = d[2];
  rec->bAlternateSetting = d[3];
  rec->bNumEndpoints = std::min<uint8_t>(d[4], kMaxEndpointsPerInterface);
  rec->bInterfaceClass = d[5];
  rec->bInterfaceSubClass = d[6];
  rec->bInterfaceProtocol = d[7];
  rec->iInterface = d[8];
  size_t total = d[0];
  size_t p = pos + d[0];
  int slot = 1;
  int skipped = 0;
  while (slot <= rec->bNumEndpoints && p + 2 <= end) {
    const uint8_t len = data[p];
    const uint8_t type = data[p + 1];
    if (len < 2 || p + len > end) break;
    // The next interface begins: this one declared more endpoints than it has.
    if (type == kDescInterface) break;
    if (type == kDescEndpoint) {
      if (len < 7) break;
      UsbEndpointDescriptor ed;
      ed.bLength = len;
      ed.bDescriptorType = type;
      ed.bEndpointAddress = data[p + 2];
      ed.bmAttributes = data[p + 3];
      ed.wMaxPacketSize = GetLe16(data + p + 4);
      ed.bInterval = data[p + 6];
      rec->endpoints[static_cast<size_t>(slot)] = MakeEndpoint(backend, ed);
      ++slot;
    } else if (++skipped > kMaxSkippedDescriptors) {
      break;
    }
    total += len;
    p += len;
  }
  rec->total_length = static_cast<uint16_t>(std::min<size_t>(total, 0xFFFF));
  return rec;
}

}  // namespace

std::unique_ptr<UsbConfigRecord> ParseConfigDescriptor(const uint8_t* data, size_t size,
                                                       UsbBackend* backend) {
  if (data == nullptr || size < 9 || data[1] != kDescConfiguration || data[0] < 9) return nullptr;
  auto cfg = std::make_unique<UsbConfigRecord>();
  cfg->bLength = data[0];
  cfg->bDescriptorType = data[1];
  cfg->wTotalLength = GetLe16(data + 2);
  cfg->bNumInterfaces = data[4];
  cfg->bConfigurationValue = data[5];
  cfg->iConfiguration = data[6];
  cfg->bmAttributes = data[7];
  cfg->bMaxPower = data[8];
  const size_t end = std::min<size_t>(size, cfg->wTotalLength);
  size_t pos = cfg->bLength;
  int count = 0;
  while (pos + 2 <= end && count < kMaxInterfaceRecords) {
    const uint8_t len = data[pos];
    const uint8_t type = data[pos + 1];
    if (len < 2 || pos + len > end) break;
    if (type == kDescInterface) {
      if (len < 9) break;
      auto rec = ParseInterface(data, pos, end, backend);
      pos += std::max<size_t>(rec->total_length, len);
      cfg->interfaces[static_cast<size_t>(count++)] = std::move(rec);
    } else {
      pos += len;
    }
  }
  cfg->interface_count = static_cast<uint8_t>(count);
  for (int i = 0; i < count; ++i) {
    uint8_t same = 0;
    for (int j = 0; j < count; ++j) {
      if (cfg->interfaces[static_cast<size_t>(j)]->bInterfaceNumber ==
          cfg->interfaces[static_cast<size_t>(i)]->bInterfaceNumber) {
        ++same;
      }
    }
    cfg->interfaces[static_cast<size_t>(i)]->alternate_count = same;
  }
  return cfg;
}

}  // namespace pelkan::usb
