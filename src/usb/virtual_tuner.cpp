#include "usb/virtual_tuner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

namespace pelkan::usb {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

struct VirtualTunerDriver::Shared {
  VirtualTunerOptions options;
  mutable std::mutex mutex;
  std::vector<std::vector<uint8_t>> out_writes;
  bool present = true;
  int open_handles = 0;
  int halt_clears = 0;
  // The drop-out asked for: when the first stream transfer began, and when the tuner is back.
  std::optional<Clock::time_point> stream_began;
  std::optional<Clock::time_point> back_at;
  bool dropped = false;
  // The stream a tuner that left the bus was playing: the next open goes on with it, so that the
  // broadcast (its clock, its programmes) goes on from where it was instead of starting again.
  std::unique_ptr<TsSource> left_source;

  // True when the drop-out is due now (once). Called with the lock.
  bool DropoutDue(Clock::time_point now) {
    if (!options.dropout || dropped) return false;
    if (!stream_began) stream_began = now;
    if (now < *stream_began + std::chrono::milliseconds(options.dropout->at_ms)) return false;
    dropped = true;
    back_at = now + std::chrono::milliseconds(options.dropout->for_ms);
    return true;
  }
  // Whether the tuner is on the bus; one that dropped out comes back when its time is up. Called
  // with the lock.
  bool PresentNow() {
    if (!present && back_at && Clock::now() >= *back_at) {
      present = true;
      back_at.reset();
    }
    return present;
  }
};

namespace {

// How often a transfer waiting on a source that yields nothing asks it again.
constexpr auto kSourceRetry = std::chrono::milliseconds(100);
// The pacing's step: the transfers whose bytes fall due within one step all complete at its end,
// one after the other, so that the tuner and the threads it feeds wake once a step instead of
// once a transfer (at 17 Mbit/s a 32 KiB transfer is due every 15 ms, twelve in a step). The
// rate over a second is the same. At a higher rate the step is as long as kStepBytes take, so
// that the transfers a capture keeps in flight always cover one.
constexpr auto kPaceStep = std::chrono::milliseconds(200);
constexpr uint64_t kStepBytes = 12 * 0x8000;
// How long a filled transfer may wait for the others of its step. A tuner behind its pacing (a
// source slower than the rate) fills one transfer after the other, each completed after the next
// one's read at the latest.
constexpr auto kReadyHold = std::chrono::milliseconds(2);

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

// One bulk transfer held by the virtual device.
struct Xfer {
  UsbTransfer* transfer = nullptr;
  uint8_t* dst = nullptr;
  uint32_t length = 0;
  uint8_t endpoint = 0;
  uint64_t index = 0;
};

// A transfer that failed or was cancelled still reports the bytes it had received.
void CompleteXfer(const Xfer& x, UsbStatus status, uint32_t bytes) {
  x.transfer->Complete(status, bytes);
}

class VirtualTunerHandle : public UsbBackend {
 public:
  explicit VirtualTunerHandle(std::shared_ptr<VirtualTunerDriver::Shared> shared)
      : shared_(std::move(shared)) {
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
    for (const Xfer& x : left) CompleteXfer(x, UsbStatus::kCancelled, 0);
    std::lock_guard lock(shared_->mutex);
    --shared_->open_handles;
    if (gone_ && source_ != nullptr) shared_->left_source = std::move(source_);
  }

