#include "usbfs_emulator.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "usb/ts_source.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace pelkan::usbfs {
namespace {

// The emulation hands URBs to libusb through umockdev's socket, an ordering ThreadSanitizer does not
// see: the accesses of the emulation's threads are not tracked. Pelkan's own threads still are.
struct UntrackedByTsan {
#if defined(__SANITIZE_THREAD__)
  UntrackedByTsan() {
    __tsan_ignore_thread_begin();
  }
  ~UntrackedByTsan() {
    __tsan_ignore_thread_end();
  }
#else
  UntrackedByTsan() {}   // NOLINT: not trivial, so that a guard object is not "unused"
  ~UntrackedByTsan() {}  // NOLINT
#endif
};

// What a current kernel's usbfs offers on a host controller with scatter-gather (xHCI): libusb then
// sends each bulk transfer as one URB.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr size_t kFifoChunk = 4096;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char16_t c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

std::string Hex(unsigned v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*x", width, v);
  return buf;
}

}  // namespace

EmulatedDevice::EmulatedDevice(UMockdevTestbed* testbed, DeviceDescription device_desc)
    : device_desc_(std::move(device_desc)), testbed_(testbed) {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", device_desc_.bus, device_desc_.address);
  node_ = node;
  const std::vector<uint8_t>& dd = device_desc_.device_descriptor;
  // Attribute texts end with a newline, as the kernel's do ("dev" names the node for umockdev).
  const std::string dev = "189:" + std::to_string((device_desc_.bus - 1) * 128 + device_desc_.address - 1);
  const std::string busnum = std::to_string(device_desc_.bus);
  const std::string devnum = std::to_string(device_desc_.address);
  const std::string busnum_attr = busnum + "\n";
  const std::string devnum_attr = devnum + "\n";
  const std::string vendor = Hex(Le16(&dd[8]), 4) + "\n";
  const std::string product = Hex(Le16(&dd[10]), 4) + "\n";
  const std::string device_class = Hex(dd[4], 2) + "\n";
  gchar* syspath = umockdev_testbed_add_device(
      testbed_, "usb", device_desc_.sysname.c_str(), nullptr, "dev", dev.c_str(), "busnum",
      busnum_attr.c_str(), "devnum", devnum_attr.c_str(), "speed", "480\n", "bConfigurationValue", "1\n",
      "idVendor", vendor.c_str(), "idProduct", product.c_str(), "bDeviceClass", device_class.c_str(), nullptr,
      "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM", busnum.c_str(), "DEVNUM", devnum.c_str(), nullptr);
  if (syspath == nullptr) throw std::runtime_error("umockdev refused the device");
  std::vector<uint8_t> descriptors = dd;
  descriptors.insert(descriptors.end(), device_desc_.config_descriptor.begin(),
                     device_desc_.config_descriptor.end());
  umockdev_testbed_set_attribute_binary(testbed_, syspath, "descriptors", descriptors.data(),
                                        static_cast<int>(descriptors.size()));
  syspath_ = syspath;
  g_free(syspath);

  // The node is a FIFO, kept full (not writable) while no URB waits to be reaped.
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string path = std::string(root) + node_;
  g_free(root);
  g_mkdir_with_parents(path.substr(0, path.rfind('/')).c_str(), 0755);
  if (mkfifo(path.c_str(), 0666) != 0)
    throw std::runtime_error("mkfifo " + path + ": " + std::strerror(errno));
  fifo_ = open(path.c_str(), O_RDWR | O_NONBLOCK);
  if (fifo_ < 0) throw std::runtime_error("open " + path);
  char zero[kFifoChunk] = {};
  while (write(fifo_, zero, sizeof zero) > 0) {
  }

  // Which interface each endpoint belongs to.
  const std::vector<uint8_t>& cfg = device_desc_.config_descriptor;
  uint8_t interface = 0;
  for (size_t p = 0; p + 2 <= cfg.size() && cfg[p] >= 2; p += cfg[p]) {
    if (cfg[p + 1] == 4 && p + 2 < cfg.size()) interface = cfg[p + 2];
    if (cfg[p + 1] == 5 && p + 2 < cfg.size()) endpoint_interface_[cfg[p + 2]] = interface;
  }
  if (!device_desc_.driver.empty()) driver_bound_[0] = true;
  events_done_.assign(device_desc_.events.size(), false);

  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedDevice::OnIoctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(&EmulatedDevice::OnConnected), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedDevice::OnVanished), this);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error)) {
    const std::string message = error != nullptr ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("attach_ioctl: " + message);
  }
  if (device_desc_.stream_endpoint != 0) thread_ = std::thread([this] { Stream(); });
}

