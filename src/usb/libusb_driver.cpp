#include "usb/libusb_driver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "usb/request_block.h"
#include "usb/usb_descriptors.h"
#include "usb/virtual_tuner.h"

namespace pelkan::usb {

// The libusb context and its event thread, shared by the driver and every open handle.
struct LibusbDriver::Core {
  std::shared_ptr<LibusbApi> api;
  libusb_context* ctx = nullptr;
  std::mutex mutex;
  std::thread event_thread;
  std::atomic<bool> running{false};

  ~Core() {
    if (api == nullptr) return;
    if (event_thread.joinable()) {
      running.store(false);
      api->InterruptEventHandler(ctx);
      event_thread.join();
    }
    api->Exit(ctx);
  }

  // Starts the event thread once; it runs until the context goes.
  void EnsureEventThread() {
    std::lock_guard lock(mutex);
    if (event_thread.joinable()) return;
    running.store(true);
    event_thread = std::thread([this] {
      while (running.load()) {
        timeval tv{1, 0};
        api->HandleEventsTimeoutCompleted(ctx, &tv, nullptr);
      }
    });
  }
};

namespace {

// Time a control request waits when its block asks for no limit: a tuner that never answers must
// not hang the caller.
constexpr unsigned kUnlimitedControlTimeoutMs = 5000;

uint32_t StatusFor(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_CANCELLED: return kUsbdStatusCanceled;
    case LIBUSB_TRANSFER_NO_DEVICE: return kUsbdStatusDeviceGone;
    default: return kUsbdStatusStall;
  }
}

bool ParsePath(const std::string& path, unsigned* bus, unsigned* address) {
  char tail = 0;
  return std::sscanf(path.c_str(), "usb:%u:%u%c", bus, address, &tail) == 2;
}

std::string MakePath(unsigned bus, unsigned address) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "usb:%03u:%03u", bus, address);
  return buf;
}

class LibusbHandle : public UsbDriverHandle {
 public:
  LibusbHandle(std::shared_ptr<LibusbDriver::Core> core, libusb_device* dev, libusb_device_handle* h)
      : core_(std::move(core)), api_(core_->api.get()), handle_(h) {
    address_ = api_->GetDeviceAddress(dev);
    const int speed = api_->GetDeviceSpeed(dev);
    speed_value_ = speed >= LIBUSB_SPEED_HIGH ? 2 : 1;
    path_ = MakePath(api_->GetBusNumber(dev), address_);
  }

  // Reads the configuration, claims its first interface and reads the product name.
  bool Setup(libusb_device* dev) {
    api_->SetAutoDetachKernelDriver(handle_, 1);
    uint8_t head[9] = {};
    int rc = api_->ControlTransfer(handle_, 0x80, 6, 0x0200, 0, head, sizeof(head), 1000);
    if (rc >= 9 && head[1] == kDescConfiguration) {
      const uint16_t total = GetLe16(head + 2);
      std::vector<uint8_t> whole(total);
      rc = total >= 9 ? api_->ControlTransfer(handle_, 0x80, 6, 0x0200, 0, whole.data(), total, 1000) : -1;
      if (rc >= 9) {
        auto cfg = ParseConfigDescriptor(whole.data(), static_cast<size_t>(rc), nullptr);
        if (cfg != nullptr && cfg->interface_count > 0) {
          interface_ = cfg->interfaces[0]->bInterfaceNumber;
          for (int i = 0; i < cfg->interface_count; ++i) {
            const UsbInterfaceRecord* rec = cfg->interfaces[static_cast<size_t>(i)].get();
            for (int s = 1; s <= rec->bNumEndpoints; ++s) {
              if (const UsbEndpoint* ep = rec->endpoint(s)) attributes_[ep->bEndpointAddress()] = ep->bmAttributes();
            }
          }
        }
      }
    }
    if (api_->ClaimInterface(handle_, interface_) != 0) return false;
    claimed_ = true;
    libusb_device_descriptor desc{};
    if (api_->GetDeviceDescriptor(dev, &desc) == 0 && desc.iProduct != 0) {
      unsigned char name[256] = {};
      const int n = api_->GetStringDescriptorAscii(handle_, desc.iProduct, name, sizeof(name) - 1);
      if (n > 0) name_.assign(reinterpret_cast<const char*>(name), static_cast<size_t>(n));
    }
    core_->EnsureEventThread();
    return true;
  }

