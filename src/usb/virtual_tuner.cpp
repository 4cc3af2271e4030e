#include "usb/virtual_tuner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "usb/request_block.h"
#include "usb/generator_ts_source.h"

namespace pelkan::usb {

struct VirtualTunerDriver::Shared {
  VirtualTunerOptions options;
  mutable std::mutex mutex;
  std::vector<std::vector<uint8_t>> out_writes;
  bool present = true;
  int open_handles = 0;
  int halt_clears = 0;
  std::atomic<uint64_t> bytes_streamed{0};
};

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
  std::vector<uint8_t> d;
  d.push_back(static_cast<uint8_t>(2 + 2 * text.size()));
  d.push_back(3);
  for (char16_t c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

void CopyName(const char* name, uint8_t* out, uint32_t size) {
  std::memset(out, 0, size);
  if (size > 0) std::memcpy(out, name, std::min<size_t>(std::strlen(name), size - 1));
}

// One bulk transfer held by the virtual device.
struct Xfer {
  Overlapped* ov = nullptr;
  uint8_t* status_block = nullptr;  // where the status words go
  uint8_t* dst = nullptr;
  uint32_t length = 0;
  uint32_t base = 0;                // data offset counted in the returned bytes
  uint8_t endpoint = 0;
  uint64_t index = 0;
};

// A transfer that failed or was cancelled still reports the bytes it had received.
void CompleteXfer(const Xfer& x, bool ok, uint32_t data_bytes, uint32_t status1, uint32_t error) {
  WriteBlockStatus(x.status_block, status1, 0);
  x.ov->Complete(ok, data_bytes > 0 || ok ? x.base + data_bytes : 0, error);
}

class VirtualTunerHandle : public UsbDriverHandle {
 public:
  explicit VirtualTunerHandle(std::shared_ptr<VirtualTunerDriver::Shared> shared) : shared_(std::move(shared)) {
    std::lock_guard lock(shared_->mutex);
    ++shared_->open_handles;
  }

  ~VirtualTunerHandle() override {
    std::vector<Xfer> left;
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      left.assign(queue_.begin(), queue_.end());
      left.insert(left.end(), stuck_.begin(), stuck_.end());
      queue_.clear();
      stuck_.clear();
    }
    work_cv_.notify_all();
    pace_cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    for (const Xfer& x : left) CompleteXfer(x, false, 0, kUsbdStatusCanceled, kIoCancelled);
    std::lock_guard lock(shared_->mutex);
    --shared_->open_handles;
  }

  IoResult Request(uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out, uint32_t out_size,
                   Overlapped* ov) override {
    {
      std::lock_guard lock(mutex_);
      if (gone_) return {false, 0, kIoDeviceGone};
    }
    const VirtualTunerOptions& opt = shared_->options;
    switch (code) {
      case kIoctlGetDriverVersion: return Value32(out, out_size, opt.driver_version);
      case kIoctlGetSecondVersion: return Value32(out, out_size, 0x00010000);
      case kIoctlGetSpeedValue: return Value32(out, out_size, 2);
      case kIoctlGetAltSetting: return Value8(out, out_size, 0);
      case kIoctlGetDeviceValue: return Value8(out, out_size, 1);
      case kIoctlGetDeviceName:
        if (out == nullptr || out_size == 0) return {false, 0, kIoInvalidParameter};
        CopyName(kVirtualTunerName, out, out_size);
        return {true, out_size, kIoSuccess};
      case kIoctlGetSecondName:
        if (out == nullptr || out_size == 0) return {false, 0, kIoInvalidParameter};
        CopyName(kVirtualTunerPath, out, out_size);
        return {true, out_size, kIoSuccess};
      case kIoctlSetTransferSize:
        if (in == nullptr || in_size < 5) return {false, 0, kIoInvalidParameter};
        {
          std::lock_guard lock(mutex_);
          xfer_sizes_[in[0]] = GetLe32(in + 1);
        }
        if (out != nullptr && out != in && out_size >= 5) std::memcpy(out, in, 5);
        return {true, 5, kIoSuccess};
      case kIoctlAbortPipe:
        if (in == nullptr || in_size < 1) return {false, 0, kIoInvalidParameter};
        AbortEndpoint(in[0]);
        return {true, 0, kIoSuccess};
      case kIoctlResetPipe:
        if (in == nullptr || in_size < 1) return {false, 0, kIoInvalidParameter};
        {
          std::lock_guard lock(mutex_);
          if (in[0] == VirtualTunerDriver::kStreamEndpoint) halted_ = false;
        }
        {
          std::lock_guard lock(shared_->mutex);
          ++shared_->halt_clears;
        }
        return {true, 0, kIoSuccess};
      case kIoctlControlTransfer: return Control(in, in_size, ov);
      case kIoctlBufferedTransfer: {
        BlockHeader h;
        if (!ReadBlockHeader(in, in_size, &h) || h.packet_length > 0) return {false, 0, kIoInvalidParameter};
        Xfer x{ov, in, in + h.data_offset, h.data_length, h.data_offset, h.endpoint, 0};
        return Data(x);
      }
      case kIoctlDirectTransfer: {
        BlockHeader h;
        if (!ReadBlockHeader(in, in_size, &h) || h.packet_length > 0) return {false, 0, kIoInvalidParameter};
        Xfer x{ov, in, out, out == nullptr ? 0 : out_size, 0, h.endpoint, 0};
        return Data(x);
      }
      default: return {false, 0, kIoNotSupported};
    }
  }

  bool Cancel(Overlapped* ov) override {
    Xfer found;
    {
      std::lock_guard lock(mutex_);
      if (!Take(&queue_, ov, &found) && !Take(&stuck_, ov, &found)) {
        if (current_ov_ != ov || ov == nullptr) return false;
        current_cancel_ = true;
        pace_cv_.notify_all();
        return true;
      }
    }
    CompleteXfer(found, false, 0, kUsbdStatusCanceled, kIoCancelled);
    return true;
  }

 private:
  template <typename C>
  static bool Take(C* list, Overlapped* ov, Xfer* found) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->ov == ov) {
        *found = *it;
        list->erase(it);
        return true;
      }
    }
    return false;
  }

  static IoResult Value32(uint8_t* out, uint32_t size, uint32_t v) {
    if (out == nullptr || size < 4) return {false, 0, kIoInvalidParameter};
    PutLe32(out, v);
    return {true, 4, kIoSuccess};
  }
  static IoResult Value8(uint8_t* out, uint32_t size, uint8_t v) {
    if (out == nullptr || size < 1) return {false, 0, kIoInvalidParameter};
    out[0] = v;
    return {true, 1, kIoSuccess};
  }

  IoResult Control(uint8_t* block, uint32_t size, Overlapped* ov) {
    BlockHeader h;
    if (!ReadBlockHeader(block, size, &h)) return {false, 0, kIoInvalidParameter};
    uint8_t* data = block + h.data_offset;
    const uint32_t room = std::min<uint32_t>(h.length, h.data_length);
    std::vector<uint8_t> reply;
    bool ok = true;
    const uint8_t type = (h.request_type >> 5) & 3;
    if (type == 0 && h.request == 6 && (h.request_type & 0x80)) {
      const uint8_t dtype = static_cast<uint8_t>(h.value >> 8);
      const uint8_t dindex = static_cast<uint8_t>(h.value);
      if (dtype == 1 && dindex == 0) reply = VirtualTunerDriver::DeviceDescriptor();
      else if (dtype == 2 && dindex == 0) reply = VirtualTunerDriver::ConfigurationDescriptor();
      else if (dtype == 3 && dindex == 0) reply = {4, 3, 0x09, 0x04};
      else if (dtype == 3 && dindex == 1) reply = StringDescriptor(u"Pelkan");
      else if (dtype == 3 && dindex == 2) reply = StringDescriptor(u"Virtual FX2 tuner");
      else if (dtype == 3 && dindex == 3) reply = StringDescriptor(u"00000001");
      else ok = false;
    } else if (type == 0 && h.request == 10 && (h.request_type & 0x80)) {
      reply = {0};  // GET_INTERFACE: alternate setting 0
    }
    // Other standard requests (SET_CONFIGURATION, SET_INTERFACE, ...) and vendor requests are
    // accepted without data.
    if (!ok) {
      WriteBlockStatus(block, kUsbdStatusStall, 0);
      return {false, 0, kIoFailed};
    }
    uint32_t n = 0;
    if (h.request_type & 0x80) {
      n = std::min<uint32_t>(room, static_cast<uint32_t>(reply.size()));
      if (n > 0) std::memcpy(data, reply.data(), n);
    } else {
      n = room;
    }
    WriteBlockStatus(block, 0, 0);
    const uint32_t bytes = h.data_offset + n;
    if (ov != nullptr) ov->Complete(true, bytes, kIoSuccess);
    return {true, bytes, kIoSuccess};
  }

  IoResult Data(Xfer x) {
    if (x.ov == nullptr) return {false, 0, kIoInvalidParameter};
    if ((x.endpoint & 0x80) == 0) {
      if (x.endpoint != 0x02 && x.endpoint != 0x04) return {false, 0, kIoInvalidParameter};
      {
        std::lock_guard lock(shared_->mutex);
        shared_->out_writes.emplace_back(x.dst, x.dst + x.length);
      }
      WriteBlockStatus(x.status_block, 0, 0);
      x.ov->Complete(true, x.base + x.length, kIoSuccess);
      return {true, x.base + x.length, kIoSuccess};
    }
    if (x.endpoint != VirtualTunerDriver::kStreamEndpoint &&
        x.endpoint != VirtualTunerDriver::kRemoteEndpoint) {
      return {false, 0, kIoInvalidParameter};
    }
    {
      std::lock_guard lock(mutex_);
      if (gone_) return {false, 0, kIoDeviceGone};
      if (x.endpoint != VirtualTunerDriver::kStreamEndpoint) {
        // Nobody presses a remote-control key: the interrupt endpoint NAKs, its transfers wait.
        stuck_.push_back(x);
        return {false, 0, kIoPending};
      }
      x.index = next_index_++;
      queue_.push_back(x);
      if (!worker_.joinable()) worker_ = std::thread([this] { Worker(); });
    }
    // Wakes the worker only when it waits for work; one waiting for a transfer's due time sleeps on.
    work_cv_.notify_all();
    return {false, 0, kIoPending};
  }

  void AbortEndpoint(uint8_t endpoint) {
    std::vector<Xfer> aborted;
    {
      std::lock_guard lock(mutex_);
      for (std::deque<Xfer>* list : {&queue_, &stuck_}) {
        for (auto it = list->begin(); it != list->end();) {
          if (it->endpoint == endpoint) {
            aborted.push_back(*it);
            it = list->erase(it);
          } else {
            ++it;
          }
        }
      }
      if (current_ov_ != nullptr && current_endpoint_ == endpoint) current_cancel_ = true;
    }
    pace_cv_.notify_all();
    for (const Xfer& x : aborted) CompleteXfer(x, false, 0, kUsbdStatusCanceled, kIoCancelled);
  }

  const VirtualFault* FaultFor(uint64_t index) const {
    for (const VirtualFault& f : shared_->options.faults) {
      if (f.transfer == index) return &f;
    }
    return nullptr;
  }

  void Unplug(std::unique_lock<std::mutex>& lock, const Xfer& x) {
    gone_ = true;
    std::vector<Xfer> failed{x};
    failed.insert(failed.end(), queue_.begin(), queue_.end());
    failed.insert(failed.end(), stuck_.begin(), stuck_.end());
    queue_.clear();
    stuck_.clear();
    lock.unlock();
    {
      std::lock_guard shared_lock(shared_->mutex);
      shared_->present = false;
    }
    for (const Xfer& f : failed) CompleteXfer(f, false, 0, kUsbdStatusDeviceGone, kIoDeviceGone);
    lock.lock();
  }

  // Fails every queued stream transfer with a stall (the endpoint is halted). Called with the lock.
  void FailQueuedWithStall(std::unique_lock<std::mutex>& lock) {
    std::vector<Xfer> failed(queue_.begin(), queue_.end());
    queue_.clear();
    lock.unlock();
    for (const Xfer& f : failed) CompleteXfer(f, false, 0, kUsbdStatusStall, kIoFailed);
    lock.lock();
  }

  // Waits until the pacing allows `n` more bytes. False when the current transfer was cancelled or
  // the handle closes meanwhile. Called with the lock.
  bool Pace(std::unique_lock<std::mutex>& lock, uint32_t n) {
    const uint64_t bit_rate = shared_->options.bit_rate;
    if (bit_rate == 0 || n == 0) return true;
    const auto now = Clock::now();
    if (!pace_started_) {
      pace_started_ = true;
      pace_start_ = now;
      pace_bytes_ = 0;
    }
    auto due = pace_start_ + std::chrono::nanoseconds(static_cast<int64_t>(
                                 static_cast<long double>(pace_bytes_ + n) * 8e9L / bit_rate));
    // When nobody asked for data for a while, the stream resumes from now instead of bursting.
    if (due + std::chrono::milliseconds(200) < now) {
      pace_start_ = now;
      pace_bytes_ = 0;
      due = now;
    }
    // An absolute deadline on the monotonic clock: the transfer completes when its bytes are due,
    // with one wake-up, and late wake-ups do not add up to drift.
    pace_cv_.wait_until(lock, due, [this] { return closing_ || current_cancel_; });
    return !(closing_ || current_cancel_);
  }

  // Fills the stream endpoint's transfers one after the other, in the order they were begun.
  void Worker() {
    std::unique_lock lock(mutex_);
    while (true) {
      work_cv_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (closing_) break;
      if (halted_) {
        FailQueuedWithStall(lock);
        continue;
      }
      const Xfer x = queue_.front();
      queue_.pop_front();
      const VirtualFault* fault = FaultFor(x.index);
      uint32_t n = x.length;
      bool pause = false;
      bool stall = false;
      if (fault != nullptr) {
        switch (fault->kind) {
          case VirtualFault::Kind::kError:
            lock.unlock();
            CompleteXfer(x, false, 0, kUsbdStatusXactError, kIoFailed);
            lock.lock();
            continue;
          case VirtualFault::Kind::kUnplug:
            Unplug(lock, x);
            continue;
          case VirtualFault::Kind::kTimeout:
            pause = true;
            n = std::min(n, fault->short_length);
            break;
          case VirtualFault::Kind::kStall:
            stall = true;
            n = std::min(n, fault->short_length);
            break;
          case VirtualFault::Kind::kShort:
            n = std::min(n, fault->short_length);
            break;
          case VirtualFault::Kind::kEmpty:
            n = 0;
            break;
        }
      }
      current_ov_ = x.ov;
      current_endpoint_ = x.endpoint;
      current_cancel_ = false;
      if (!Pace(lock, n)) {
        current_ov_ = nullptr;
        lock.unlock();
        CompleteXfer(x, false, 0, kUsbdStatusCanceled, kIoCancelled);
        lock.lock();
        continue;
      }
      lock.unlock();
      if (source_ == nullptr) {
        source_ = shared_->options.source_factory ? shared_->options.source_factory()
                                                  : MakeDefaultTsSource(shared_->options.bit_rate);
      }
      const uint32_t got = (n > 0 && source_ != nullptr) ? static_cast<uint32_t>(source_->Read(x.dst, n)) : 0;
      shared_->bytes_streamed.fetch_add(got, std::memory_order_relaxed);
      lock.lock();
      pace_bytes_ += got;
      if (pause) {
        // The tuner sends nothing more: the transfer holds its bytes until it is cancelled.
        pace_cv_.wait(lock, [this] { return closing_ || current_cancel_; });
        current_ov_ = nullptr;
        lock.unlock();
        CompleteXfer(x, false, got, kUsbdStatusCanceled, kIoCancelled);
        lock.lock();
        continue;
      }
      current_ov_ = nullptr;
      if (stall) {
        halted_ = true;
        lock.unlock();
        CompleteXfer(x, false, got, kUsbdStatusStall, kIoFailed);
        lock.lock();
        FailQueuedWithStall(lock);
        continue;
      }
      lock.unlock();
      CompleteXfer(x, true, got, 0, kIoSuccess);
      lock.lock();
    }
  }

  std::shared_ptr<VirtualTunerDriver::Shared> shared_;
  std::mutex mutex_;
  std::condition_variable work_cv_;  // a transfer was queued, or closing
  std::condition_variable pace_cv_;  // the transfer being paced was cancelled, or closing
  std::deque<Xfer> queue_;
  std::deque<Xfer> stuck_;
  Overlapped* current_ov_ = nullptr;
  uint8_t current_endpoint_ = 0;
  bool current_cancel_ = false;
  bool closing_ = false;
  bool gone_ = false;
  bool halted_ = false;  // the stream endpoint stalls until the halt is cleared
  uint64_t next_index_ = 0;
  std::map<uint8_t, uint32_t> xfer_sizes_;
  bool pace_started_ = false;
  Clock::time_point pace_start_;
  uint64_t pace_bytes_ = 0;
  std::unique_ptr<TsSource> source_;
  std::thread worker_;
};

}  // namespace

