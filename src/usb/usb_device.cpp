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
  RequestBlock block(kBlockHeaderSize + size);
  block.set_u8(kBlockRequestType, 0x80);
  block.set_u8(kBlockRequest, 6);
  block.set_u16(kBlockValue, static_cast<uint16_t>((type << 8) | index));
  block.set_u16(kBlockIndex, type == kDescString ? language_id_ : 0);
  block.set_u16(kBlockLength, size);
  block.set_u32(kBlockTimeout, kDescriptorTimeoutS);
  block.set_u32(kBlockDataOffset, kBlockHeaderSize);
  block.set_u32(kBlockDataLength, size);
  const IoResult r = handle_->Request(kIoctlControlTransfer, block.data(), block.size(), block.data(),
                                      block.size(), nullptr);
  bytes_returned_ = r.bytes;
  last_status1_ = block.u32(kBlockStatus1);
  last_status2_ = block.u32(kBlockStatus2);
  if (!r.ok || last_status1_ != 0 || last_status2_ != 0) return false;
  const uint32_t got = r.bytes > kBlockHeaderSize ? std::min<uint32_t>(r.bytes - kBlockHeaderSize, size) : 0;
  out->assign(block.data() + kBlockHeaderSize, block.data() + kBlockHeaderSize + got);
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

bool UsbDevice::ValueRequest(uint32_t code, uint8_t* data, uint32_t size) {
  std::vector<uint8_t> buf(data, data + size);
  const IoResult r = handle_->Request(code, buf.data(), size, buf.data(), size, nullptr);
  bytes_returned_ = r.bytes;
  if (!r.ok || r.bytes == 0) return false;
  std::memcpy(data, buf.data(), size);
  return true;
}

bool UsbDevice::Open(uint8_t n) {
  if (handle_ != nullptr) Close();
  if (driver_ == nullptr) return false;
  const std::vector<std::string> paths = driver_->EnumerateDevices();
  device_count_ = static_cast<uint8_t>(std::min<size_t>(paths.size(), 255));
  if (device_count_ == 0 || n > device_count_ - 1) return false;
  handle_ = driver_->Open(paths[n]);
  if (handle_ == nullptr) {
    device_number_ = 0;
    return false;
  }
  device_path_ = paths[n].substr(0, 255);
  device_number_ = n;

  std::vector<uint8_t> bytes;
  if (ReadDescriptor(kDescDevice, 0, 18, &bytes)) ParseDeviceDescriptor(bytes.data(), bytes.size(), &device_desc_);

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

  uint8_t one = 0;
  device_value_ = ValueRequest(kIoctlGetDeviceValue, &one, 1) ? one : 0;
  std::array<uint8_t, 256> name{};
  device_name_.clear();
  if (ValueRequest(kIoctlGetDeviceName, name.data(), name.size())) {
    device_name_.assign(reinterpret_cast<const char*>(name.data()), strnlen(reinterpret_cast<const char*>(name.data()), 255));
  }
  name.fill(0);
  second_name_.clear();
  if (ValueRequest(kIoctlGetSecondName, name.data(), name.size())) {
    second_name_.assign(reinterpret_cast<const char*>(name.data()), strnlen(reinterpret_cast<const char*>(name.data()), 255));
  }
  uint8_t word[4] = {};
  driver_version_ = ValueRequest(kIoctlGetDriverVersion, word, 4) ? GetLe32(word) : 0;
  std::memset(word, 0, 4);
  second_version_ = ValueRequest(kIoctlGetSecondVersion, word, 4) ? GetLe32(word) : 0;
  std::memset(word, 0, 4);
  flag2_ = ValueRequest(kIoctlGetSpeedValue, word, 4) && GetLe32(word) == 2;

  config_count_ = device_desc_.bNumConfigurations;
  for (int i = 0; i < std::min<int>(config_count_, kMaxConfigurations); ++i) {
    std::vector<uint8_t> header;
    if (!ReadDescriptor(kDescConfiguration, static_cast<uint8_t>(i), 9, &header) || header.size() < 9) continue;
    const uint16_t total = GetLe16(&header[2]);
    std::vector<uint8_t> whole;
    if (total < 9 || !ReadDescriptor(kDescConfiguration, static_cast<uint8_t>(i), total, &whole)) continue;
    configs_[static_cast<size_t>(i)] = ParseConfigDescriptor(whole.data(), whole.size(), handle_.get());
    raw_configs_[static_cast<size_t>(i)] = std::move(whole);
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
  config_index_ = 0;
  config_value_ = cfg->bConfigurationValue;
  config_attributes_ = cfg->bmAttributes;
  max_power_ = cfg->bMaxPower;
  interface_count_ = cfg->bNumInterfaces;
  alternate_count_ = cfg->interface_count;
  first_interface_ = cfg->interfaces[0]->bInterfaceNumber;
  uint8_t alt = 0;
  if (!ValueRequest(kIoctlGetAltSetting, &alt, 1)) alt = 0xFF;

  selected_ = nullptr;
  for (int i = 0; i < cfg->interface_count; ++i) {
    UsbInterfaceRecord* rec = cfg->interfaces[static_cast<size_t>(i)].get();
    if (rec->bAlternateSetting != alt) continue;
    alternate_index_ = static_cast<uint8_t>(i);
    interface_class_ = rec->bInterfaceClass;
    interface_subclass_ = rec->bInterfaceSubClass;
    interface_protocol_ = rec->bInterfaceProtocol;
    rec->control = control_.get();
    selected_ = rec;
    iso_in_ = iso_out_ = bulk_in_ = bulk_out_ = interrupt_in_ = interrupt_out_ = nullptr;
    for (int s = 1; s <= rec->bNumEndpoints; ++s) {
      UsbEndpoint* ep = rec->endpoint(s);
      if (ep == nullptr) continue;
      if (driver_version_ < kDirectTransferVersion) ep->set_direct(false);
      UsbEndpoint** in_slot = nullptr;
      UsbEndpoint** out_slot = nullptr;
      switch (ep->bmAttributes()) {
        case kAttrIsochronous: in_slot = &iso_in_; out_slot = &iso_out_; break;
        case kAttrBulk: in_slot = &bulk_in_; out_slot = &bulk_out_; break;
        case kAttrInterrupt: in_slot = &interrupt_in_; out_slot = &interrupt_out_; break;
        default: break;
      }
      if (in_slot == nullptr) continue;
      UsbEndpoint** target = ep->is_in() ? in_slot : out_slot;
      if (*target == nullptr) *target = ep;
    }
    break;
  }
}

void UsbDevice::Close() {
  if (handle_ == nullptr) return;
  selected_ = nullptr;
  iso_in_ = iso_out_ = bulk_in_ = bulk_out_ = interrupt_in_ = interrupt_out_ = nullptr;
  // Endpoint objects go before the handle they refer to.
  for (auto& cfg : configs_) cfg.reset();
  for (auto& raw : raw_configs_) raw.clear();
  control_.reset();
  handle_.reset();
  device_desc_ = UsbDeviceDescriptor();
  device_count_ = config_count_ = interface_count_ = alternate_count_ = 0;
  manufacturer_.clear();
  product_.clear();
  serial_number_.clear();
  device_name_.clear();
  second_name_.clear();
  language_id_ = 0;
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