EmulatedDevice::~EmulatedDevice() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  g_object_unref(handler_);
  if (fifo_ >= 0) close(fifo_);
}

DeviceCounts EmulatedDevice::Counts() {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::vector<std::pair<uint8_t, std::vector<uint8_t>>> EmulatedDevice::OutTransfers() {
  std::lock_guard lock(mutex_);
  return out_;
}

int EmulatedDevice::UrbsHeld() {
  std::lock_guard lock(mutex_);
  size_t n = stream_.size() + waiting_.size();
  for (const auto& [key, c] : clients_) n += c->reapable.size();
  return static_cast<int>(n);
}

void EmulatedDevice::Unplug() {
  std::lock_guard lock(mutex_);
  UnplugLocked();
}

void EmulatedDevice::Remove() {
  {
    std::lock_guard lock(mutex_);
    UnplugLocked();
  }
  cv_.notify_all();
  umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath_.c_str());
}

void EmulatedDevice::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* d = static_cast<EmulatedDevice*>(self);
  UntrackedByTsan untracked;
  std::lock_guard lock(d->mutex_);
  ++d->counts_.opens;
  d->clients_[client] = std::make_unique<Client>();
}

void EmulatedDevice::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  // The file was closed: the kernel drops its URBs and claims.
  auto* d = static_cast<EmulatedDevice*>(self);
  UntrackedByTsan untracked;
  std::lock_guard lock(d->mutex_);
  auto it = d->clients_.find(client);
  if (it == d->clients_.end()) return;
  Client* c = it->second.get();
  auto drop = [c](const Urb& u) { return u.client == c; };
  d->stream_.erase(std::remove_if(d->stream_.begin(), d->stream_.end(), drop), d->stream_.end());
  d->waiting_.erase(std::remove_if(d->waiting_.begin(), d->waiting_.end(), drop), d->waiting_.end());
  d->gone_clients_.push_back(std::move(it->second));
  d->clients_.erase(it);
  bool any = false;
  for (const auto& [key, other] : d->clients_) any |= !other->reapable.empty();
  d->SetReady(any);
}

int EmulatedDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* d = static_cast<EmulatedDevice*>(self);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  // The client is this process: its pointers are valid here.
  void* argp = nullptr;
  if (arg != nullptr && arg->data_len >= static_cast<int>(sizeof(void*)))
    std::memcpy(&argp, arg->data, sizeof argp);
  int err = 0;
  long result;
  {
    UntrackedByTsan untracked;
    std::lock_guard lock(d->mutex_);
    auto& c = d->clients_[client];
    if (c == nullptr) c = std::make_unique<Client>();
    result = d->Handle(c.get(), request, argp, &err);
  }
  d->cv_.notify_all();
  umockdev_ioctl_client_complete(client, result, err);
  return TRUE;
}

uint8_t EmulatedDevice::InterfaceOf(uint8_t endpoint) const {
  auto it = endpoint_interface_.find(endpoint);
  return it == endpoint_interface_.end() ? 0xFF : it->second;
}

bool EmulatedDevice::ClaimImplicitly(Client* c, uint8_t interface, int* err) {
  if (c->claimed[interface]) return true;
  for (const auto& [key, other] : clients_) {
    if (other.get() != c && other->claimed[interface]) {
      *err = EBUSY;
      return false;
    }
  }
  if (driver_bound_[interface]) {
    *err = EBUSY;
    return false;
  }
  c->claimed[interface] = true;
  ++counts_.claims;
  return true;
}