  UsbStatus Submit(uint8_t endpoint, uint8_t* data, uint32_t length, UsbTransfer* transfer) override {
    if (transfer == nullptr) return UsbStatus::kInvalid;
    Xfer x{transfer, data, data == nullptr ? 0 : length, endpoint, 0};
    if ((endpoint & 0x80) == 0) {
      if (endpoint != 0x02 && endpoint != 0x04) return UsbStatus::kInvalid;
      if (Gone()) return UsbStatus::kDeviceGone;
      {
        std::lock_guard lock(shared_->mutex);
        shared_->out_writes.emplace_back(x.dst, x.dst + x.length);
      }
      CompleteXfer(x, UsbStatus::kOk, x.length);
      return UsbStatus::kOk;
    }
    if (endpoint != VirtualTunerDriver::kStreamEndpoint && endpoint != VirtualTunerDriver::kRemoteEndpoint) {
      return UsbStatus::kInvalid;
    }
    {
      std::lock_guard lock(mutex_);
      if (gone_) return UsbStatus::kDeviceGone;
      if (endpoint != VirtualTunerDriver::kStreamEndpoint) {
        // Nobody presses a remote-control key: the interrupt endpoint NAKs, its transfers wait.
        stuck_.push_back(x);
        return UsbStatus::kOk;
      }
      x.index = next_index_++;
      queue_.push_back(x);
      if (!worker_.joinable()) worker_ = std::thread([this] { Worker(); });
    }
    // Wakes the worker only when it waits for work; one waiting for a transfer's due time sleeps on.
    work_cv_.notify_all();
    return UsbStatus::kOk;
  }

  bool Cancel(UsbTransfer* transfer) override {
    Xfer found;
    {
      std::lock_guard lock(mutex_);
      if (!Take(&queue_, transfer, &found) && !Take(&stuck_, transfer, &found)) {
        if (current_ != transfer || transfer == nullptr) return false;
        current_cancel_ = true;
        pace_cv_.notify_all();
        return true;
      }
    }
    CompleteXfer(found, UsbStatus::kCancelled, 0);
    return true;
  }

  bool Abort(uint8_t endpoint) override {
    if (Gone()) return false;
    std::vector<Xfer> aborted;
    Ready ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(ready_);
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
      if (current_ != nullptr && current_endpoint_ == endpoint) current_cancel_ = true;
    }
    pace_cv_.notify_all();
    CompleteReady(ready);
    for (const Xfer& x : aborted) CompleteXfer(x, UsbStatus::kCancelled, 0);
    return true;
  }

  UsbStatus ClearHalt(uint8_t endpoint) override {
    {
      std::lock_guard lock(mutex_);
      if (gone_) return UsbStatus::kDeviceGone;
      if (endpoint == VirtualTunerDriver::kStreamEndpoint) halted_ = false;
    }
    std::lock_guard lock(shared_->mutex);
    ++shared_->halt_clears;
    return UsbStatus::kOk;
  }

  bool SetTransferSize(uint8_t endpoint, uint32_t size) override {
    std::lock_guard lock(mutex_);
    if (gone_) return false;
    xfer_sizes_[endpoint] = size;
    return true;
  }

  UsbStatus ControlTransfer(const UsbSetup& setup, uint8_t* data, uint16_t length, uint32_t timeout_ms,
                            uint32_t* actual) override {
    *actual = 0;
    if (Gone()) return UsbStatus::kDeviceGone;
    const bool to_host = (setup.request_type & 0x80) != 0;
    const bool standard = ((setup.request_type >> 5) & 3) == 0;
    if (standard && to_host && setup.request == 6) {
      return GetDescriptor(static_cast<uint8_t>(setup.value >> 8), static_cast<uint8_t>(setup.value),
                           setup.index, data, length, timeout_ms, actual);
    }
    if (standard && to_host && setup.request == 10) {
      if (length > 0) data[0] = 0;  // GET_INTERFACE: alternate setting 0
      *actual = length > 0 ? 1 : 0;
      return UsbStatus::kOk;
    }
    // Other standard requests (SET_CONFIGURATION, SET_INTERFACE, ...) and vendor requests are
    // accepted without data.
    *actual = to_host ? 0 : length;
    return UsbStatus::kOk;
  }

