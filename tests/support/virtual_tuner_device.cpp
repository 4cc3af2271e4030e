#include "tests/support/virtual_tuner_device.h"

#include "core/generator_ts_source.h"
#include "usb/virtual_tuner.h"

namespace pelkan::testing {

std::unique_ptr<core::CDTV_EzUSBFX2> VirtualTunerDevice(uint32_t bit_rate) {
  usb::VirtualTunerOptions v;
  v.bit_rate = bit_rate;
  v.source_factory = [] { return std::make_unique<core::GeneratorTsSource>(streamgen::GeneratorOptions{}); };
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
  device->OpenDevice();
  return device;
}

}  // namespace pelkan::testing