VirtualTunerDriver::VirtualTunerDriver(VirtualTunerOptions options) : shared_(std::make_shared<Shared>()) {
  shared_->options = std::move(options);
}

VirtualTunerDriver::~VirtualTunerDriver() = default;

std::vector<std::string> VirtualTunerDriver::EnumerateDevices() {
  std::lock_guard lock(shared_->mutex);
  if (!shared_->present) return {};
  return {kVirtualTunerPath};
}

std::unique_ptr<UsbDriverHandle> VirtualTunerDriver::Open(const std::string& path) {
  if (path != kVirtualTunerPath || !IsPresent()) return nullptr;
  return std::make_unique<VirtualTunerHandle>(shared_);
}

std::vector<std::vector<uint8_t>> VirtualTunerDriver::OutWrites() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->out_writes;
}

uint64_t VirtualTunerDriver::BytesStreamed() const { return shared_->bytes_streamed.load(std::memory_order_relaxed); }

void VirtualTunerDriver::Replug() {
  std::lock_guard lock(shared_->mutex);
  shared_->present = true;
}

bool VirtualTunerDriver::IsPresent() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->present;
}

int VirtualTunerDriver::HaltClears() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->halt_clears;
}

int VirtualTunerDriver::OpenHandles() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->open_handles;
}