  ~LibusbHandle() override {
    {
      std::unique_lock lock(mutex_);
      closing_ = true;
      for (auto& [ov, p] : pending_) api_->CancelTransfer(p->transfer);
      // Cancelled transfers come back through the event thread; only then may they be freed.
      drained_.wait(lock, [this] { return pending_.empty() && in_callback_ == 0; });
    }
    if (claimed_) api_->ReleaseInterface(handle_, interface_);
    api_->Close(handle_);
  }

  IoResult Request(uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out, uint32_t out_size,
                   Overlapped* ov) override {
    if (gone_.load()) return {false, 0, kIoDeviceGone};
    switch (code) {
      case kIoctlGetDriverVersion: return Value32(out, out_size, LibusbDriver::kDriverVersion);
      case kIoctlGetSecondVersion: return Value32(out, out_size, LIBUSB_API_VERSION);
      case kIoctlGetSpeedValue: return Value32(out, out_size, speed_value_);
      case kIoctlGetDeviceValue:
        if (out == nullptr || out_size < 1) return {false, 0, kIoInvalidParameter};
        out[0] = address_;
        return {true, 1, kIoSuccess};
      case kIoctlGetAltSetting: {
        if (out == nullptr || out_size < 1) return {false, 0, kIoInvalidParameter};
        uint8_t alt = 0;
        const int rc = api_->ControlTransfer(handle_, 0x81, 10, 0, static_cast<uint16_t>(interface_), &alt, 1, 1000);
        out[0] = rc == 1 ? alt : 0;
        return {true, 1, kIoSuccess};
      }
      case kIoctlGetDeviceName: return Name(name_, out, out_size);
      case kIoctlGetSecondName: return Name(path_, out, out_size);
      case kIoctlSetTransferSize:
        if (in == nullptr || in_size < 5) return {false, 0, kIoInvalidParameter};
        {
          std::lock_guard lock(mutex_);
          transfer_sizes_[in[0]] = GetLe32(in + 1);
        }
        if (out != nullptr && out != in && out_size >= 5) std::memcpy(out, in, 5);
        return {true, 5, kIoSuccess};
      case kIoctlAbortPipe:
        if (in == nullptr || in_size < 1) return {false, 0, kIoInvalidParameter};
        Abort(in[0]);
        return {true, 0, kIoSuccess};
      case kIoctlControlTransfer: return Control(in, in_size, ov);
      case kIoctlBufferedTransfer: {
        BlockHeader h;
        if (!ReadBlockHeader(in, in_size, &h) || h.packet_length > 0) return {false, 0, kIoInvalidParameter};
        return Submit(h.endpoint, in, in + h.data_offset, h.data_length, h.data_offset, ov);
      }
      case kIoctlDirectTransfer: {
        BlockHeader h;
        if (!ReadBlockHeader(in, in_size, &h) || h.packet_length > 0) return {false, 0, kIoInvalidParameter};
        return Submit(h.endpoint, in, out, out == nullptr ? 0 : out_size, 0, ov);
      }
      default: return {false, 0, kIoNotSupported};
    }
  }

  bool Cancel(Overlapped* ov) override {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(ov);
    if (it == pending_.end()) return false;
    const int rc = api_->CancelTransfer(it->second->transfer);
    return rc == 0 || rc == LIBUSB_ERROR_NOT_FOUND;
  }

 private:
  struct Pending {
    LibusbHandle* self;
    Overlapped* ov;
    uint8_t* status_block;
    uint32_t base;
    uint8_t endpoint;
    libusb_transfer* transfer;
  };

  static IoResult Value32(uint8_t* out, uint32_t size, uint32_t v) {
    if (out == nullptr || size < 4) return {false, 0, kIoInvalidParameter};
    PutLe32(out, v);
    return {true, 4, kIoSuccess};
  }

