#pragma once

#include <memory>
#include <string>
#include <vector>

#include "usb/driver_config.h"
#include "usb/libusb_api.h"
#include "usb/usb_driver.h"

namespace pelkan::usb {

// Real tuners through libusb-1.0. The device set is every Cypress device (vendor 0x04B4) plus the
// configured vendor:product pairs; paths are "usb:BUS:ADDRESS". Opening a device claims its first
// interface (detaching a kernel driver if one is bound) and starts the one libusb event thread;
// closing cancels and drains every transfer before it releases the interface.
// Requests are translated as follows: descriptor and control requests -> synchronous control
// transfers; direct and buffered data requests -> asynchronous bulk or interrupt transfers whose
// completion completes the overlapped record; abort -> cancel every pending transfer of the
// endpoint; set transfer size -> remembered; device name -> the product string; driver version ->
// kDriverVersion, so the direct form is used. After a transfer ends with LIBUSB_TRANSFER_NO_DEVICE
// the handle refuses every further request.
class LibusbDriver : public UsbDriver {
 public:
  static constexpr uint32_t kDriverVersion = 0x01050500;

  // Null when libusb cannot be initialised (no USB support on this machine).
  static std::shared_ptr<LibusbDriver> Create(std::vector<UsbDeviceId> extra_ids,
                                              std::shared_ptr<LibusbApi> api = SystemLibusbApi());
  ~LibusbDriver() override;

  std::vector<std::string> EnumerateDevices() override;
  std::unique_ptr<UsbDriverHandle> Open(const std::string& path) override;
  // Hotplug notifications where libusb supports them.
  std::shared_ptr<void> WatchDevices(std::function<void()> on_change) override;

  // True when a device with this descriptor belongs to the set.
  bool Matches(uint16_t vendor_id, uint16_t product_id) const;

  struct Core;

 private:
  LibusbDriver(std::shared_ptr<Core> core, std::vector<UsbDeviceId> ids);
  std::shared_ptr<Core> core_;
  std::vector<UsbDeviceId> ids_;
};

}  // namespace pelkan::usb
