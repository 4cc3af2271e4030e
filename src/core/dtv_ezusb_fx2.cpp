#include "core/dtv_ezusb_fx2.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/generator_ts_source.h"
#include "platform/clock.h"
#include "platform/text_codec.h"
#include "ts/stream_check.h"
#include "usb/ts_source.h"
#include "usb/usb_device.h"
#include "usb/usb_driver.h"
#include "usb/usb_endpoint.h"
#include "usb/virtual_tuner.h"

namespace pelkan::core {

// One transfer's context and data, recycled between the free and the pending list.
struct CDTV_EzUSBFX2::TransferBuffer {
  usb::UsbTransfer xfer;
  usb::UsbEndpoint* endpoint = nullptr;
  bool begun = false;  // the transfer was started and has not been finished yet
  uint32_t length = 0;
  uint32_t generation = 0;  // halt clears before the transfer began
  uint8_t data[kTransferSize];
};

namespace {

// Bytes of VIRTUAL_TUNER_FILE looked at to tell that it is a stream.
constexpr uint64_t kStreamSample = uint64_t{4} << 20;

// Memory a transfer that never came back may still be written into: never freed nor reused, and
// kept reachable for the life of the process.
void KeepForever(std::shared_ptr<void> block) {
  static std::mutex mutex;
  static auto* kept = new std::vector<std::shared_ptr<void>>();
  std::lock_guard lock(mutex);
  kept->push_back(std::move(block));
}

}  // namespace

CDTV_EzUSBFX2::CDTV_EzUSBFX2(const usb::DriverConfig& config)
    : driver_(usb::CreateSystemDriver(config, MakeDefaultTsSource)), virtual_tuner_file_(config.virtual_tuner_file) {}

CDTV_EzUSBFX2::CDTV_EzUSBFX2(std::shared_ptr<usb::UsbDriver> driver) : driver_(std::move(driver)) {}

CDTV_EzUSBFX2::~CDTV_EzUSBFX2() {
  Stop();
  device_.reset();
  FreeBuffers();
}

int CDTV_EzUSBFX2::OpenDevice() {
  if (device_ != nullptr || driver_ == nullptr) return 0;
  // The device set is opened without opening device 0: a tuner is claimed only while it is listed
  // or streams.
  device_ = std::make_unique<usb::UsbDevice>(driver_, false, [] {});
  return 1;
}

void CDTV_EzUSBFX2::CloseDevice() {
  Stop();
  device_.reset();
}

int CDTV_EzUSBFX2::IsDeviceOpen() {
  return device_ != nullptr ? 1 : 0;
}

int CDTV_EzUSBFX2::GetDeviceCount() {
  if (device_ == nullptr) return 0;
  return device_->DeviceCount();
}

template <typename Fn>
int CDTV_EzUSBFX2::WithDevice(int index, Fn&& fn) {
  if (device_ == nullptr || index < 0 || index > 255) return 0;
  // The streaming device is answered from its open handle; opening another one through the same
  // object would close the handle under the transfer threads, so a second object does that.
  if (streaming_) {
    std::unique_lock lock(device_mutex_);
    if (index == streaming_index_ && device_->IsOpen()) return fn(*device_);
  }
  if (streaming_) {
    usb::UsbDevice other(driver_, false);
    other.Open(static_cast<uint8_t>(index));
    return other.IsOpen() ? fn(other) : 0;
  }
  device_->Open(static_cast<uint8_t>(index));
  const int result = device_->IsOpen() ? fn(*device_) : 0;
  device_->Close();
  return result;
}

int CDTV_EzUSBFX2::GetDeviceName(int index, char* name, size_t size) {
  if (name == nullptr || size == 0) return 0;
  return WithDevice(index, [&](usb::UsbDevice& dev) {
    const std::string text = dev.device_name().empty() ? "?" : dev.device_name();
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(name, text.data(), n);
    name[n] = '\0';
    return 1;
  });
}

int CDTV_EzUSBFX2::GetEndpointCount(int index) {
  return WithDevice(index, [](usb::UsbDevice& dev) { return dev.EndpointCount(); });
}

int CDTV_EzUSBFX2::GetEndpointInfo(int index, int endpoint, DtvEndpointInfo* info) {
  if (info == nullptr) return 0;
  return WithDevice(index, [&](usb::UsbDevice& dev) {
    const usb::UsbEndpoint* ep = dev.Endpoint(endpoint);
    if (ep == nullptr) return 0;
    info->bLength = ep->bLength();
    info->bDescriptorType = ep->bDescriptorType();
    info->bEndpointAddress = ep->bEndpointAddress();
    info->bmAttributes = ep->bmAttributes();
    info->max_packet_size = ep->max_packet_size();
    info->transactions = ep->transactions();
    info->bInterval = ep->bInterval();
    info->timeout = ep->timeout();
    return 1;
  });
}

int CDTV_EzUSBFX2::HasEndpoint(int index, uint32_t address) {
  return WithDevice(index, [&](usb::UsbDevice& dev) {
    for (int i = 0; i < dev.EndpointCount(); ++i) {
      const usb::UsbEndpoint* ep = dev.Endpoint(i);
      if (ep != nullptr && ep->bEndpointAddress() == address) return 1;
    }
    return 0;
  });
}

int CDTV_EzUSBFX2::Start(int index, uint32_t in_address, uint32_t out_address) {
  start_error_.clear();
  device_in_use_ = false;
  if (device_ == nullptr || streaming_ || index < 0 || index > 255) return 0;
  if (!device_->Open(static_cast<uint8_t>(index))) {
    device_->Close();
    return 0;
  }
  // A file named for the virtual tuner that cannot be played is refused here, rather than the
  // synthetic broadcast (or nothing) being played in its place.
  std::string problem;
  // So is a file that is no stream (by its first megabytes, as `inspect` judges a whole file): it
  // would play as a tuner delivering nothing.
  if (device_->device_path() == usb::kVirtualTunerPath && !virtual_tuner_file_.empty() &&
      (usb::FileTsSource::Open(virtual_tuner_file_, &problem) == nullptr ||
       !(problem = FileNotAStreamText(virtual_tuner_file_, kStreamSample)).empty())) {
    start_error_ = "VIRTUAL_TUNER_FILE " + virtual_tuner_file_ + " " + problem;
    device_->Close();
    return 0;
  }
  in_address_ = in_address;
  out_address_ = out_address;
  ResetStatistics();
  stop_.store(false);
  streaming_index_ = index;
  const usb::UsbStatus prepared = BeginStreaming();
  if (prepared != usb::UsbStatus::kOk) {
    if (prepared == usb::UsbStatus::kBusy) {
      device_in_use_ = true;
      start_error_ = "another program is using the tuner";
    }
    device_->Close();
    return 0;
  }
  location_ = driver_->DeviceLocation(device_->device_path());
  serial_ = device_->serial_number();
  dropout_.store(Dropout::kNone);
  streaming_ = true;
  try {
    watch_thread_ = std::thread([this] { WatchBody(); });
  } catch (const std::system_error&) {
    Stop();
    return 0;
  }
  return 1;
}

usb::UsbStatus CDTV_EzUSBFX2::BeginStreaming() {
  in_endpoint_ = nullptr;
  out_endpoint_ = nullptr;
  for (int i = 0; i < device_->EndpointCount(); ++i) {
    usb::UsbEndpoint* ep = device_->Endpoint(i);
    if (ep == nullptr) continue;
    if (in_endpoint_ == nullptr && ep->bEndpointAddress() == in_address_) in_endpoint_ = ep;
    if (out_endpoint_ == nullptr && ep->bEndpointAddress() == out_address_) out_endpoint_ = ep;
  }
  // Streaming needs an IN endpoint and a device that may be taken over; else nothing is started.
  const usb::UsbStatus prepared = in_endpoint_ == nullptr || !in_endpoint_->is_in()
                                      ? usb::UsbStatus::kInvalid
                                      : device_->PrepareForStreaming();
  if (prepared != usb::UsbStatus::kOk) {
    in_endpoint_ = out_endpoint_ = nullptr;
    return prepared;
  }

  FreeBuffers();
  for (int i = 0; i < kTransferCount; ++i) {
    free_list_.push_back(new TransferBuffer());
    ++buffers_allocated_;
  }
  device_lost_.store(false);
  lost_reason_.store(Dropout::kNone);
  abandoned_.store(0);
  halt_clears_.store(0);
  request_done_ = false;
  refilling_ = false;
  halted_ = false;
  halt_backoff_ms_ = limits_.halt_backoff_first_ms;
  try {
    request_thread_ = std::thread([this] { RequestThreadBody(); });
    receive_thread_ = std::thread([this] { ReceiveThreadBody(); });
  } catch (const std::system_error&) {
    // Whatever started ends with the stop.
    stop_.store(true);
    WakeAll();
    if (request_thread_.joinable()) request_thread_.join();
    if (receive_thread_.joinable()) receive_thread_.join();
    FreeBuffers();
    return usb::UsbStatus::kError;
  }
  return usb::UsbStatus::kOk;
}

void CDTV_EzUSBFX2::WatchBody() {
  while (true) {
    {
      std::unique_lock lock(list_mutex_);
      watch_cv_.wait(lock, [this] { return stop_.load() || device_lost_.load(); });
      if (stop_.load()) return;
    }
    // The transfer threads end on their own once the device is lost; every byte they had is
    // handed on by then.
    if (request_thread_.joinable()) request_thread_.join();
    if (receive_thread_.joinable()) receive_thread_.join();
    if (dropout_.load() == Dropout::kNone) {
      dropout_.store(lost_reason_.load());
      if (dropout_listener_.lost) dropout_listener_.lost(lost_reason_.load());
    }
    {
      std::lock_guard lock(device_mutex_);
      FreeBuffers();
      device_->Close();
      in_endpoint_ = out_endpoint_ = nullptr;
    }
    // Hotplug (where the driver offers it) looks again at once; the list is looked at every
    // rescan_ms all the same.
    std::shared_ptr<void> watch = driver_->WatchDevices([this] {
      {
        std::lock_guard lock(list_mutex_);
        rescan_ = true;
      }
      watch_cv_.notify_all();
    });
    while (!Reopen()) {
      if (dropout_listener_.waiting) dropout_listener_.waiting();
      std::unique_lock lock(list_mutex_);
      watch_cv_.wait_for(lock, std::chrono::milliseconds(limits_.rescan_ms),
                        [this] { return stop_.load() || rescan_; });
      rescan_ = false;
      if (stop_.load()) return;
    }
  }
}

void CDTV_EzUSBFX2::CheckDevice() {
  if (!streaming_ || location_.empty() || device_lost_.load()) return;
  std::string path;
  {
    std::lock_guard lock(device_mutex_);
    path = device_->device_path();
  }
  for (const std::string& p : driver_->EnumerateDevices()) {
    if (p == path && driver_->DeviceLocation(p) == location_) return;
  }
  lost_reason_.store(Dropout::kGone);
  {
    std::lock_guard lock(list_mutex_);
    device_lost_.store(true);
  }
  WakeAll();
}

bool CDTV_EzUSBFX2::Reopen() {
  if (location_.empty() || stop_.load()) return false;
  const std::vector<std::string> paths = driver_->EnumerateDevices();
  for (size_t i = 0; i < paths.size() && i < 255; ++i) {
    if (driver_->DeviceLocation(paths[i]) != location_) continue;
    std::lock_guard lock(device_mutex_);
    // Opened only when it is still the device of that path, and its serial number (when it had
    // one) is the tuner's.
    if (!device_->Open(static_cast<uint8_t>(i)) || device_->device_path() != paths[i] ||
        (!serial_.empty() && device_->serial_number() != serial_) ||
        BeginStreaming() != usb::UsbStatus::kOk) {
      device_->Close();
      return false;
    }
    streaming_index_ = static_cast<int>(i);
    return true;
  }
  return false;
}

int CDTV_EzUSBFX2::RequestThreadBody() {
  usb::UsbEndpoint* in = in_endpoint_;
  usb::UsbEndpoint* out = out_endpoint_;
  if (init_flag_ != 0 && out != nullptr) {
    static constexpr uint8_t kCmd1[2] = {0x80, 0x00};
    static constexpr uint8_t kCmd2[1] = {0x8B};
    static constexpr uint8_t kCmd3[2] = {0x80, 0x01};
    struct Command {
      const uint8_t* bytes;
      uint32_t size;
    };
    for (const Command& c : {Command{kCmd1, 2}, Command{kCmd2, 1}, Command{kCmd3, 2}}) {
      if (stop_.load()) break;
      WriteCommand(out, c.bytes, c.size);
    }
  }
  in->SetXferSize(kTransferSize);

  while (true) {
    TransferBuffer* b = nullptr;
    bool halted = false;
    uint32_t generation = 0;
    {
      // Free buffers are started again in batches (see RefillDue), not one by one as they come
      // back, so that this thread wakes a few times a second at the broadcast rate.
      std::unique_lock lock(list_mutex_);
      request_cv_.wait(lock, [this] { return stop_.load() || device_lost_.load() || halted_ || RefillDue(); });
      if (stop_.load() || device_lost_.load()) break;
      halted = halted_;
      if (!halted) {
        b = free_list_.front();
        free_list_.pop_front();
        generation = halt_generation_;
        refilling_ = !free_list_.empty();
      }
    }
    if (halted) {
      RecoverFromHalt(in);
      continue;
    }
    b->xfer.Reset();
    b->endpoint = in;
    b->length = kTransferSize;
    b->generation = generation;
    b->begun = in->BeginDataXfer(b->data, kTransferSize, &b->xfer);
    // Once the buffer is in the pending list it belongs to the receive thread.
    const bool begun = b->begun;
    bool waiting = false;
    {
      std::lock_guard lock(list_mutex_);
      waiting = pending_list_.empty();
      pending_list_.push_back(b);
    }
    // Only a receive thread that found no transfer to wait for sleeps on the list.
    if (waiting) receive_cv_.notify_all();
    // A driver that refuses transfers outright must not turn this loop into a busy spin.
    if (!begun) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  in->Abort();
  if (out != nullptr) out->Abort();
  {
    std::lock_guard lock(list_mutex_);
    request_done_ = true;
  }
  WakeAll();
  return 1;
}

void CDTV_EzUSBFX2::RecoverFromHalt(usb::UsbEndpoint* in) {
  // The USB stack wants every transfer of a halted endpoint ended before the halt is cleared.
  in->Abort();
  {
    std::unique_lock lock(list_mutex_);
    const auto wait = std::chrono::milliseconds(limits_.cancel_wait_ms);
    request_cv_.wait_for(lock, wait,
                      [this] { return stop_.load() || device_lost_.load() || pending_list_.empty(); });
    // A tuner that keeps stalling is retried less and less often; a stop ends the pause.
    const uint32_t pause = halt_backoff_ms_;
    halt_backoff_ms_ =
        std::min(std::max(pause * 2, limits_.halt_backoff_first_ms), limits_.halt_backoff_max_ms);
    request_cv_.wait_for(lock, std::chrono::milliseconds(pause),
                      [this] { return stop_.load() || device_lost_.load(); });
    if (stop_.load() || device_lost_.load()) return;
  }
  in->ResetPipe();
  halt_clears_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(list_mutex_);
  ++halt_generation_;
  halted_ = false;
}

bool CDTV_EzUSBFX2::WriteCommand(usb::UsbEndpoint* out, const uint8_t* bytes, uint32_t size) {
  // Like a synchronous transfer with the endpoint's time-out, but a stop request ends the wait:
  // a tuner that does not take the write must not hold Stop for the whole time-out. The record and
  // the bytes are on the heap: a write that never comes back keeps them.
  struct Write {
    usb::UsbTransfer xfer;
    uint8_t bytes[2] = {};
  };
  auto w = std::make_shared<Write>();
  std::memcpy(w->bytes, bytes, std::min<uint32_t>(size, sizeof w->bytes));
  w->xfer.Reset();
  uint32_t length = size;
  if (!out->BeginDataXfer(w->bytes, size, &w->xfer)) {
    out->FinishDataXfer(w->bytes, &length, &w->xfer);
    return false;
  }
  bool done = out->WaitForXfer(&w->xfer, 0);
  const uint32_t start = platform::TickCount();
  while (!done && !stop_.load() && platform::TickCount() - start < out->timeout()) {
    done = out->WaitForXfer(&w->xfer, 20);
  }
  if (!done) {
    out->CancelXfer(&w->xfer);
    if (!w->xfer.Wait(limits_.cancel_wait_ms)) {
      KeepForever(std::move(w));
      abandoned_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
  }
  return out->FinishDataXfer(w->bytes, &length, &w->xfer) && done;
}

uint32_t CDTV_EzUSBFX2::WaitBudget(uint32_t ms) const {
  if (!stop_.load()) return ms;
  const int32_t left = static_cast<int32_t>(stop_deadline_.load() - platform::TickCount());
  return left <= 0 ? 0 : std::min(ms, static_cast<uint32_t>(left));
}

void CDTV_EzUSBFX2::Abandon(TransferBuffer* b) {
  KeepForever(std::shared_ptr<TransferBuffer>(b));
  abandoned_.fetch_add(1, std::memory_order_relaxed);
}

int CDTV_EzUSBFX2::ReceiveThreadBody() {
  using SteadyClock = std::chrono::steady_clock;
  auto last_data = SteadyClock::now();
  while (true) {
    TransferBuffer* b = nullptr;
    {
      std::unique_lock lock(list_mutex_);
      receive_cv_.wait(lock, [this] { return !pending_list_.empty() || request_done_; });
      if (pending_list_.empty()) break;
      b = pending_list_.front();
      pending_list_.pop_front();
    }
    const bool ended = b->begun && b->endpoint->WaitForXfer(&b->xfer, WaitBudget(limits_.transfer_wait_ms));
    if (!ended && b->begun) {
      // The transfer is cancelled; it comes back with whatever it had received, and may even have
      // completed meanwhile. Its buffer is reused only once the driver is done with it.
      b->endpoint->CancelXfer(&b->xfer);
      if (!b->xfer.Wait(WaitBudget(limits_.cancel_wait_ms))) {
        transfers_failed_.fetch_add(1, std::memory_order_relaxed);
        Abandon(b);
        request_cv_.notify_all();
        continue;
      }
    }
    const usb::UsbStatus status = b->xfer.status();
    const bool stalled = b->begun && status == usb::UsbStatus::kStall;
    const bool gone = status == usb::UsbStatus::kDeviceGone;
    uint32_t length = b->length;
    const bool finished = b->endpoint->FinishDataXfer(b->data, &length, &b->xfer);
    b->begun = false;
    b->length = length;
    // Every byte the tuner delivered is handed on, also from a transfer that failed or was
    // cancelled; only a transfer that carried nothing counts as failed.
    if (length > 0) {
      last_data = SteadyClock::now();
      // The first bytes after the tuner came back end its drop-out; not those a tuner already
      // given up again (silent once more after it was opened) hands on while its transfers end.
      if (dropout_.load() != Dropout::kNone && !device_lost_.load()) {
        dropout_.store(Dropout::kNone);
        if (dropout_listener_.back) dropout_listener_.back();
      }
      const uint64_t total = total_bytes_.fetch_add(length, std::memory_order_relaxed) + length;
      if (callback_ != nullptr) {
        callback_(b->data, length, static_cast<uint32_t>(total), static_cast<uint32_t>(total >> 32),
                  callback_user_);
      }
      transfers_ok_.fetch_add(1, std::memory_order_relaxed);
    } else if (finished) {
      transfers_ok_.fetch_add(1, std::memory_order_relaxed);
    } else if (stop_.load() && status == usb::UsbStatus::kCancelled) {
      // Cancelled by Stop's abort: not a failure of the device.
    } else {
      transfers_failed_.fetch_add(1, std::memory_order_relaxed);
    }
    const bool stalled_long = limits_.stall_ms != 0 && !stop_.load() &&
                              SteadyClock::now() - last_data > std::chrono::milliseconds(limits_.stall_ms);
    if ((gone || stalled_long) && !device_lost_.load()) {
      lost_reason_.store(gone ? Dropout::kGone : Dropout::kStalled);
      {
        std::lock_guard lock(list_mutex_);
        device_lost_.store(true);
      }
      WakeAll();
    }
    bool wake = false;
    {
      std::lock_guard lock(list_mutex_);
      if (stalled && b->generation == halt_generation_) halted_ = true;
      if (length > 0 && !stalled) halt_backoff_ms_ = limits_.halt_backoff_first_ms;
      free_list_.push_back(b);
      // The request thread (and a halt recovery waiting for the pending list to empty) is woken
      // only when there is something for it to do.
      wake = halted_ || device_lost_.load() || pending_list_.empty() || RefillDue();
    }
    if (wake) request_cv_.notify_all();
  }
  return 1;
}

void CDTV_EzUSBFX2::WakeAll() {
  request_cv_.notify_all();
  receive_cv_.notify_all();
  watch_cv_.notify_all();
}

bool CDTV_EzUSBFX2::RefillDue() const {
  // Once woken the request thread starts every free buffer; it is woken when a batch is free, or
  // earlier when few transfers are left in flight (buffers given up make the batch unreachable).
  return !free_list_.empty() &&
         (refilling_ || free_list_.size() >= kRefillBatch || pending_list_.size() <= kRefillLowWater);
}

int CDTV_EzUSBFX2::Stop() {
  if (!streaming_) return 0;
  {
    std::lock_guard lock(list_mutex_);
    stop_deadline_.store(platform::TickCount() + std::min(limits_.stop_drain_ms, kStopWaitMs));
    stop_.store(true);
  }
  WakeAll();
  // The watch thread ends at once (it only waits); then no one else starts or joins the threads.
  if (watch_thread_.joinable()) watch_thread_.join();
  // Every wait of the two threads is bounded by the stop deadline, so both end within it.
  if (request_thread_.joinable()) request_thread_.join();
  if (receive_thread_.joinable()) receive_thread_.join();
  // Normally the receive thread has drained every pending transfer; FreeBuffers ends any that are
  // left (a receive thread that failed to start) while the device is still open.
  FreeBuffers();
  device_->Close();
  in_endpoint_ = out_endpoint_ = nullptr;
  streaming_ = false;
  dropout_.store(Dropout::kNone);
  return 1;
}

char* CDTV_EzUSBFX2::GetStatusText(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  buffer[0] = '\0';
  const uint32_t n = abandoned_.load(std::memory_order_relaxed);
  if (n > 0) {
    std::snprintf(buffer, size,
                  platform::Sjis("終わらないUSB転送のバッファ%u個を解放せずに残しています").c_str(), n);
  }
  return buffer;
}

bool CDTV_EzUSBFX2::FinishAbandoned(TransferBuffer* b) {
  if (b->begun) {
    b->endpoint->CancelXfer(&b->xfer);
    if (!b->xfer.Wait(limits_.cancel_wait_ms)) return false;
  }
  b->begun = false;
  return true;
}

void CDTV_EzUSBFX2::FreeBuffers() {
  std::lock_guard lock(list_mutex_);
  for (TransferBuffer* b : pending_list_) {
    if (FinishAbandoned(b)) {
      delete b;
    } else {
      Abandon(b);
    }
  }
  for (TransferBuffer* b : free_list_) delete b;
  pending_list_.clear();
  free_list_.clear();
}

size_t CDTV_EzUSBFX2::GetFreeBufferCount() {
  std::lock_guard lock(list_mutex_);
  return free_list_.size();
}

size_t CDTV_EzUSBFX2::GetPendingBufferCount() {
  std::lock_guard lock(list_mutex_);
  return pending_list_.size();
}

int CDTV_EzUSBFX2::IsStreaming() {
  return streaming_ ? 1 : 0;
}

}  // namespace pelkan::core
