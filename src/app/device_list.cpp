#include "app/device_list.h"

#include "usb/libusb_driver.h"

namespace pelkan {

std::vector<DeviceEntry> ListDevices(core::CDTV_Base& device) {
  std::vector<DeviceEntry> out;
  const int n = device.GetDeviceCount();
  for (int i = 0; i < n; ++i) {
    char name[81] = {};
    if (!device.GetDeviceName(i, name, sizeof name - 1)) continue;
    const std::string text = name;
    const std::string& note = usb::kAccessRefusedNote;
    const bool refused =
        text.size() >= note.size() && text.compare(text.size() - note.size(), note.size(), note) == 0;
    out.push_back(DeviceEntry{i, text, refused});
  }
  return out;
}

EndpointChoice ListBulkEndpoints(core::CDTV_Base& device, int index, int last_in, int last_out) {
  EndpointChoice c;
  const int n = device.GetEndpointCount(index);
  for (int i = 0; i < n; ++i) {
    core::DtvEndpointInfo info;
    if (!device.GetEndpointInfo(index, i, &info) || info.bmAttributes != 2) continue;
    if (info.bEndpointAddress & 0x80) {
      c.in.push_back(info.bEndpointAddress);
    } else {
      c.out.push_back(info.bEndpointAddress);
    }
  }
  if (!c.in.empty()) {
    c.has_in = true;
    c.default_in = c.in.back();
    for (uint8_t a : c.in) {
      if (a == last_in) c.default_in = a;
    }
  }
  // The OUT list starts with "none", so its last entry is the last OUT endpoint when there is one.
  if (!c.out.empty()) c.default_out = c.out.back();
  if (last_out == static_cast<int>(core::kNoEndpoint)) c.default_out = core::kNoEndpoint;
  for (uint8_t a : c.out) {
    if (a == last_out) c.default_out = a;
  }
  return c;
}

usb::DriverConfig DriverConfigFromSettings(const Settings& settings) {
  usb::DriverConfig config;
  if (!settings.usb_device_ids.empty()) usb::ParseUsbDeviceIds(settings.usb_device_ids, &config.device_ids);
  config.virtual_tuner = settings.virtual_tuner != 0;
  config.virtual_tuner_file = settings.virtual_tuner_file;
  return config;
}

}  // namespace pelkan
