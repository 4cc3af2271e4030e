#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/request_block.h"
#include "usb/usb_driver.h"

namespace pelkan::usb::testing {

// What a fake device answers and what it was asked.
struct FakeDeviceState {
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> descriptors;  // (type, index) -> bytes
  uint32_t driver_version = 0x01050500;
  uint8_t alt_setting = 0;
  std::string name;
  bool fail_values = false;

  // How data requests end: completed at once with `data_reply` (IN) or pending until completed by
  // the test.
  bool data_pending = false;
  std::vector<uint8_t> data_reply;
  // A wedged device: cancels and aborts are accepted but the pending transfers never come back.
  bool ignore_cancel = false;

  struct Call {
    uint32_t code = 0;
    std::vector<uint8_t> in;
    uint32_t out_size = 0;
    bool overlapped = false;
  };
  std::vector<Call> calls;
  std::vector<Overlapped*> pending;
  int aborts = 0;
  int cancels = 0;
  int open_handles = 0;
  std::mutex mutex;
};

class FakeHandle : public UsbDriverHandle {
 public:
  explicit FakeHandle(std::shared_ptr<FakeDeviceState> s) : s_(std::move(s)) { ++s_->open_handles; }
  ~FakeHandle() override { --s_->open_handles; }

  IoResult Request(uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out, uint32_t out_size,
                   Overlapped* ov) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back({code, std::vector<uint8_t>(in, in + in_size), out_size, ov != nullptr});
    switch (code) {
      case kIoctlControlTransfer: {
        BlockHeader h;
        if (!ReadBlockHeader(in, in_size, &h)) return {false, 0, kIoInvalidParameter};
        auto it = s_->descriptors.find({static_cast<uint8_t>(h.value >> 8), static_cast<uint8_t>(h.value)});
        if (h.request != 6 || it == s_->descriptors.end()) {
          WriteBlockStatus(in, 0xC0000004, 0);
          return {false, 0, 31};
        }
        const uint32_t n = std::min<uint32_t>(h.length, static_cast<uint32_t>(it->second.size()));
        std::memcpy(in + h.data_offset, it->second.data(), n);
        return {true, h.data_offset + n, 0};
      }
      case kIoctlGetDriverVersion:
        if (s_->fail_values) return {false, 0, 31};
        PutLe32(out, s_->driver_version);
        return {true, 4, 0};
      case kIoctlGetAltSetting:
        if (s_->fail_values) return {false, 0, 31};
        out[0] = s_->alt_setting;
        return {true, 1, 0};
      case kIoctlGetDeviceName:
        if (s_->fail_values) return {false, 0, 31};
        std::memset(out, 0, out_size);
        std::memcpy(out, s_->name.data(), std::min<size_t>(s_->name.size(), out_size - 1));
        return {true, out_size, 0};
      case kIoctlAbortPipe:
        ++s_->aborts;
        if (s_->ignore_cancel) return {true, 0, 0};
        for (Overlapped* p : s_->pending) p->Complete(false, 0, kIoCancelled);
        s_->pending.clear();
        return {true, 0, 0};
      case kIoctlSetTransferSize: return {true, 5, 0};
      case kIoctlDirectTransfer:
      case kIoctlBufferedTransfer: {
        if (s_->data_pending) {
          s_->pending.push_back(ov);
          return {false, 0, kIoPending};
        }
        BlockHeader h;
        ReadBlockHeader(in, in_size, &h);
        uint8_t* dst = code == kIoctlDirectTransfer ? out : in + h.data_offset;
        const uint32_t room = code == kIoctlDirectTransfer ? out_size : h.data_length;
        const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(s_->data_reply.size()));
        if ((h.endpoint & 0x80) && n > 0) std::memcpy(dst, s_->data_reply.data(), n);
        const uint32_t bytes = (h.endpoint & 0x80) ? n : room;
        const uint32_t count = bytes == 0 ? 0 : bytes + (code == kIoctlDirectTransfer ? 0 : h.data_offset);
        if (ov) ov->Complete(true, count, 0);
        return {true, count, 0};
      }
      default: return {false, 0, kIoNotSupported};
    }
  }

  bool Cancel(Overlapped* ov) override {
    std::lock_guard lock(s_->mutex);
    ++s_->cancels;
    if (s_->ignore_cancel) return true;
    for (auto it = s_->pending.begin(); it != s_->pending.end(); ++it) {
      if (*it == ov) {
        s_->pending.erase(it);
        ov->Complete(false, 0, kIoCancelled);
        return true;
      }
    }
    return false;
  }

 private:
  std::shared_ptr<FakeDeviceState> s_;
};

// A driver with a fixed list of fake devices.
class FakeDriver : public UsbDriver {
 public:
  std::vector<std::shared_ptr<FakeDeviceState>> devices;
  int opens = 0;

  std::vector<std::string> EnumerateDevices() override {
    std::vector<std::string> paths;
    for (size_t i = 0; i < devices.size(); ++i) paths.push_back("fake:" + std::to_string(i));
    return paths;
  }
  std::unique_ptr<UsbDriverHandle> Open(const std::string& path) override {
    if (path.rfind("fake:", 0) != 0) return nullptr;
    const size_t i = std::stoul(path.substr(5));
    if (i >= devices.size()) return nullptr;
    ++opens;
    return std::make_unique<FakeHandle>(devices[i]);
  }
};

// Descriptor builders.
inline std::vector<uint8_t> DeviceDesc(uint8_t num_configs = 1, uint8_t mps0 = 64) {
  return {18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, mps0, 0xB4, 0x04, 0x04, 0x10, 0x00, 0xA0, 1, 2, 3, num_configs};
}
inline std::vector<uint8_t> InterfaceDesc(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls = 0xFF) {
  return {9, 4, number, alt, endpoints, cls, 0, 0, 0};
}
inline std::vector<uint8_t> EndpointDesc(uint8_t address, uint8_t attributes, uint16_t max_packet, uint8_t interval = 0) {
  return {7, 5, address, attributes, static_cast<uint8_t>(max_packet), static_cast<uint8_t>(max_packet >> 8), interval};
}
// A configuration descriptor around `body`, with wTotalLength set.
inline std::vector<uint8_t> ConfigDesc(uint8_t interfaces, const std::vector<std::vector<uint8_t>>& body) {
  std::vector<uint8_t> d = {9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
  for (const auto& part : body) d.insert(d.end(), part.begin(), part.end());
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}
inline std::vector<uint8_t> StringDesc(const std::u16string& s) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * s.size()), 3};
  for (char16_t c : s) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

// A typical tuner: one interface with bulk OUT 0x02 and bulk IN 0x86.
inline std::shared_ptr<FakeDeviceState> TypicalDevice() {
  auto s = std::make_shared<FakeDeviceState>();
  s->descriptors[{1, 0}] = DeviceDesc();
  s->descriptors[{2, 0}] = ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x02, 2, 512), EndpointDesc(0x86, 2, 512)});
  s->descriptors[{3, 0}] = {4, 3, 0x09, 0x04};
  s->descriptors[{3, 1}] = StringDesc(u"Maker");
  s->descriptors[{3, 2}] = StringDesc(u"Tuner");
  s->descriptors[{3, 3}] = StringDesc(u"42");
  s->name = "Fake tuner";
  return s;
}

}  // namespace pelkan::usb::testing