std::vector<uint8_t> VirtualTunerDriver::DeviceDescriptor() {
  return {18,   1,    0x00, 0x02,  // bcdUSB 2.00
          0xFF, 0xFF, 0xFF, 64,    // vendor-specific class, EP0 packet size 64
          static_cast<uint8_t>(kVendorId), static_cast<uint8_t>(kVendorId >> 8),
          static_cast<uint8_t>(kProductId), static_cast<uint8_t>(kProductId >> 8),
          0x00, 0xA0,              // bcdDevice (the FX2's silicon revision field)
          1,    2,    3,    1};
}

std::vector<uint8_t> VirtualTunerDriver::ConfigurationDescriptor() {
  static constexpr uint8_t kConfig[] = {
      9, 2, 46, 0, 1, 1, 0, 0x80, 50,        // one interface, bus powered, 100 mA
      9, 4, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0,    // interface 0, 4 endpoints, vendor-specific
      7, 5, 0x02, 2, 0x00, 0x02, 0,          // bulk OUT 2, 512 bytes
      7, 5, 0x04, 2, 0x00, 0x02, 0,          // bulk OUT 4
      7, 5, 0x86, 2, 0x00, 0x02, 0,          // bulk IN 6: the stream
      7, 5, 0x88, 3, 0x40, 0x00, 4,          // interrupt IN 8: remote-control keys, 64 bytes, 1 ms
  };
  return std::vector<uint8_t>(std::begin(kConfig), std::end(kConfig));
}

VirtualTunerOptions VirtualTunerOptionsFromConfig(const DriverConfig& config) {
  VirtualTunerOptions options;
  const uint64_t speed = std::clamp<uint32_t>(config.virtual_speed, 1, kMaxVirtualSpeed);
  options.bit_rate = config.virtual_bit_rate * speed;
  const uint64_t rate = config.virtual_bit_rate;
  const std::string path = config.virtual_tuner_file;
  const std::optional<MjdTime> start = config.virtual_start;
  options.source_factory = [path, rate, start]() -> std::unique_ptr<TsSource> {
    if (!path.empty()) {
      if (auto file = FileTsSource::Open(path)) return file;
    }
    return MakeDefaultTsSource(rate, start);
  };
  return options;
}

}  // namespace pelkan::usb