  UsbStatus GetDescriptor(uint8_t type, uint8_t index, uint16_t, uint8_t* data, uint16_t length, uint32_t,
                          uint32_t* actual) override {
    *actual = 0;
    if (Gone()) return UsbStatus::kDeviceGone;
    std::vector<uint8_t> reply;
    if (type == 1 && index == 0)
      reply = VirtualTunerDriver::DeviceDescriptor();
    else if (type == 2 && index == 0)
      reply = VirtualTunerDriver::ConfigurationDescriptor();
    else if (type == 3 && index == 0)
      reply = {4, 3, 0x09, 0x04};
    else if (type == 3 && index == 1)
      reply = StringDescriptor(u"Pelkan");
    else if (type == 3 && index == 2)
      reply = StringDescriptor(u"Virtual FX2 tuner");
    else if (type == 3 && index == 3)
      reply = StringDescriptor(u"00000001");
    else
      return UsbStatus::kStall;
    *actual = std::min<uint32_t>(length, static_cast<uint32_t>(reply.size()));
    if (*actual > 0) std::memcpy(data, reply.data(), *actual);
    return UsbStatus::kOk;
  }

  std::optional<uint32_t> DriverVersion() override {
    if (Gone()) return std::nullopt;
    return kDriverVersion;
  }
  std::optional<std::string> DeviceName() override {
    if (Gone()) return std::nullopt;
    return std::string(kVirtualTunerName);
  }
  std::optional<uint8_t> AlternateSetting() override {
    if (Gone()) return std::nullopt;
    return uint8_t{0};
  }

