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

// Time a control request waits when it asks for no limit: a tuner that never answers must not hang
// the caller.
constexpr unsigned kUnlimitedControlTimeoutMs = 5000;

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

UsbStatus StatusForTransfer(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return UsbStatus::kOk;
    case LIBUSB_TRANSFER_CANCELLED:
      return UsbStatus::kCancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return UsbStatus::kDeviceGone;
    case LIBUSB_TRANSFER_STALL:
      return UsbStatus::kStall;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return UsbStatus::kTimeout;
    default:
      return UsbStatus::kError;
  }
}

UsbStatus StatusForCall(int rc) {
  switch (rc) {
    case LIBUSB_SUCCESS:
      return UsbStatus::kOk;
    case LIBUSB_ERROR_NO_DEVICE:
      return UsbStatus::kDeviceGone;
    case LIBUSB_ERROR_ACCESS:
      return UsbStatus::kAccessDenied;
    case LIBUSB_ERROR_BUSY:
      return UsbStatus::kBusy;
    case LIBUSB_ERROR_PIPE:
      return UsbStatus::kStall;
    case LIBUSB_ERROR_TIMEOUT:
      return UsbStatus::kTimeout;
    case LIBUSB_ERROR_INVALID_PARAM:
      return UsbStatus::kInvalid;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return UsbStatus::kNotSupported;
    default:
      return UsbStatus::kError;
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
  std::map<UsbTransfer*, Pending*> pending;
  int in_callback = 0;
  bool closing = false;
  bool claimed = false;
  std::atomic<bool> gone{false};
};

struct HandleState::Pending {
  std::shared_ptr<HandleState> state;
  UsbTransfer* transfer;
  uint8_t endpoint;
  libusb_transfer* lt;
};

class LibusbHandle : public UsbBackend {
 public:
  LibusbHandle(std::shared_ptr<LibusbDriver::Core> core, libusb_device_handle* h)
      : core_(std::move(core)), state_(std::make_shared<HandleState>()) {
    state_->api = core_->api.get();
    state_->handle = h;
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
    for (auto& [transfer, p] : s.pending) s.api->CancelTransfer(p->lt);
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

  UsbStatus PrepareForStreaming() override { return Claim(); }

  UsbStatus Submit(uint8_t endpoint, uint8_t* data, uint32_t length, UsbTransfer* transfer) override {
    if (state_->gone.load()) return UsbStatus::kDeviceGone;
    if (transfer == nullptr || length > 0x7FFFFFFF) return UsbStatus::kInvalid;
    auto attr = attributes_.find(endpoint);
    if (attr == attributes_.end()) return UsbStatus::kInvalid;
    if (attr->second != kAttrBulk && attr->second != kAttrInterrupt) return UsbStatus::kNotSupported;
    const UsbStatus claim = Claim();
    if (claim != UsbStatus::kOk) return claim;
    HandleState& s = *state_;
    libusb_transfer* t = s.api->AllocTransfer();
    if (t == nullptr) return UsbStatus::kError;
    auto* p = new Pending{state_, transfer, endpoint, t};
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
      return UsbStatus::kDeviceGone;
    }
    const int rc = s.api->SubmitTransfer(t);
    if (rc != 0) {
      s.api->FreeTransfer(t);
      delete p;
      if (rc == LIBUSB_ERROR_NO_DEVICE) s.gone.store(true);
      return StatusForCall(rc);
    }
    s.pending[transfer] = p;
    return UsbStatus::kOk;
  }

  bool Cancel(UsbTransfer* transfer) override {
    std::lock_guard lock(state_->mutex);
    auto it = state_->pending.find(transfer);
    if (it == state_->pending.end()) return false;
    const int rc = state_->api->CancelTransfer(it->second->lt);
    return rc == 0 || rc == LIBUSB_ERROR_NOT_FOUND;
  }

  bool Abort(uint8_t endpoint) override {
    if (state_->gone.load()) return false;
    std::lock_guard lock(state_->mutex);
    for (auto& [transfer, p] : state_->pending) {
      if (p->endpoint == endpoint) state_->api->CancelTransfer(p->lt);
    }
    return true;
  }

  UsbStatus ClearHalt(uint8_t endpoint) override {
    if (state_->gone.load()) return UsbStatus::kDeviceGone;
    const UsbStatus claim = Claim();
    if (claim != UsbStatus::kOk) return claim;
    const int rc = state_->api->ClearHalt(state_->handle, endpoint);
    if (rc == LIBUSB_ERROR_NO_DEVICE) state_->gone.store(true);
    return StatusForCall(rc);
  }

  bool SetTransferSize(uint8_t endpoint, uint32_t size) override {
    if (state_->gone.load()) return false;
    std::lock_guard lock(state_->mutex);
    transfer_sizes_[endpoint] = size;
    return true;
  }

  UsbStatus ControlTransfer(const UsbSetup& setup, uint8_t* data, uint16_t length, uint32_t timeout_ms,
                            uint32_t* actual) override {
    *actual = 0;
    if (state_->gone.load()) return UsbStatus::kDeviceGone;
    if (state_->handle == nullptr) return UsbStatus::kAccessDenied;
    const int rc = state_->api->ControlTransfer(state_->handle, setup.request_type, setup.request,
                                                setup.value, setup.index, length > 0 ? data : nullptr, length,
                                                timeout_ms == 0 ? kUnlimitedControlTimeoutMs : timeout_ms);
    if (rc < 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) state_->gone.store(true);
      return StatusForCall(rc);
    }
    *actual = static_cast<uint32_t>(rc);
    return UsbStatus::kOk;
  }

  // The device and configuration descriptors come from libusb's copy; nothing goes to the device.
  UsbStatus GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* data, uint16_t length,
                          uint32_t timeout_ms, uint32_t* actual) override {
    *actual = 0;
    if (state_->gone.load()) return UsbStatus::kDeviceGone;
    const std::vector<uint8_t>* copy = nullptr;
    if (type == LIBUSB_DT_DEVICE && index == 0) copy = &device_desc_;
    if (type == LIBUSB_DT_CONFIG && index < configs_.size()) copy = &configs_[index];
    if (copy != nullptr) {
      *actual = static_cast<uint32_t>(std::min<size_t>(copy->size(), length));
      if (*actual > 0) std::memcpy(data, copy->data(), *actual);
      return UsbStatus::kOk;
    }
    UsbSetup setup;
    setup.request_type = LIBUSB_ENDPOINT_IN;
    setup.request = LIBUSB_REQUEST_GET_DESCRIPTOR;
    setup.value = static_cast<uint16_t>((type << 8) | index);
    setup.index = type == LIBUSB_DT_STRING ? language : 0;
    return ControlTransfer(setup, data, length, timeout_ms, actual);
  }

  std::optional<uint32_t> DriverVersion() override { return kDriverVersion; }
  std::optional<std::string> DeviceName() override { return name_; }
  // The interface keeps alternate setting 0: nothing here selects another. Asking the device would
  // claim the interface implicitly.
  std::optional<uint8_t> AlternateSetting() override { return uint8_t{0}; }

 private:
  using Pending = HandleState::Pending;

  // Claims the interface once, detaching a kernel driver bound to it.
  UsbStatus Claim() {
    HandleState& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.claimed) return UsbStatus::kOk;
    if (s.handle == nullptr) return UsbStatus::kAccessDenied;
    s.api->SetAutoDetachKernelDriver(s.handle, 1);
    const int rc = s.api->ClaimInterface(s.handle, interface_);
    if (rc != 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) s.gone.store(true);
      return StatusForCall(rc);
    }
    s.claimed = true;
    return UsbStatus::kOk;
  }

  // Runs on the event thread.
  static void LIBUSB_CALL OnTransfer(libusb_transfer* t) {
    auto* p = static_cast<Pending*>(t->user_data);
    std::shared_ptr<HandleState> state = std::move(p->state);
    {
      std::lock_guard lock(state->mutex);
      state->pending.erase(p->transfer);
      ++state->in_callback;
    }
    const int status = t->status;
    const uint32_t actual = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    if (status == LIBUSB_TRANSFER_NO_DEVICE) state->gone.store(true);
    state->api->FreeTransfer(t);
    UsbTransfer* transfer = p->transfer;
    delete p;
    // A cancelled or failed transfer may still have carried data: its bytes are reported, not lost.
    transfer->Complete(StatusForTransfer(status), actual);
    std::lock_guard lock(state->mutex);
    --state->in_callback;
    state->drained.notify_all();
  }

  std::shared_ptr<LibusbDriver::Core> core_;
  std::shared_ptr<HandleState> state_;
  int interface_ = 0;
  std::string name_;
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

