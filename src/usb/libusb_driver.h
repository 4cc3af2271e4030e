#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/text_codec.h"
#include "usb/driver_config.h"
#include "usb/libusb_api.h"
#include "usb/usb_driver.h"

namespace pelkan::usb {

// Real tuners through libusb-1.0; paths are "usb:BUS:ADDRESS". The device set holds only tuner
// candidates (IsTunerCandidate), judged from the descriptors libusb keeps, so no other device is
// ever opened.
// Opening a device neither claims it nor detaches a kernel driver: the device and configuration
// descriptors are answered from libusb's copy, strings and other control transfers go to the
// device. The interface is claimed (detaching a kernel driver bound to it) only by
// PrepareForStreaming, a halt clear or the first data transfer, and released when the device
// closes, after every transfer has been cancelled and has come back. A claim refused because
// another program holds the interface is kBusy.
// A candidate that may not be opened (no permission) still opens as a backend that answers the
// device and configuration descriptors; its name carries the note kAccessRefusedNote and every
// request to the device fails with kAccessDenied.
// Data transfers are asynchronous bulk or interrupt transfers whose completion completes the
// UsbTransfer (a cancelled or failed transfer reports the bytes it carried); abort cancels every
// pending transfer of the endpoint; the device name is the product string in Shift-JIS; the driver
// version is kDriverVersion. After a transfer
// ends with LIBUSB_TRANSFER_NO_DEVICE every further request fails with kDeviceGone.
class LibusbDriver : public UsbDriver {
 public:
  // How long closing a handle waits for its cancelled transfers to come back. A handle whose
  // transfers never come back is left open, its memory kept, rather than freed under the kernel.
  static constexpr unsigned kCloseWaitMs = 3000;

  // Null when libusb cannot be initialised (no USB support on this machine).
  static std::shared_ptr<LibusbDriver> Create(std::vector<UsbDeviceId> extra_ids,
                                              std::shared_ptr<LibusbApi> api = SystemLibusbApi());
  ~LibusbDriver() override;

  std::vector<std::string> EnumerateDevices() override;
  std::unique_ptr<UsbBackend> Open(const std::string& path) override;
  // "VVVV:PPPP@BUS-PORT.PORT..." (vendor and product in hexadecimal, the bus and the ports from its
  // root hub) of a listed tuner; "" for another path, or when libusb cannot tell its ports. The
  // address part of the path changes when the device is plugged in again; this does not, as long
  // as it goes into the same port.
  std::string DeviceLocation(const std::string& path) override;
  // Hotplug notifications where libusb supports them.
  std::shared_ptr<void> WatchDevices(std::function<void()> on_change) override;

  // True when a device of this vendor and product, device class and classes of the interfaces of
  // its first configuration may be a tuner: no interface and not the device itself is of a class
  // that a kernel driver serves for other programs (audio, communication, HID, printer, mass
  // storage, hub, video); and it is a vendor-specific Cypress device (class 0xFF, or an interface
  // of class 0xFF) or its pair is in `ids`.
  static bool IsTunerCandidate(uint16_t vendor_id, uint16_t product_id, uint8_t device_class,
                               const std::vector<uint8_t>& interface_classes,
                               const std::vector<UsbDeviceId>& ids);

  struct Core;

 private:
  LibusbDriver(std::shared_ptr<Core> core, std::vector<UsbDeviceId> ids);
  bool IsCandidate(libusb_device* dev, libusb_device_descriptor* desc, std::vector<uint8_t>* config) const;
  std::shared_ptr<Core> core_;
  std::vector<UsbDeviceId> ids_;
};

// Appended to the name of a device that may not be opened.
inline const std::string kAccessRefusedNote = platform::Sjis(" (アクセス拒否)");

// UTF-16 text of a string descriptor in Shift-JIS; each character without a Shift-JIS form
// (and each unpaired surrogate) becomes one '?'.
std::string Utf16ToSjis(const std::u16string& text);

}  // namespace pelkan::usb