long EmulatedDevice::Handle(Client* c, unsigned long request, void* argp, int* err) {
  if (request == USBDEVFS_GET_CAPABILITIES) {
    *static_cast<uint32_t*>(argp) = kCapabilities;
    return 0;
  }
  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
    // After an unplug the URBs that failed can still be reaped; then every call says "no device".
    if (c->reapable.empty()) {
      *err = unplugged_ ? ENODEV : EAGAIN;
      return -1;
    }
    *static_cast<void**>(argp) = c->reapable.front();
    c->reapable.pop_front();
    bool any = false;
    for (const auto& [key, other] : clients_) any |= !other->reapable.empty();
    SetReady(any);
    return 0;
  }
  if (unplugged_) {
    *err = ENODEV;
    return -1;
  }
  switch (request) {
    case USBDEVFS_SUBMITURB:
      return Submit(c, static_cast<usbdevfs_urb*>(argp), err);
    case USBDEVFS_DISCARDURB: {
      auto* u = static_cast<usbdevfs_urb*>(argp);
      auto it = std::find_if(stream_.begin(), stream_.end(),
                             [&](const Urb& x) { return x.urb == u && x.client == c; });
      if (it != stream_.end()) {
        if (it == stream_.begin() && pause_ != nullptr && pause_->complete_on_discard) {
          // The device resumed just before the discard: the URB is already complete.
          pause_ = nullptr;
          const uint32_t length = static_cast<uint32_t>(u->buffer_length);
          for (uint32_t i = it->filled; i < length; ++i) {
            static_cast<uint8_t*>(u->buffer)[i] = usb::PatternTsSource::ByteAt(
                device_desc_.stream_offset + counts_.streamed + (i - it->filled));
          }
          counts_.streamed += length - it->filled;
          stream_.pop_front();
          Complete(c, u, 0, length);
          *err = EINVAL;
          return -1;
        }
        const uint32_t filled = it->filled;
        stream_.erase(it);
        ++counts_.discarded;
        Complete(c, u, -ENOENT, filled);
        return 0;
      }
      auto w = std::find_if(waiting_.begin(), waiting_.end(),
                            [&](const Urb& x) { return x.urb == u && x.client == c; });
      if (w != waiting_.end()) {
        waiting_.erase(w);
        ++counts_.discarded;
        Complete(c, u, -ENOENT, 0);
        return 0;
      }
      *err = EINVAL;
      return -1;
    }
    case USBDEVFS_CLAIMINTERFACE: {
      const uint8_t interface = static_cast<uint8_t>(*static_cast<unsigned*>(argp));
      if (c->claimed[interface]) return 0;
      return ClaimImplicitly(c, interface, err) ? 0 : -1;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      const uint8_t interface = static_cast<uint8_t>(*static_cast<unsigned*>(argp));
      if (!c->claimed[interface]) {
        *err = EINVAL;
        return -1;
      }
      c->claimed[interface] = false;
      return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      auto* dc = static_cast<usbdevfs_disconnect_claim*>(argp);
      const uint8_t interface = static_cast<uint8_t>(dc->interface);
      if (driver_bound_[interface]) {
        const bool named = std::strncmp(dc->driver, device_desc_.driver.c_str(), sizeof dc->driver) == 0;
        if (((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named) ||
            ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named)) {
          *err = EBUSY;
          return -1;
        }
        driver_bound_[interface] = false;
        ++counts_.detaches;
      }
      return ClaimImplicitly(c, interface, err) ? 0 : -1;
    }
    case USBDEVFS_IOCTL: {
      auto* io = static_cast<usbdevfs_ioctl*>(argp);
      const uint8_t interface = static_cast<uint8_t>(io->ifno);
      if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!driver_bound_[interface]) {
          *err = ENODATA;
          return -1;
        }
        driver_bound_[interface] = false;
        ++counts_.detaches;
        return 0;
      }
      if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (!device_desc_.driver.empty() && interface == 0 && !driver_bound_[interface] &&
            !c->claimed[interface]) {
          driver_bound_[interface] = true;
          ++counts_.attaches;
        }
        return 0;
      }
      *err = ENOTTY;
      return -1;
    }
    case USBDEVFS_GETDRIVER: {
      auto* gd = static_cast<usbdevfs_getdriver*>(argp);
      if (!driver_bound_[static_cast<uint8_t>(gd->interface)]) {
        *err = ENODATA;
        return -1;
      }
      std::snprintf(gd->driver, sizeof gd->driver, "%s", device_desc_.driver.c_str());
      return 0;
    }
    case USBDEVFS_CLEAR_HALT: {
      const uint8_t endpoint = static_cast<uint8_t>(*static_cast<unsigned*>(argp));
      if (!ClaimImplicitly(c, InterfaceOf(endpoint), err)) return -1;
      if (endpoint == device_desc_.stream_endpoint) halted_ = false;
      ++counts_.halt_clears;
      return 0;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
      return 0;
    default:
      *err = ENOTTY;
      return -1;
  }
}

