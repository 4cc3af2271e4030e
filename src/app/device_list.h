#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/settings.h"
#include "core/dtv_base.h"
#include "usb/driver_config.h"

namespace pelkan {

// One entry of the device list: the device index it stands for and its name (as the device
// reports it). Devices whose name cannot be read are left out, so an entry keeps its index.
struct DeviceEntry {
  int index = 0;
  std::string name;             // Shift-JIS
  bool access_refused = false;  // the device may not be opened (no permission): it cannot stream
};

// The endpoint choosers of one device: bulk IN and bulk OUT endpoint addresses in the device's
// order, and the preselected entries.
struct EndpointChoice {
  std::vector<uint8_t> in;   // bulk IN endpoints (address bit 7 set)
  std::vector<uint8_t> out;  // bulk OUT endpoints, after the "none" entry
  // Preselected IN address: the last one listed, or the one equal to `last_in` if listed; none
  // when no bulk IN endpoint exists.
  bool has_in = false;
  uint8_t default_in = 0;
  // Preselected OUT address: the last one listed, or the one equal to `last_out` if listed
  // (core::kNoEndpoint, "none", is listed first and is the choice when no bulk OUT endpoint exists).
  uint32_t default_out = core::kNoEndpoint;
};

// The devices of `device` whose names can be read, up to 80 bytes each.
std::vector<DeviceEntry> ListDevices(core::CDTV_Base& device);
// The bulk endpoints of device `index` (attributes exactly 2) with the preselection the main window
// makes from the settings LAST_EP_IN and LAST_EP_OUT.
EndpointChoice ListBulkEndpoints(core::CDTV_Base& device, int index, int last_in, int last_out);

// The device set the settings describe: USB_DEVICE_IDS, VIRTUAL_TUNER, VIRTUAL_TUNER_FILE,
// VIRTUAL_RATE, VIRTUAL_LATE, VIRTUAL_EXTEND, VIRTUAL_UNDETERMINED, VIRTUAL_DROPOUT. A virtual tuner value that
// cannot be used is left out (the rate: the default) with a line on standard error saying why.
usb::DriverConfig DriverConfigFromSettings(const Settings& settings);

}  // namespace pelkan
