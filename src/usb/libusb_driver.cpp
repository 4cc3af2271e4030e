#include "usb/libusb_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/text_codec.h"
#include "usb/request_block.h"
#include "usb/usb_descriptors.h"

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
constexpr unsigned kStringTimeoutMs = 1000;

// Classes whose devices a kernel driver serves for other programs: never opened nor claimed.
bool IsForeignClass(uint8_t c) {
  switch (c) {
    case LIBUSB_CLASS_AUDIO:
    case LIBUSB_CLASS_COMM:
    case LIBUSB_CLASS_HID:
    case LIBUSB_CLASS_PRINTER:
    case LIBUSB_CLASS_MASS_STORAGE:
    case LIBUSB_CLASS_HUB:
    case LIBUSB_CLASS_DATA:
    case LIBUSB_CLASS_VIDEO:
      return true;
    default:
      return false;
  }
}

uint32_t StatusFor(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return 0;
    case LIBUSB_TRANSFER_CANCELLED:
      return kUsbdStatusCanceled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return kUsbdStatusDeviceGone;
    case LIBUSB_TRANSFER_STALL:
      return kUsbdStatusStall;
    default:
      return kUsbdStatusXactError;
  }
}

uint32_t ErrorFor(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return kIoSuccess;
    case LIBUSB_TRANSFER_CANCELLED:
      return kIoCancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return kIoDeviceGone;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kIoTimeout;
    default:
      return kIoFailed;
  }
}