long EmulatedDevice::Submit(Client* c, usbdevfs_urb* u, int* err) {
  ++counts_.submitted;
  if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
    Control(c, u);
    return 0;
  }
  const uint8_t endpoint = u->endpoint;
  if (InterfaceOf(endpoint) == 0xFF) {
    *err = ENOENT;
    return -1;
  }
  if (!ClaimImplicitly(c, InterfaceOf(endpoint), err)) return -1;
  if ((endpoint & 0x80) == 0) {
    const auto* bytes = static_cast<const uint8_t*>(u->buffer);
    out_.emplace_back(endpoint, std::vector<uint8_t>(bytes, bytes + u->buffer_length));
    Complete(c, u, 0, static_cast<uint32_t>(u->buffer_length));
    return 0;
  }
  if (endpoint == device_desc_.stream_endpoint) {
    if (halted_) {
      Complete(c, u, -EPIPE, 0);
      return 0;
    }
    stream_.push_back(Urb{u, c, next_ordinal_++, 0});
    counts_.max_in_flight = std::max(counts_.max_in_flight, static_cast<int>(stream_.size()));
    return 0;
  }
  waiting_.push_back(Urb{u, c, 0, 0});  // nobody presses a key: interrupt IN transfers wait
  return 0;
}

void EmulatedDevice::Control(Client* c, usbdevfs_urb* u) {
  auto* buf = static_cast<uint8_t*>(u->buffer);
  if (u->buffer_length < 8) {
    Complete(c, u, -EINVAL, 0);
    return;
  }
  const uint8_t type = buf[0];
  const uint8_t request = buf[1];
  const uint16_t value = Le16(buf + 2);
  const uint16_t index = Le16(buf + 4);
  const uint16_t length = std::min<uint16_t>(Le16(buf + 6), static_cast<uint16_t>(u->buffer_length - 8));
  // The kernel claims the interface a request is addressed to when nobody has.
  int ignored = 0;
  if ((type & 0x1F) == 1) ClaimImplicitly(c, static_cast<uint8_t>(index), &ignored);
  std::vector<uint8_t> reply;
  bool stall = false;
  if ((type & 0x60) == 0 && (type & 0x80)) {
    switch (request) {
      case 6: {
        const uint8_t dtype = static_cast<uint8_t>(value >> 8);
        const uint8_t dindex = static_cast<uint8_t>(value);
        if (dtype == 1)
          reply = device_desc_.device_descriptor;
        else if (dtype == 2 && dindex == 0)
          reply = device_desc_.config_descriptor;
        else if (dtype == 3 && dindex == 0)
          reply = {4, 3, 0x09, 0x04};
        else if (dtype == 3 && device_desc_.strings.count(dindex))
          reply = StringDescriptor(device_desc_.strings[dindex]);
        else
          stall = true;
        break;
      }
      case 0:
        reply = {0, 0};
        break;
      case 8:
        reply = {1};
        break;
      case 10:
        reply = {0};
        break;
      default:
        stall = true;
    }
  }
  if (stall) {
    Complete(c, u, -EPIPE, 0);
    return;
  }
  uint32_t n = length;
  if (type & 0x80) {
    n = std::min<uint32_t>(length, static_cast<uint32_t>(reply.size()));
    std::memcpy(buf + 8, reply.data(), n);
  }
  Complete(c, u, 0, n);
}

void EmulatedDevice::Complete(Client* c, usbdevfs_urb* u, int status, uint32_t actual) {
  u->status = status;
  u->actual_length = static_cast<int>(actual);
  c->reapable.push_back(u);
  SetReady(true);
}

void EmulatedDevice::SetReady(bool ready) {
  if (ready == ready_) return;
  ready_ = ready;
  char chunk[kFifoChunk] = {};
  // Writable (POLLOUT) while one chunk of the FIFO is free.
  if (ready) {
    (void)!read(fifo_, chunk, sizeof chunk);
  } else {
    (void)!write(fifo_, chunk, sizeof chunk);
  }
}

const StreamEvent* EmulatedDevice::EventFor(uint64_t urb) const {
  for (size_t i = 0; i < device_desc_.events.size(); ++i) {
    if (!events_done_[i] && device_desc_.events[i].urb == urb) return &device_desc_.events[i];
  }
  return nullptr;
}

void EmulatedDevice::UnplugLocked() {
  if (unplugged_) return;
  unplugged_ = true;
  // Every URB still pending fails first; afterwards each call answers "no device".
  for (const Urb& u : stream_) Complete(u.client, u.urb, -ESHUTDOWN, u.filled);
  for (const Urb& u : waiting_) Complete(u.client, u.urb, -ESHUTDOWN, 0);
  stream_.clear();
  waiting_.clear();
}

