#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/usb_driver.h"

namespace pelkan::usb::testing {

// What a fake device answers and what it was asked.
struct FakeDeviceState {
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> descriptors;  // (type, index) -> bytes
  uint8_t alt_setting = 0;
  std::string name;
  bool fail_values = false;

  // How data transfers end: completed at once with `data_reply` (IN) or pending until completed by
  // the test.
  bool data_pending = false;
  std::vector<uint8_t> data_reply;
  // A wedged device: cancels and aborts are accepted but the pending transfers never come back.
  bool ignore_cancel = false;

  enum class Op { kSubmit, kControl, kDescriptor, kAbort, kClearHalt, kTransferSize };
  struct Call {
    Op op = Op::kSubmit;
    uint8_t endpoint = 0;         // submit, abort, clear halt, transfer size
    uint8_t* data = nullptr;      // submit, control
    uint32_t length = 0;          // submit, control, descriptor; the size of kTransferSize
    UsbSetup setup;               // control
    uint8_t type = 0, index = 0;  // descriptor
    uint32_t timeout_ms = 0;      // control, descriptor
  };
  std::vector<Call> calls;
  std::vector<UsbTransfer*> pending;
  int aborts = 0;
  int cancels = 0;
  int open_handles = 0;
  std::mutex mutex;
};

class FakeHandle : public UsbBackend {
 public:
  explicit FakeHandle(std::shared_ptr<FakeDeviceState> s) : s_(std::move(s)) { ++s_->open_handles; }
  ~FakeHandle() override { --s_->open_handles; }

  UsbStatus Submit(uint8_t endpoint, uint8_t* data, uint32_t length, UsbTransfer* transfer) override {
    std::lock_guard lock(s_->mutex);
    Record(FakeDeviceState::Op::kSubmit, endpoint, data, length);
    if (s_->data_pending) {
      s_->pending.push_back(transfer);
      return UsbStatus::kOk;
    }
    const uint32_t n =
        (endpoint & 0x80) ? std::min<uint32_t>(length, static_cast<uint32_t>(s_->data_reply.size())) : length;
    if ((endpoint & 0x80) && n > 0) std::memcpy(data, s_->data_reply.data(), n);
    transfer->Complete(UsbStatus::kOk, n);
    return UsbStatus::kOk;
  }

  bool Cancel(UsbTransfer* transfer) override {
    std::lock_guard lock(s_->mutex);
    ++s_->cancels;
    if (s_->ignore_cancel) return true;
    for (auto it = s_->pending.begin(); it != s_->pending.end(); ++it) {
      if (*it == transfer) {
        s_->pending.erase(it);
        transfer->Complete(UsbStatus::kCancelled, 0);
        return true;
      }
    }
    return false;
  }

  bool Abort(uint8_t endpoint) override {
    std::lock_guard lock(s_->mutex);
    Record(FakeDeviceState::Op::kAbort, endpoint);
    ++s_->aborts;
    if (s_->ignore_cancel) return true;
    for (UsbTransfer* p : s_->pending) p->Complete(UsbStatus::kCancelled, 0);
    s_->pending.clear();
    return true;
  }

  UsbStatus ClearHalt(uint8_t endpoint) override {
    std::lock_guard lock(s_->mutex);
    Record(FakeDeviceState::Op::kClearHalt, endpoint);
    return UsbStatus::kOk;
  }

  bool SetTransferSize(uint8_t endpoint, uint32_t size) override {
    std::lock_guard lock(s_->mutex);
    Record(FakeDeviceState::Op::kTransferSize, endpoint, nullptr, size);
    return true;
  }

  UsbStatus ControlTransfer(const UsbSetup& setup, uint8_t* data, uint16_t length, uint32_t timeout_ms,
                            uint32_t* actual) override {
    std::lock_guard lock(s_->mutex);
    FakeDeviceState::Call& c = Record(FakeDeviceState::Op::kControl, 0, data, length);
    c.setup = setup;
    c.timeout_ms = timeout_ms;
    *actual = (setup.request_type & 0x80) ? 0 : length;
    return UsbStatus::kOk;
  }

  UsbStatus GetDescriptor(uint8_t type, uint8_t index, uint16_t, uint8_t* data, uint16_t length,
                          uint32_t timeout_ms, uint32_t* actual) override {
    std::lock_guard lock(s_->mutex);
    FakeDeviceState::Call& c = Record(FakeDeviceState::Op::kDescriptor, 0, nullptr, length);
    c.type = type;
    c.index = index;
    c.timeout_ms = timeout_ms;
    auto it = s_->descriptors.find({type, index});
    if (it == s_->descriptors.end()) return UsbStatus::kStall;
    *actual = std::min<uint32_t>(length, static_cast<uint32_t>(it->second.size()));
    std::memcpy(data, it->second.data(), *actual);
    return UsbStatus::kOk;
  }

  std::optional<uint32_t> DriverVersion() override {
    if (s_->fail_values) return std::nullopt;
    return kDriverVersion;
  }
  std::optional<std::string> DeviceName() override {
    if (s_->fail_values) return std::nullopt;
    return s_->name;
  }
  std::optional<uint8_t> AlternateSetting() override {
    if (s_->fail_values) return std::nullopt;
    return s_->alt_setting;
  }

 private:
  FakeDeviceState::Call& Record(FakeDeviceState::Op op, uint8_t endpoint = 0, uint8_t* data = nullptr,
                                uint32_t length = 0) {
    FakeDeviceState::Call& c = s_->calls.emplace_back();
    c.op = op;
    c.endpoint = endpoint;
    c.data = data;
    c.length = length;
    return c;
  }

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
  std::unique_ptr<UsbBackend> Open(const std::string& path) override {
    if (path.rfind("fake:", 0) != 0) return nullptr;
    const size_t i = std::stoul(path.substr(5));
    if (i >= devices.size()) return nullptr;
    ++opens;
    return std::make_unique<FakeHandle>(devices[i]);
  }
};

// Descriptor builders.
inline std::vector<uint8_t> DeviceDesc(uint8_t num_configs = 1, uint8_t mps0 = 64) {
  return {18,   1,    0x00, 0x02, 0xFF, 0xFF, 0xFF, mps0, 0xB4,
          0x04, 0x04, 0x10, 0x00, 0xA0, 1,    2,    3,    num_configs};
}
inline std::vector<uint8_t> InterfaceDesc(uint8_t number, uint8_t alt, uint8_t endpoints,
                                          uint8_t cls = 0xFF) {
  return {9, 4, number, alt, endpoints, cls, 0, 0, 0};
}
inline std::vector<uint8_t> EndpointDesc(uint8_t address, uint8_t attributes, uint16_t max_packet,
                                         uint8_t interval = 0) {
  return {7,
          5,
          address,
          attributes,
          static_cast<uint8_t>(max_packet),
          static_cast<uint8_t>(max_packet >> 8),
          interval};
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
  s->descriptors[{2, 0}] =
      ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x02, 2, 512), EndpointDesc(0x86, 2, 512)});
  s->descriptors[{3, 0}] = {4, 3, 0x09, 0x04};
  s->descriptors[{3, 1}] = StringDesc(u"Maker");
  s->descriptors[{3, 2}] = StringDesc(u"Tuner");
  s->descriptors[{3, 3}] = StringDesc(u"42");
  s->name = "Fake tuner";
  return s;
}

}  // namespace pelkan::usb::testing
