#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"
#include "usb/usb_driver.h"
#include "usb/usb_endpoint.h"

namespace pelkan::usb {

// The program's handle on one device of a driver's device set: counts the devices, opens the n-th,
// reads its descriptors, strings, name and driver version, and builds the endpoint objects of its first
// configuration's current interface. Not internally locked: open, query and close from one thread;
// the endpoints may be used by other threads while the device stays open.
class UsbDevice {
 public:
  // Descriptor requests wait at most this long.
  static constexpr uint32_t kDescriptorTimeoutS = 5;

  // With `on_change`, registers for arrival/removal notifications of the driver's devices (nothing
  // in the program acts on them yet). With `open_now`, opens device 0.
  UsbDevice(std::shared_ptr<UsbDriver> driver, bool open_now, std::function<void()> on_change = {});
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // Number of devices present now (at most 255).
  uint8_t DeviceCount();
  // Opens device `n` (closing any open one first). True when it is open and the endpoints of its
  // first configuration are set up; false leaves it closed, or open without endpoints when the
  // device has no usable configuration.
  bool Open(uint8_t n);
  // Releases the handle, descriptors and endpoint objects. Nothing happens when not open.
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  // Readies the open device for streaming (UsbBackend::PrepareForStreaming): kOk, or why it cannot
  // stream (kBusy: another program holds it).
  UsbStatus PrepareForStreaming() {
    return handle_ != nullptr ? handle_->PrepareForStreaming() : UsbStatus::kDeviceGone;
  }

  // bNumEndpoints of the selected interface record plus 1 (the control endpoint); 0 when closed or
  // when no interface record is selected.
  int EndpointCount() const;
  // The endpoint in slot `i` of the selected record (0 = control endpoint), or null.
  UsbEndpoint* Endpoint(int i) const;

  // The first endpoint of each kind and direction in the selected record, or null.
  UsbControlEndpoint* control_endpoint() const { return control_.get(); }
  UsbEndpoint* bulk_in() const { return bulk_in_; }
  UsbEndpoint* bulk_out() const { return bulk_out_; }
  UsbEndpoint* iso_in() const { return iso_in_; }
  UsbEndpoint* interrupt_in() const { return interrupt_in_; }

  // The backend's name of the device (single-byte text, may be empty).
  const std::string& device_name() const { return device_name_; }
  // The path of the open device in the driver's device set.
  const std::string& device_path() const { return device_path_; }
  // String descriptors as UTF-16 code units.
  const std::u16string& manufacturer() const { return manufacturer_; }
  const std::u16string& product() const { return product_; }
  const std::u16string& serial_number() const { return serial_number_; }
  uint16_t language_id() const { return language_id_; }
  uint32_t driver_version() const { return driver_version_; }
  const UsbDeviceDescriptor& device_descriptor() const { return device_desc_; }
  // Index of the selected interface record in the first configuration.
  uint8_t alternate_index() const { return alternate_index_; }

 private:
  // Reads `size` bytes of descriptor (type, index) into `out`; false on failure.
  bool ReadDescriptor(uint8_t type, uint8_t index, uint16_t size, std::vector<uint8_t>* out);
  bool ReadString(uint8_t index, std::u16string* text);
  void SelectConfiguration0();

  std::shared_ptr<UsbDriver> driver_;
  std::shared_ptr<void> watch_;
  std::unique_ptr<UsbBackend> handle_;
  std::unique_ptr<UsbControlEndpoint> control_;
  std::array<std::unique_ptr<UsbConfigRecord>, kMaxConfigurations> configs_;
  UsbInterfaceRecord* selected_ = nullptr;
  UsbEndpoint* iso_in_ = nullptr;
  UsbEndpoint* bulk_in_ = nullptr;
  UsbEndpoint* bulk_out_ = nullptr;
  UsbEndpoint* interrupt_in_ = nullptr;

  UsbDeviceDescriptor device_desc_;
  std::string device_name_, device_path_;
  std::u16string manufacturer_, product_, serial_number_;
  uint16_t language_id_ = 0;
  uint32_t driver_version_ = 0;
  uint8_t alternate_index_ = 0;
};

}  // namespace pelkan::usb