void EmulatedDevice::Stream() {
  UntrackedByTsan untracked;
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (stream_.empty() || halted_ || unplugged_) {
      cv_.wait(lock);
      continue;
    }
    if (pause_ != nullptr) {
      if (std::chrono::steady_clock::now() < paused_until_) {
        cv_.wait_until(lock, paused_until_);
        continue;
      }
      pause_ = nullptr;
    }
    Urb& head = stream_.front();
    const uint32_t length = static_cast<uint32_t>(head.urb->buffer_length);
    const StreamEvent* event = EventFor(head.ordinal);
    const uint32_t target = event != nullptr ? std::min(length, event->bytes) : length;
    auto* dst = static_cast<uint8_t*>(head.urb->buffer);
    for (uint32_t i = head.filled; i < target; ++i) {
      dst[i] =
          usb::PatternTsSource::ByteAt(device_desc_.stream_offset + counts_.streamed + (i - head.filled));
    }
    if (target > head.filled) counts_.streamed += target - head.filled;
    head.filled = std::max(head.filled, target);
    if (event != nullptr && head.filled == target) {
      events_done_[static_cast<size_t>(event - device_desc_.events.data())] = true;
      switch (event->kind) {
        case StreamEvent::Kind::kShort: {
          const Urb done = head;
          stream_.pop_front();
          Complete(done.client, done.urb, 0, done.filled);
          break;
        }
        case StreamEvent::Kind::kPause:
          pause_ = event;
          paused_until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(event->ms);
          break;
        case StreamEvent::Kind::kStall: {
          halted_ = true;
          const Urb done = head;
          stream_.pop_front();
          Complete(done.client, done.urb, -EPIPE, done.filled);
          for (const Urb& u : stream_) Complete(u.client, u.urb, -EPIPE, 0);
          stream_.clear();
          break;
        }
        case StreamEvent::Kind::kUnplug:
          UnplugLocked();
          break;
      }
      continue;
    }
    if (head.filled == length) {
      const Urb done = head;
      stream_.pop_front();
      Complete(done.client, done.urb, 0, length);
    }
  }
}

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
  devices_.clear();
  g_object_unref(testbed_);
}

EmulatedDevice& Testbed::Add(DeviceDescription device_desc) {
  devices_.push_back(std::make_unique<EmulatedDevice>(testbed_, std::move(device_desc)));
  return *devices_.back();
}

EmulatedDevice& Testbed::Plug(DeviceDescription device_desc) {
  EmulatedDevice& d = Add(std::move(device_desc));
  umockdev_testbed_uevent(testbed_, d.syspath().c_str(), "add");
  return d;
}

DeviceDescription Fx2Tuner(uint8_t address, const std::u16string& product) {
  DeviceDescription s;
  s.sysname = "1-" + std::to_string(address);
  s.address = address;
  s.device_descriptor = {18,   1,    0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 0xB4,
                         0x04, 0x04, 0x10, 0x00, 0xA0, 1,    2,    3,  1};
  s.config_descriptor = {
      9, 2, 46,   0, 1,    1,    0,    0x80, 50,  // one interface
      9, 4, 0,    0, 4,    0xFF, 0xFF, 0xFF, 0,   // vendor-specific
      7, 5, 0x02, 2, 0x00, 0x02, 0,               // bulk OUT 2
      7, 5, 0x04, 2, 0x00, 0x02, 0,               // bulk OUT 4
      7, 5, 0x86, 2, 0x00, 0x02, 0,               // bulk IN 6: the stream
      7, 5, 0x88, 3, 0x40, 0x00, 4,               // interrupt IN 8: remote-control keys
  };
  s.strings = {{1, u"Pelkan"}, {2, product}, {3, u"0001"}};
  s.stream_endpoint = 0x86;
  return s;
}

DeviceDescription StorageBridge(uint8_t address) {
  DeviceDescription s;
  s.sysname = "1-" + std::to_string(address);
  s.address = address;
  s.device_descriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xB4, 0x04, 0x30, 0x68, 0x01, 0x00, 1, 2, 3, 1};
  s.config_descriptor = {
      9, 2, 32,   0, 1,    1,    0,    0x80, 50,  // one interface
      9, 4, 0,    0, 2,    0x08, 0x06, 0x50, 0,   // mass storage, SCSI, bulk only
      7, 5, 0x01, 2, 0x00, 0x02, 0,               // bulk OUT 1
      7, 5, 0x82, 2, 0x00, 0x02, 0,               // bulk IN 2
  };
  s.strings = {{1, u"Cypress"}, {2, u"USB2.0 Storage Device"}, {3, u"000000001"}};
  s.driver = "usb-storage";
  return s;
}

}  // namespace pelkan::usbfs