uint32_t ErrorForCall(int rc) {
  switch (rc) {
    case LIBUSB_ERROR_NO_DEVICE:
      return kIoDeviceGone;
    case LIBUSB_ERROR_ACCESS:
      return kIoAccessDenied;
    default:
      return kIoFailed;
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

std::vector<uint8_t> InterfaceClasses(const std::vector<uint8_t>& config) {
  std::vector<uint8_t> classes;
  auto cfg = ParseConfigDescriptor(config.data(), config.size(), nullptr);
  if (cfg == nullptr) return classes;
  for (int i = 0; i < cfg->interface_count; ++i)
    classes.push_back(cfg->interfaces[static_cast<size_t>(i)]->bInterfaceClass);
  return classes;
}

std::vector<uint8_t> DeviceDescriptorBytes(const libusb_device_descriptor& d) {
  return {18,
          LIBUSB_DT_DEVICE,
          static_cast<uint8_t>(d.bcdUSB),
          static_cast<uint8_t>(d.bcdUSB >> 8),
          d.bDeviceClass,
          d.bDeviceSubClass,
          d.bDeviceProtocol,
          d.bMaxPacketSize0,
          static_cast<uint8_t>(d.idVendor),
          static_cast<uint8_t>(d.idVendor >> 8),
          static_cast<uint8_t>(d.idProduct),
          static_cast<uint8_t>(d.idProduct >> 8),
          static_cast<uint8_t>(d.bcdDevice),
          static_cast<uint8_t>(d.bcdDevice >> 8),
          d.iManufacturer,
          d.iProduct,
          d.iSerialNumber,
          d.bNumConfigurations};
}

// Handles whose transfers never came back: the kernel may still write into their memory, so it is
// kept (reachable) for the life of the process and the device stays open.
void KeepForever(std::shared_ptr<void> state) {
  static std::mutex mutex;
  static auto* kept = new std::vector<std::shared_ptr<void>>();
  std::lock_guard lock(mutex);
  kept->push_back(std::move(state));
}

// What an open handle shares with its transfers in flight.
// It holds no reference to the library context: the last reference to the state may go on the
// event thread, which must never end the context it runs in.
struct HandleState {
  LibusbApi* api = nullptr;
  libusb_device_handle* handle = nullptr;  // null when access was refused
  std::mutex mutex;
  std::condition_variable drained;
  struct Pending;
  std::map<Overlapped*, Pending*> pending;
  int in_callback = 0;
  bool closing = false;
  bool claimed = false;
  std::atomic<bool> gone{false};
};

struct HandleState::Pending {
  std::shared_ptr<HandleState> state;
  Overlapped* ov;
  uint8_t* status_block;
  uint32_t base;
  uint8_t endpoint;
  libusb_transfer* transfer;
};

class LibusbHandle : public UsbDriverHandle {
 public:
  LibusbHandle(std::shared_ptr<LibusbDriver::Core> core, libusb_device* dev, libusb_device_handle* h)
      : core_(std::move(core)), state_(std::make_shared<HandleState>()) {
    state_->api = core_->api.get();
    state_->handle = h;
    LibusbApi* api = state_->api;
    address_ = api->GetDeviceAddress(dev);
    const int speed = api->GetDeviceSpeed(dev);
    speed_value_ = speed >= LIBUSB_SPEED_HIGH ? 2 : 1;
    path_ = MakePath(api->GetBusNumber(dev), address_);
  }

  // Takes the descriptors from libusb's copy and reads the product name. Claims nothing.
  void Setup(libusb_device* dev, const libusb_device_descriptor& desc) {
    LibusbApi* api = state_->api;
    device_desc_ = DeviceDescriptorBytes(desc);
    for (uint8_t i = 0; i < desc.bNumConfigurations && i < kMaxConfigurations; ++i) {
      std::vector<uint8_t> raw;
      if (api->GetRawConfigDescriptor(dev, i, &raw) == 0)
        configs_.push_back(std::move(raw));
      else
        break;
    }
    if (!configs_.empty()) {
      auto cfg = ParseConfigDescriptor(configs_[0].data(), configs_[0].size(), nullptr);
      if (cfg != nullptr && cfg->interface_count > 0) {
        interface_ = cfg->interfaces[0]->bInterfaceNumber;
        for (int i = 0; i < cfg->interface_count; ++i) {
          const UsbInterfaceRecord* rec = cfg->interfaces[static_cast<size_t>(i)].get();
          for (int s = 1; s <= rec->bNumEndpoints; ++s) {
            if (const UsbEndpoint* ep = rec->endpoint(s))
              attributes_[ep->bEndpointAddress()] = ep->bmAttributes();
          }
        }
      }
    }
    if (state_->handle == nullptr) {
      char id[32];
      std::snprintf(id, sizeof id, "USB %04x:%04x", desc.idVendor, desc.idProduct);
      name_ = std::string(id) + kAccessRefusedNote;
      return;
    }
    if (desc.iProduct != 0) {
      unsigned char langs[255] = {};
      const int n = api->GetStringDescriptor(state_->handle, 0, 0, langs, sizeof langs);
      const uint16_t language = n >= 4 ? GetLe16(langs + 2) : 0x0409;
      unsigned char text[255] = {};
      const int m = api->GetStringDescriptor(state_->handle, desc.iProduct, language, text, sizeof text);
      if (m >= 2 && text[1] == LIBUSB_DT_STRING) {
        const int end = std::min<int>(m, text[0]);
        std::u16string units;
        for (int i = 2; i + 1 < end; i += 2) units.push_back(static_cast<char16_t>(GetLe16(text + i)));
        name_ = Utf16ToSjis(units);
      }
    }
  }

  ~LibusbHandle() override {
    HandleState& s = *state_;
    std::unique_lock lock(s.mutex);
    s.closing = true;
    for (auto& [ov, p] : s.pending) s.api->CancelTransfer(p->transfer);
    // Cancelled transfers come back through the event thread; only then may they be freed.
    const bool drained = s.drained.wait_for(lock, std::chrono::milliseconds(LibusbDriver::kCloseWaitMs),
                                            [&s] { return s.pending.empty() && s.in_callback == 0; });
    if (!drained) {
      // The kernel still owns transfers: nothing they use is released, not even the device.
      lock.unlock();
      KeepForever(state_);
      KeepForever(core_);
      return;
    }
    lock.unlock();
    if (s.handle == nullptr) return;
    if (s.claimed) s.api->ReleaseInterface(s.handle, interface_);
    s.api->Close(s.handle);
  }

  bool PrepareForStreaming() override { return Claim() == kIoSuccess; }

  IoResult Request(uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out, uint32_t out_size,
                   Overlapped* ov) override {
    if (state_->gone.load()) return {false, 0, kIoDeviceGone};
    switch (code) {
      case kIoctlGetDriverVersion:
        return Value32(out, out_size, LibusbDriver::kDriverVersion);
      case kIoctlGetSecondVersion:
        return Value32(out, out_size, LIBUSB_API_VERSION);
      case kIoctlGetSpeedValue:
        return Value32(out, out_size, speed_value_);
      case kIoctlGetDeviceValue:
        if (out == nullptr || out_size < 1) return {false, 0, kIoInvalidParameter};
        out[0] = address_;
        return {true, 1, kIoSuccess};
      case kIoctlGetAltSetting:
        // The interface keeps alternate setting 0: nothing here selects another. Asking the device
        // would claim the interface implicitly.
        if (out == nullptr || out_size < 1) return {false, 0, kIoInvalidParameter};
        out[0] = 0;
        return {true, 1, kIoSuccess};
      case kIoctlGetDeviceName:
        return Name(name_, out, out_size);
      case kIoctlGetSecondName:
        return Name(path_, out, out_size);
      case kIoctlSetTransferSize:
        if (in == nullptr || in_size < 5) return {false, 0, kIoInvalidParameter};
        {
          std::lock_guard lock(state_->mutex);
          transfer_sizes_[in[0]] = GetLe32(in + 1);
        }
        if (out != nullptr && out != in && out_size >= 5) std::memcpy(out, in, 5);
        return {true, 5, kIoSuccess};
      case kIoctlAbortPipe:
        if (in == nullptr || in_size < 1) return {false, 0, kIoInvalidParameter};
        Abort(in[0]);
        return {true, 0, kIoSuccess};
      case kIoctlResetPipe: {
        if (in == nullptr || in_size < 1) return {false, 0, kIoInvalidParameter};
        const uint32_t claim = Claim();
        if (claim != kIoSuccess) return {false, 0, claim};
        const int rc = state_->api->ClearHalt(state_->handle, in[0]);
        if (rc == LIBUSB_ERROR_NO_DEVICE) state_->gone.store(true);
        return rc == 0 ? IoResult{true, 0, kIoSuccess} : IoResult{false, 0, ErrorForCall(rc)};
      }
      case kIoctlControlTransfer:
        return Control(in, in_size, ov);
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
      default:
        return {false, 0, kIoNotSupported};
    }
  }

  bool Cancel(Overlapped* ov) override {
    std::lock_guard lock(state_->mutex);
    auto it = state_->pending.find(ov);
    if (it == state_->pending.end()) return false;
    const int rc = state_->api->CancelTransfer(it->second->transfer);
    return rc == 0 || rc == LIBUSB_ERROR_NOT_FOUND;
  }

 private:
  using Pending = HandleState::Pending;

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

  // Claims the interface once, detaching a kernel driver bound to it.
  uint32_t Claim() {
    HandleState& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.claimed) return kIoSuccess;
    if (s.handle == nullptr) return kIoAccessDenied;
    s.api->SetAutoDetachKernelDriver(s.handle, 1);
    const int rc = s.api->ClaimInterface(s.handle, interface_);
    if (rc != 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) s.gone.store(true);
      return ErrorForCall(rc);
    }
    s.claimed = true;
    return kIoSuccess;
  }

  // The device and configuration descriptors come from libusb's copy; nothing goes to the device.
  bool CachedDescriptor(const BlockHeader& h, std::vector<uint8_t>* reply) const {
    if (h.request_type != 0x80 || h.request != LIBUSB_REQUEST_GET_DESCRIPTOR) return false;
    const uint8_t type = static_cast<uint8_t>(h.value >> 8);
    const uint8_t index = static_cast<uint8_t>(h.value);
    if (type == LIBUSB_DT_DEVICE && index == 0) {
      *reply = device_desc_;
      return true;
    }
    if (type == LIBUSB_DT_CONFIG && index < configs_.size()) {
      *reply = configs_[index];
      return true;
    }
    return false;
  }

  IoResult Control(uint8_t* block, uint32_t size, Overlapped* ov) {
    BlockHeader h;
    if (!ReadBlockHeader(block, size, &h)) return {false, 0, kIoInvalidParameter};
    const uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(h.length, h.data_length));
    int rc = 0;
    std::vector<uint8_t> reply;
    if (CachedDescriptor(h, &reply)) {
      rc = static_cast<int>(std::min<size_t>(reply.size(), length));
      if (rc > 0) std::memcpy(block + h.data_offset, reply.data(), static_cast<size_t>(rc));
    } else if (state_->handle == nullptr) {
      rc = LIBUSB_ERROR_ACCESS;
    } else {
      const unsigned timeout = h.timeout_s == 0 ? kUnlimitedControlTimeoutMs : h.timeout_s * 1000u;
      rc = state_->api->ControlTransfer(state_->handle, h.request_type, h.request, h.value, h.index,
                                        length > 0 ? block + h.data_offset : nullptr, length, timeout);
    }
    if (rc < 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) state_->gone.store(true);
      WriteBlockStatus(block, rc == LIBUSB_ERROR_NO_DEVICE ? kUsbdStatusDeviceGone : kUsbdStatusStall, 0);
      return {false, 0, ErrorForCall(rc)};
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
    const uint32_t claim = Claim();
    if (claim != kIoSuccess) return {false, 0, claim};
    HandleState& s = *state_;
    libusb_transfer* t = s.api->AllocTransfer();
    if (t == nullptr) return {false, 0, kIoFailed};
    auto* p = new Pending{state_, ov, status_block, base, endpoint, t};
    if (attr->second == kAttrBulk) {
      libusb_fill_bulk_transfer(t, s.handle, endpoint, data, static_cast<int>(length), &OnTransfer, p, 0);
    } else {
      libusb_fill_interrupt_transfer(t, s.handle, endpoint, data, static_cast<int>(length), &OnTransfer, p,
                                     0);
    }
    std::lock_guard lock(s.mutex);
    if (s.closing || s.gone.load()) {
      s.api->FreeTransfer(t);
      delete p;
      return {false, 0, kIoDeviceGone};
    }
    const int rc = s.api->SubmitTransfer(t);
    if (rc != 0) {
      s.api->FreeTransfer(t);
      delete p;
      if (rc == LIBUSB_ERROR_NO_DEVICE) s.gone.store(true);
      return {false, 0, ErrorForCall(rc)};
    }
    s.pending[ov] = p;
    return {false, 0, kIoPending};
  }

  void Abort(uint8_t endpoint) {
    std::lock_guard lock(state_->mutex);
    for (auto& [ov, p] : state_->pending) {
      if (p->endpoint == endpoint) state_->api->CancelTransfer(p->transfer);
    }
  }

  // Runs on the event thread.
  static void LIBUSB_CALL OnTransfer(libusb_transfer* t) {
    auto* p = static_cast<Pending*>(t->user_data);
    std::shared_ptr<HandleState> state = std::move(p->state);
    {
      std::lock_guard lock(state->mutex);
      state->pending.erase(p->ov);
      ++state->in_callback;
    }
    const int status = t->status;
    const uint32_t actual = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    if (status == LIBUSB_TRANSFER_NO_DEVICE) state->gone.store(true);
    // A cancelled or failed transfer may still have carried data: its bytes are reported, not lost.
    const bool ok = status == LIBUSB_TRANSFER_COMPLETED;
    WriteBlockStatus(p->status_block, StatusFor(status), 0);
    state->api->FreeTransfer(t);
    Overlapped* ov = p->ov;
    const uint32_t base = p->base;
    delete p;
    ov->Complete(ok, ok || actual > 0 ? base + actual : 0, ErrorFor(status));
    std::lock_guard lock(state->mutex);
    --state->in_callback;
    state->drained.notify_all();
  }

  std::shared_ptr<LibusbDriver::Core> core_;
  std::shared_ptr<HandleState> state_;
  int interface_ = 0;
  uint8_t address_ = 0;
  uint32_t speed_value_ = 1;
  std::string name_;
  std::string path_;
  std::vector<uint8_t> device_desc_;
  std::vector<std::vector<uint8_t>> configs_;
  std::map<uint8_t, uint8_t> attributes_;
  std::map<uint8_t, uint32_t> transfer_sizes_;
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