  static IoResult Name(const std::string& text, uint8_t* out, uint32_t size) {
    if (out == nullptr || size == 0) return {false, 0, kIoInvalidParameter};
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), std::min<size_t>(text.size(), size - 1));
    return {true, size, kIoSuccess};
  }

  IoResult Control(uint8_t* block, uint32_t size, Overlapped* ov) {
    BlockHeader h;
    if (!ReadBlockHeader(block, size, &h)) return {false, 0, kIoInvalidParameter};
    const uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(h.length, h.data_length));
    const unsigned timeout = h.timeout_s == 0 ? kUnlimitedControlTimeoutMs : h.timeout_s * 1000u;
    const int rc = api_->ControlTransfer(handle_, h.request_type, h.request, h.value, h.index,
                                         length > 0 ? block + h.data_offset : nullptr, length, timeout);
    if (rc < 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) gone_.store(true);
      WriteBlockStatus(block, rc == LIBUSB_ERROR_NO_DEVICE ? kUsbdStatusDeviceGone : kUsbdStatusStall, 0);
      return {false, 0, rc == LIBUSB_ERROR_NO_DEVICE ? kIoDeviceGone : kIoFailed};
    }
    WriteBlockStatus(block, 0, 0);
    const uint32_t bytes = h.data_offset + static_cast<uint32_t>(rc);
    if (ov != nullptr) ov->Complete(true, bytes, kIoSuccess);
    return {true, bytes, kIoSuccess};
  }

  IoResult Submit(uint8_t endpoint, uint8_t* status_block, uint8_t* data, uint32_t length, uint32_t base,
                  Overlapped* ov) {
    if (ov == nullptr || length > 0x7FFFFFFF) return {false, 0, kIoInvalidParameter};
    auto attr = attributes_.find(endpoint);
    if (attr == attributes_.end() || (attr->second != kAttrBulk && attr->second != kAttrInterrupt)) {
      return {false, 0, kIoInvalidParameter};
    }
    libusb_transfer* t = api_->AllocTransfer();
    if (t == nullptr) return {false, 0, kIoFailed};
    auto* p = new Pending{this, ov, status_block, base, endpoint, t};
    if (attr->second == kAttrBulk) {
      libusb_fill_bulk_transfer(t, handle_, endpoint, data, static_cast<int>(length), &OnTransfer, p, 0);
    } else {
      libusb_fill_interrupt_transfer(t, handle_, endpoint, data, static_cast<int>(length), &OnTransfer, p, 0);
    }
    std::lock_guard lock(mutex_);
    if (closing_ || gone_.load()) {
      api_->FreeTransfer(t);
      delete p;
      return {false, 0, kIoDeviceGone};
    }
    const int rc = api_->SubmitTransfer(t);
    if (rc != 0) {
      api_->FreeTransfer(t);
      delete p;
      if (rc == LIBUSB_ERROR_NO_DEVICE) {
        gone_.store(true);
        return {false, 0, kIoDeviceGone};
      }
      return {false, 0, kIoFailed};
    }
    pending_[ov] = p;
    return {false, 0, kIoPending};
  }

  void Abort(uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    for (auto& [ov, p] : pending_) {
      if (p->endpoint == endpoint) api_->CancelTransfer(p->transfer);
    }
  }

  // Runs on the event thread.
  static void LIBUSB_CALL OnTransfer(libusb_transfer* t) {
    auto* p = static_cast<Pending*>(t->user_data);
    LibusbHandle* self = p->self;
    {
      std::lock_guard lock(self->mutex_);
      self->pending_.erase(p->ov);
      ++self->in_callback_;
    }
    const int status = t->status;
    const uint32_t actual = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    if (status == LIBUSB_TRANSFER_NO_DEVICE) self->gone_.store(true);
    // A cancelled transfer may still have carried data; it is handed on, not lost.
    const bool ok = status == LIBUSB_TRANSFER_COMPLETED || (status == LIBUSB_TRANSFER_CANCELLED && actual > 0);
    uint32_t error = kIoSuccess;
    if (!ok) {
      error = status == LIBUSB_TRANSFER_CANCELLED ? kIoCancelled
              : status == LIBUSB_TRANSFER_NO_DEVICE ? kIoDeviceGone
              : status == LIBUSB_TRANSFER_TIMED_OUT ? kIoTimeout
                                                   : kIoFailed;
    }
    WriteBlockStatus(p->status_block, ok ? 0 : StatusFor(status), 0);
    self->api_->FreeTransfer(t);
    Overlapped* ov = p->ov;
    const uint32_t base = p->base;
    delete p;
    ov->Complete(ok, ok ? base + actual : 0, error);
    std::lock_guard lock(self->mutex_);
    --self->in_callback_;
    self->drained_.notify_all();
  }

  std::shared_ptr<LibusbDriver::Core> core_;
  LibusbApi* api_;
  libusb_device_handle* handle_;
  int interface_ = 0;
  bool claimed_ = false;
  uint8_t address_ = 0;
  uint32_t speed_value_ = 1;
  std::string name_;
  std::string path_;
  std::map<uint8_t, uint8_t> attributes_;
  std::mutex mutex_;
  std::condition_variable drained_;
  std::map<Overlapped*, Pending*> pending_;
  std::map<uint8_t, uint32_t> transfer_sizes_;
  int in_callback_ = 0;
  bool closing_ = false;
  std::atomic<bool> gone_{false};
};

