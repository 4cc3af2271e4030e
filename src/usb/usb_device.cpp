#include "usb/usb_device.h"

#include <algorithm>
#include <cstring>

namespace pelkan::usb {

UsbDevice::UsbDevice(std::shared_ptr<UsbDriver> driver, bool open_now, std::function<void()> on_change)
    : driver_(std::move(driver)) {
  if (on_change && driver_ != nullptr) watch_ = driver_->WatchDevices(std::move(on_change));
  if (open_now) Open(0);
}

UsbDevice::~UsbDevice() {
  Close();
  watch_.reset();
}

uint8_t UsbDevice::DeviceCount() {
  if (driver_ == nullptr) return 0;
  return static_cast<uint8_t>(std::min<size_t>(driver_->EnumerateDevices().size(), 255));
}

bool UsbDevice::ReadDescriptor(uint8_t type, uint8_t index, uint16_t size, std::vector<uint8_t>* out) {
  if (handle_ == nullptr) return false;
  std::vector<uint8_t> buffer(size);
  uint32_t got = 0;
  const UsbStatus s = handle_->GetDescriptor(type, index, type == kDescString ? language_id_ : 0,
                                             buffer.data(), size, kDescriptorTimeoutS * 1000, &got);
  if (s != UsbStatus::kOk) return false;
  buffer.resize(std::min<uint32_t>(got, size));
  *out = std::move(buffer);
  return true;
}

bool UsbDevice::ReadString(uint8_t index, std::u16string* text) {
  // Index 0 names no string (it is the language list).
  if (index == 0) return false;
  std::vector<uint8_t> head;
  if (!ReadDescriptor(kDescString, index, 2, &head) || head.size() < 2) return false;
  const uint8_t length = head[0];
  std::vector<uint8_t> full;
  if (!ReadDescriptor(kDescString, index, length, &full)) return false;
  if (length > 2 && full.size() >= 2 && full[1] == kDescString) {
    text->clear();
    const size_t units = (std::min<size_t>(full.size(), length) - 2) / 2;
    for (size_t i = 0; i < units; ++i) text->push_back(static_cast<char16_t>(GetLe16(&full[2 + 2 * i])));
    while (!text->empty() && text->back() == u'\0') text->pop_back();
  }
  return true;
}

bool UsbDevice::Open(uint8_t n) {
  if (handle_ != nullptr) Close();
  if (driver_ == nullptr) return false;
  const std::vector<std::string> paths = driver_->EnumerateDevices();
  const size_t count = std::min<size_t>(paths.size(), 255);
  if (count == 0 || n > count - 1) return false;
  handle_ = driver_->Open(paths[n]);
  if (handle_ == nullptr) return false;
  device_path_ = paths[n].substr(0, 255);

  std::vector<uint8_t> bytes;
  if (ReadDescriptor(kDescDevice, 0, 18, &bytes))
    ParseDeviceDescriptor(bytes.data(), bytes.size(), &device_desc_);

  std::vector<uint8_t> head;
  if (ReadDescriptor(kDescString, 0, 2, &head) && head.size() == 2 &&
      ReadDescriptor(kDescString, 0, head[0], &bytes)) {
    const size_t end = std::min<size_t>(bytes.size(), head[0]);
    language_id_ = end >= 4 ? GetLe16(&bytes[2]) : 0;
    for (size_t p = 2; p + 2 <= end; p += 2) {
      if (GetLe16(&bytes[p]) == 0x0409) language_id_ = 0x0409;
    }
  }
  ReadString(device_desc_.iManufacturer, &manufacturer_);
  ReadString(device_desc_.iProduct, &product_);
  ReadString(device_desc_.iSerialNumber, &serial_number_);

  device_name_ = handle_->DeviceName().value_or(std::string());
  if (device_name_.size() > 255) device_name_.resize(255);
  driver_version_ = handle_->DriverVersion().value_or(0);

  for (int i = 0; i < std::min<int>(device_desc_.bNumConfigurations, kMaxConfigurations); ++i) {
    std::vector<uint8_t> header;
    if (!ReadDescriptor(kDescConfiguration, static_cast<uint8_t>(i), 9, &header) || header.size() < 9)
      continue;
    const uint16_t total = GetLe16(&header[2]);
    std::vector<uint8_t> whole;
    if (total < 9 || !ReadDescriptor(kDescConfiguration, static_cast<uint8_t>(i), total, &whole)) continue;
    configs_[static_cast<size_t>(i)] = ParseConfigDescriptor(whole.data(), whole.size(), handle_.get());
  }

  UsbEndpointDescriptor ep0;
  ep0.bLength = 7;
  ep0.bDescriptorType = kDescEndpoint;
  ep0.wMaxPacketSize = device_desc_.bMaxPacketSize0;
  control_ = std::make_unique<UsbControlEndpoint>(handle_.get(), ep0);

  if (configs_[0] != nullptr && configs_[0]->interface_count > 0) {
    SelectConfiguration0();
    return true;
  }
  return false;
}

void UsbDevice::SelectConfiguration0() {
  UsbConfigRecord* cfg = configs_[0].get();
  const uint8_t alt = handle_->AlternateSetting().value_or(0xFF);
  selected_ = nullptr;
  for (int i = 0; i < cfg->interface_count; ++i) {
    UsbInterfaceRecord* rec = cfg->interfaces[static_cast<size_t>(i)].get();
    if (rec->bAlternateSetting != alt) continue;
    alternate_index_ = static_cast<uint8_t>(i);
    rec->control = control_.get();
    selected_ = rec;
    iso_in_ = bulk_in_ = bulk_out_ = interrupt_in_ = nullptr;
    for (int s = 1; s <= rec->bNumEndpoints; ++s) {
      UsbEndpoint* ep = rec->endpoint(s);
      if (ep == nullptr) continue;
      UsbEndpoint** slot = nullptr;
      switch (ep->bmAttributes()) {
        case kAttrIsochronous:
          slot = ep->is_in() ? &iso_in_ : nullptr;
          break;
        case kAttrBulk:
          slot = ep->is_in() ? &bulk_in_ : &bulk_out_;
          break;
        case kAttrInterrupt:
          slot = ep->is_in() ? &interrupt_in_ : nullptr;
          break;
        default:
          break;
      }
      if (slot != nullptr && *slot == nullptr) *slot = ep;
    }
    break;
  }
}

void UsbDevice::Close() {
  if (handle_ == nullptr) return;
  selected_ = nullptr;
  iso_in_ = bulk_in_ = bulk_out_ = interrupt_in_ = nullptr;
  // Endpoint objects go before the backend they refer to.
  for (auto& cfg : configs_) cfg.reset();
  control_.reset();
  handle_.reset();
  device_desc_ = UsbDeviceDescriptor();
  manufacturer_.clear();
  product_.clear();
  serial_number_.clear();
  device_name_.clear();
  device_path_.clear();
  language_id_ = 0;
  driver_version_ = 0;
}

int UsbDevice::EndpointCount() const {
  if (handle_ == nullptr || selected_ == nullptr) return 0;
  return selected_->bNumEndpoints + 1;
}

UsbEndpoint* UsbDevice::Endpoint(int i) const {
  if (handle_ == nullptr || selected_ == nullptr || i < 0 || i > selected_->bNumEndpoints) return nullptr;
  return selected_->endpoint(i);
}

}  // namespace pelkan::usb
