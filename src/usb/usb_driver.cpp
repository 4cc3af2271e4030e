#include "usb/usb_driver.h"

#include "usb/driver_config.h"
#include "usb/libusb_driver.h"
#include "usb/virtual_tuner.h"

namespace pelkan::usb {

std::vector<std::string> CompositeUsbDriver::EnumerateDevices() {
  std::vector<std::string> paths;
  for (const auto& d : drivers_) {
    std::vector<std::string> more = d->EnumerateDevices();
    paths.insert(paths.end(), more.begin(), more.end());
  }
  return paths;
}

std::unique_ptr<UsbBackend> CompositeUsbDriver::Open(const std::string& path) {
  for (const auto& d : drivers_) {
    if (auto handle = d->Open(path)) return handle;
  }
  return nullptr;
}

std::string CompositeUsbDriver::DeviceLocation(const std::string& path) {
  for (const auto& d : drivers_) {
    std::string location = d->DeviceLocation(path);
    if (!location.empty()) return location;
  }
  return std::string();
}

std::shared_ptr<void> CompositeUsbDriver::WatchDevices(std::function<void()> on_change) {
  auto tokens = std::make_shared<std::vector<std::shared_ptr<void>>>();
  for (const auto& d : drivers_) {
    if (auto t = d->WatchDevices(on_change)) tokens->push_back(std::move(t));
  }
  if (tokens->empty()) return nullptr;
  return tokens;
}

std::shared_ptr<UsbDriver> CreateSystemDriver(const DriverConfig& config, BroadcastSourceMaker broadcast) {
  std::vector<std::shared_ptr<UsbDriver>> drivers;
  if (config.use_libusb) {
    auto real = LibusbDriver::Create(config.device_ids);
    if (real != nullptr) drivers.push_back(std::move(real));
  }
  if (config.virtual_tuner)
    drivers.push_back(
        std::make_shared<VirtualTunerDriver>(VirtualTunerOptionsFromConfig(config, std::move(broadcast))));
  return std::make_shared<CompositeUsbDriver>(std::move(drivers));
}

}  // namespace pelkan::usb