std::string LibusbDriver::DeviceLocation(const std::string& path) {
  unsigned bus = 0, address = 0;
  if (!ParsePath(path, &bus, &address)) return std::string();
  std::string location;
  libusb_device** list = nullptr;
  const ssize_t n = core_->api->GetDeviceList(core_->ctx, &list);
  for (ssize_t i = 0; i < n && location.empty(); ++i) {
    if (core_->api->GetBusNumber(list[i]) != bus || core_->api->GetDeviceAddress(list[i]) != address) continue;
    libusb_device_descriptor desc{};
    std::vector<uint8_t> config;
    uint8_t ports[8];
    const int depth = core_->api->GetPortNumbers(list[i], ports, static_cast<int>(sizeof ports));
    if (!IsCandidate(list[i], &desc, &config) || depth <= 0) break;
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%04x@%u-", desc.idVendor, desc.idProduct, bus);
    location = text;
    for (int p = 0; p < depth; ++p) {
      if (p > 0) location.push_back('.');
      location.append(std::to_string(ports[p]));
    }
  }
  if (list != nullptr) core_->api->FreeDeviceList(list);
  return location;
}

std::unique_ptr<UsbBackend> LibusbDriver::Open(const std::string& path) {
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
    result = std::make_unique<LibusbHandle>(core_, h);
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
