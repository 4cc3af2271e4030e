// Descriptor bytes come from the device: the parsers must stay inside whatever they are given.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb/usb_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pelkan::usb;
  UsbDeviceDescriptor dev;
  ParseDeviceDescriptor(data, size, &dev);
  if (size >= 2) {
    // A valid configuration header whose total length and body come from the input, so that the
    // walk over interfaces and endpoints is reached.
    std::vector<uint8_t> config = {9, kDescConfiguration, data[0], data[1], 1, 1, 0, 0x80, 50};
    config.insert(config.end(), data + 2, data + size);
    if (auto cfg = ParseConfigDescriptor(config.data(), config.size(), nullptr)) {
      unsigned sum = 0;
      for (int i = 0; i < cfg->interface_count; ++i) {
        const UsbInterfaceRecord* rec = cfg->interfaces[static_cast<size_t>(i)].get();
        for (int s = 0; s <= kMaxEndpointsPerInterface + 1; ++s) {
          if (const UsbEndpoint* ep = rec->endpoint(s))
            sum += ep->max_packet_size() + ep->RoundXferSize(0x8000);
        }
      }
      if (sum == 0xFFFFFFFFu) return 1;
    }
  }
  return 0;
}