// One hotplug registration; deregisters when the last token goes.
struct HotplugWatch {
  std::shared_ptr<LibusbDriver::Core> core;
  std::function<void()> on_change;
  libusb_hotplug_callback_handle handle = 0;

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
    static_cast<HotplugWatch*>(user)->on_change();
    return 0;
  }
};

}  // namespace

LibusbDriver::LibusbDriver(std::shared_ptr<Core> core, std::vector<UsbDeviceId> ids)
    : core_(std::move(core)), ids_(std::move(ids)) {}

LibusbDriver::~LibusbDriver() = default;

std::shared_ptr<LibusbDriver> LibusbDriver::Create(std::vector<UsbDeviceId> extra_ids, std::shared_ptr<LibusbApi> api) {
  if (api == nullptr) return nullptr;
  auto core = std::make_shared<Core>();
  core->api = std::move(api);
  libusb_context* ctx = nullptr;
  if (core->api->Init(&ctx) != 0) {
    core->api = nullptr;
    return nullptr;
  }
  core->ctx = ctx;
  return std::shared_ptr<LibusbDriver>(new LibusbDriver(std::move(core), std::move(extra_ids)));
}

bool LibusbDriver::Matches(uint16_t vendor_id, uint16_t product_id) const {
  if (vendor_id == kCypressVendorId) return true;
  return std::any_of(ids_.begin(), ids_.end(), [&](const UsbDeviceId& id) {
    return id.vendor_id == vendor_id && id.product_id == product_id;
  });
}

std::vector<std::string> LibusbDriver::EnumerateDevices() {
  std::vector<std::string> paths;
  libusb_device** list = nullptr;
  const ssize_t n = core_->api->GetDeviceList(core_->ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    if (core_->api->GetDeviceDescriptor(list[i], &desc) != 0) continue;
    if (!Matches(desc.idVendor, desc.idProduct)) continue;
    paths.push_back(MakePath(core_->api->GetBusNumber(list[i]), core_->api->GetDeviceAddress(list[i])));
  }
  if (list != nullptr) core_->api->FreeDeviceList(list);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::unique_ptr<UsbDriverHandle> LibusbDriver::Open(const std::string& path) {
  unsigned bus = 0, address = 0;
  if (!ParsePath(path, &bus, &address)) return nullptr;
  libusb_device** list = nullptr;
  const ssize_t n = core_->api->GetDeviceList(core_->ctx, &list);
  std::unique_ptr<LibusbHandle> result;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device* dev = list[i];
    if (core_->api->GetBusNumber(dev) != bus || core_->api->GetDeviceAddress(dev) != address) continue;
    libusb_device_descriptor desc{};
    if (core_->api->GetDeviceDescriptor(dev, &desc) != 0 || !Matches(desc.idVendor, desc.idProduct)) break;
    libusb_device_handle* h = nullptr;
    if (core_->api->Open(dev, &h) != 0 || h == nullptr) break;
    auto handle = std::make_unique<LibusbHandle>(core_, dev, h);
    if (handle->Setup(dev)) result = std::move(handle);
    break;
  }
  if (list != nullptr) core_->api->FreeDeviceList(list);
  return result;
}

std::shared_ptr<void> LibusbDriver::WatchDevices(std::function<void()> on_change) {
  if (!core_->api->HasCapability(LIBUSB_CAP_HAS_HOTPLUG)) return nullptr;
  auto* watch = new HotplugWatch{core_, std::move(on_change), 0};
  const int rc = core_->api->HotplugRegisterCallback(
      core_->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, &HotplugWatch::OnHotplug,
      watch, &watch->handle);
  if (rc != 0) {
    delete watch;
    return nullptr;
  }
  core_->EnsureEventThread();
  return std::shared_ptr<void>(watch, [](void* w) {
    auto* hw = static_cast<HotplugWatch*>(w);
    hw->core->api->HotplugDeregisterCallback(hw->core->ctx, hw->handle);
    delete hw;
  });
}

}  // namespace pelkan::usb