std::shared_ptr<LibusbDriver> LibusbDriver::Create(std::vector<UsbDeviceId> extra_ids,
                                                   std::shared_ptr<LibusbApi> api) {
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

bool LibusbDriver::IsTunerCandidate(uint16_t vendor_id, uint16_t product_id, uint8_t device_class,
                                    const std::vector<uint8_t>& interface_classes,
                                    const std::vector<UsbDeviceId>& ids) {
  if (IsForeignClass(device_class)) return false;
  if (std::any_of(interface_classes.begin(), interface_classes.end(), IsForeignClass)) return false;
  if (std::any_of(ids.begin(), ids.end(), [&](const UsbDeviceId& id) {
        return id.vendor_id == vendor_id && id.product_id == product_id;
      })) {
    return true;
  }
  if (vendor_id != kCypressVendorId) return false;
  return device_class == LIBUSB_CLASS_VENDOR_SPEC ||
         std::find(interface_classes.begin(), interface_classes.end(), LIBUSB_CLASS_VENDOR_SPEC) !=
             interface_classes.end();
}

bool LibusbDriver::IsCandidate(libusb_device* dev, libusb_device_descriptor* desc,
                               std::vector<uint8_t>* config) const {
  if (core_->api->GetDeviceDescriptor(dev, desc) != 0) return false;
  config->clear();
  if (desc->bNumConfigurations > 0) core_->api->GetRawConfigDescriptor(dev, 0, config);
  return IsTunerCandidate(desc->idVendor, desc->idProduct, desc->bDeviceClass, InterfaceClasses(*config),
                          ids_);
}

std::vector<std::string> LibusbDriver::EnumerateDevices() {
  std::vector<std::string> paths;
  libusb_device** list = nullptr;
  const ssize_t n = core_->api->GetDeviceList(core_->ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    std::vector<uint8_t> config;
    if (!IsCandidate(list[i], &desc, &config)) continue;
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
    std::vector<uint8_t> config;
    if (!IsCandidate(dev, &desc, &config)) break;
    libusb_device_handle* h = nullptr;
    const int rc = core_->api->Open(dev, &h);
    if (rc == LIBUSB_ERROR_ACCESS) {
      h = nullptr;  // listed with its descriptors, but it cannot stream
    } else if (rc != 0 || h == nullptr) {
      break;
    }
    result = std::make_unique<LibusbHandle>(core_, dev, h);
    result->Setup(dev, desc);
    if (h != nullptr) core_->EnsureEventThread();
    break;
  }
  if (list != nullptr) core_->api->FreeDeviceList(list);
  return result;
}

std::string Utf16ToSjis(const std::u16string& text) {
  std::string out;
  std::string utf8;
  auto flush = [&] {
    out += platform::Utf8ToSjis(utf8);
    utf8.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      flush();
      out += '?';
      continue;
    }
    if (c == 0) break;
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  flush();
  return out;
}

std::shared_ptr<void> LibusbDriver::WatchDevices(std::function<void()> on_change) {
  if (!core_->api->HasCapability(LIBUSB_CAP_HAS_HOTPLUG)) return nullptr;
  auto* watch = new HotplugWatch{core_, std::move(on_change), 0};
  const int rc = core_->api->HotplugRegisterCallback(
      core_->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
      &HotplugWatch::OnHotplug, watch, &watch->handle);
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