 private:
  template <typename C>
  static bool Take(C* list, UsbTransfer* transfer, Xfer* found) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->transfer == transfer) {
        *found = *it;
        list->erase(it);
        return true;
      }
    }
    return false;
  }

  bool Gone() {
    std::lock_guard lock(mutex_);
    return gone_;
  }

  // Transfers filled and due, with their byte counts, not yet completed.
  using Ready = std::vector<std::pair<Xfer, uint32_t>>;

  // Newest first: whoever waits for the transfers in the order they were begun sleeps on the
  // oldest, and so wakes once, with the whole step done, instead of once per transfer it catches
  // up with while the rest are still being completed.
  static void CompleteReady(const Ready& ready) {
    for (auto it = ready.rbegin(); it != ready.rend(); ++it) CompleteXfer(it->first, UsbStatus::kOk, it->second);
  }

  // Completes the transfers filled so far, in order. The worker calls it before it sleeps and
  // before it ends any other transfer, so that transfers end in the order they were begun and a
  // filled one never waits. Called with the lock.
  void Flush(std::unique_lock<std::mutex>& lock) {
    if (ready_.empty()) return;
    Ready ready;
    ready.swap(ready_);
    lock.unlock();
    CompleteReady(ready);
    lock.lock();
  }

  // Ends `x` (not a filled one) after those filled before it. Called with the lock.
  void Finish(std::unique_lock<std::mutex>& lock, const Xfer& x, UsbStatus status, uint32_t bytes) {
    Flush(lock);
    lock.unlock();
    CompleteXfer(x, status, bytes);
    lock.lock();
  }

  const VirtualFault* FaultFor(uint64_t index) const {
    for (const VirtualFault& f : shared_->options.faults) {
      if (f.transfer == index) return &f;
    }
    return nullptr;
  }

  void Unplug(std::unique_lock<std::mutex>& lock, const Xfer& x) {
    Flush(lock);
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
    for (const Xfer& f : failed) CompleteXfer(f, UsbStatus::kDeviceGone, 0);
    lock.lock();
  }

  // Fails every queued stream transfer with a stall (the endpoint is halted). Called with the lock.
  void FailQueuedWithStall(std::unique_lock<std::mutex>& lock) {
    Flush(lock);
    std::vector<Xfer> failed(queue_.begin(), queue_.end());
    queue_.clear();
    lock.unlock();
    for (const Xfer& f : failed) CompleteXfer(f, UsbStatus::kStall, 0);
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
    // Rounded up to the end of its step: one wake-up serves every transfer due in the step.
    const Clock::duration step = std::clamp<Clock::duration>(
        std::chrono::nanoseconds(static_cast<int64_t>(kStepBytes * 8'000'000'000 / bit_rate)),
        std::chrono::milliseconds(1), kPaceStep);
    const auto into = due - pace_start_;
    due = pace_start_ + (into + step - Clock::duration(1)) / step * step;
    // An absolute deadline on the monotonic clock: the transfer completes when its step ends, and
    // late wake-ups do not add up to drift. A transfer of a step already over does not sleep.
    if (due > now) {
      // The transfers of the step before are completed now, together.
      Flush(lock);
      pace_cv_.wait_until(lock, due, [this] { return closing_ || current_cancel_; });
    }
    return !(closing_ || current_cancel_);
  }

  // Up to `n` bytes of the stream into `dst`; fewer when the source yields no more for now.
  // Called without the lock, from the worker only.
  uint32_t ReadSource(uint8_t* dst, uint32_t n) {
    return (n > 0 && source_ != nullptr) ? static_cast<uint32_t>(source_->Read(dst, n)) : 0;
  }

  // Fills the stream endpoint's transfers one after the other, in the order they were begun.
  void Worker() {
    std::unique_lock lock(mutex_);
    while (true) {
      if (queue_.empty()) Flush(lock);
      work_cv_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (closing_) break;
      if (halted_) {
        FailQueuedWithStall(lock);
        continue;
      }
      const Xfer x = queue_.front();
      queue_.pop_front();
      bool dropout = false;
      {
        std::lock_guard shared_lock(shared_->mutex);
        dropout = shared_->DropoutDue(Clock::now());
      }
      if (dropout) {
        Unplug(lock, x);
        continue;
      }
      const VirtualFault* fault = FaultFor(x.index);
      uint32_t n = x.length;
      bool pause = false;
      bool stall = false;
      if (fault != nullptr) {
        switch (fault->kind) {
          case VirtualFault::Kind::kError:
            Finish(lock, x, UsbStatus::kError, 0);
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
      current_ = x.transfer;
      current_endpoint_ = x.endpoint;
      current_cancel_ = false;
      if (!Pace(lock, n)) {
        current_ = nullptr;
        Finish(lock, x, UsbStatus::kCancelled, 0);
        continue;
      }
      if (!ready_.empty() && Clock::now() - ready_since_ > kReadyHold) Flush(lock);
      lock.unlock();
      if (source_ == nullptr) {
        {
          std::lock_guard shared_lock(shared_->mutex);
          source_ = std::move(shared_->left_source);
        }
        if (source_ == nullptr && shared_->options.source_factory) source_ = shared_->options.source_factory();
      }
      uint32_t got = ReadSource(x.dst, n);
      lock.lock();
      // A source that yields nothing more (a file emptied while it plays) is a tuner that sends
      // nothing: the transfer waits for its bytes, asking the source again now and then, until it
      // is cancelled, instead of ending empty at once and being begun again without end.
      bool cancelled = false;
      while (got < n && !pause) {
        Flush(lock);
        cancelled = pace_cv_.wait_for(lock, kSourceRetry, [this] { return closing_ || current_cancel_; });
        if (cancelled) break;
        lock.unlock();
        got += ReadSource(x.dst + got, n - got);
        lock.lock();
      }
      pace_bytes_ += got;
      if (cancelled) {
        current_ = nullptr;
        Finish(lock, x, UsbStatus::kCancelled, got);
        continue;
      }
      if (pause) {
        // The tuner sends nothing more: the transfer holds its bytes until it is cancelled.
        Flush(lock);
        pace_cv_.wait(lock, [this] { return closing_ || current_cancel_; });
        current_ = nullptr;
        Finish(lock, x, UsbStatus::kCancelled, got);
        continue;
      }
      current_ = nullptr;
      if (stall) {
        halted_ = true;
        Finish(lock, x, UsbStatus::kStall, got);
        FailQueuedWithStall(lock);
        continue;
      }
      // Completed with the others of its step when the worker next sleeps.
      if (ready_.empty()) ready_since_ = Clock::now();
      ready_.emplace_back(x, got);
    }
    Flush(lock);
  }

  std::shared_ptr<VirtualTunerDriver::Shared> shared_;
  std::mutex mutex_;
  std::condition_variable work_cv_;  // a transfer was queued, or closing
  std::condition_variable pace_cv_;  // the transfer being paced was cancelled, or closing
  std::deque<Xfer> queue_;
  std::deque<Xfer> stuck_;
  Ready ready_;
  Clock::time_point ready_since_;  // when the first of ready_ was filled
  UsbTransfer* current_ = nullptr;
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
  if (!shared_->PresentNow()) return {};
  return {kVirtualTunerPath};
}

std::string VirtualTunerDriver::DeviceLocation(const std::string& path) {
  return path == kVirtualTunerPath ? path : std::string();
}

std::unique_ptr<UsbBackend> VirtualTunerDriver::Open(const std::string& path) {
  if (path != kVirtualTunerPath || !IsPresent()) return nullptr;
  return std::make_unique<VirtualTunerHandle>(shared_);
}

std::vector<std::vector<uint8_t>> VirtualTunerDriver::OutWrites() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->out_writes;
}

void VirtualTunerDriver::Replug() {
  std::lock_guard lock(shared_->mutex);
  shared_->present = true;
}

bool VirtualTunerDriver::IsPresent() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->PresentNow();
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
  return {18,
          1,
          0x00,
          0x02,  // bcdUSB 2.00
          0xFF,
          0xFF,
          0xFF,
          64,  // vendor-specific class, EP0 packet size 64
          static_cast<uint8_t>(kVendorId),
          static_cast<uint8_t>(kVendorId >> 8),
          static_cast<uint8_t>(kProductId),
          static_cast<uint8_t>(kProductId >> 8),
          0x00,
          0xA0,  // bcdDevice (the FX2's silicon revision field)
          1,
          2,
          3,
          1};
}

std::vector<uint8_t> VirtualTunerDriver::ConfigurationDescriptor() {
  static constexpr uint8_t kConfig[] = {
      9, 2, 46,   0, 1,    1,    0,    0x80, 50,  // one interface, bus powered, 100 mA
      9, 4, 0,    0, 4,    0xFF, 0xFF, 0xFF, 0,   // interface 0, 4 endpoints, vendor-specific
      7, 5, 0x02, 2, 0x00, 0x02, 0,               // bulk OUT 2, 512 bytes
      7, 5, 0x04, 2, 0x00, 0x02, 0,               // bulk OUT 4
      7, 5, 0x86, 2, 0x00, 0x02, 0,               // bulk IN 6: the stream
      7, 5, 0x88, 3, 0x40, 0x00, 4,               // interrupt IN 8: remote-control keys, 64 bytes, 1 ms
  };
  return std::vector<uint8_t>(std::begin(kConfig), std::end(kConfig));
}

VirtualTunerOptions VirtualTunerOptionsFromConfig(const DriverConfig& config, BroadcastSourceMaker broadcast) {
  VirtualTunerOptions options;
  const uint64_t speed = std::clamp<uint32_t>(config.virtual_speed, 1, kMaxVirtualSpeed);
  options.bit_rate = config.virtual_bit_rate * speed;
  const uint64_t rate = config.virtual_bit_rate;
  const std::string path = config.virtual_tuner_file;
  const std::optional<MjdTime> start = config.virtual_start;
  const std::vector<ProgrammeChange> changes = config.virtual_programme_changes;
  options.dropout = config.virtual_dropout;
  options.source_factory = [path, rate, start, changes,
                            broadcast = std::move(broadcast)]() -> std::unique_ptr<TsSource> {
    if (!path.empty()) {
      if (auto file = FileTsSource::Open(path)) return file;
    }
    return broadcast ? broadcast(rate, start, changes) : nullptr;
  };
  return options;
}

}  // namespace pelkan::usb
