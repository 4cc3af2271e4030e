#include "core/dtv_ezusb_fx2.h"

#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/clock.h"
#include "usb/usb_device.h"
#include "usb/usb_driver.h"
#include "usb/usb_endpoint.h"

namespace pelkan::core {

// One transfer's context and data, recycled between the free and the pending list.
struct CDTV_EzUSBFX2::TransferBuffer {
  usb::Overlapped ov;
  usb::UsbEndpoint* endpoint = nullptr;
  std::unique_ptr<usb::RequestBlock> request;
  uint32_t length = 0;
  uint8_t data[kTransferSize];
};

CDTV_EzUSBFX2::CDTV_EzUSBFX2(const usb::DriverConfig& config) : driver_(usb::CreateSystemDriver(config)) {}

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

int CDTV_EzUSBFX2::IsDeviceOpen() { return device_ != nullptr ? 1 : 0; }

int CDTV_EzUSBFX2::GetDeviceCount() {
  if (device_ == nullptr) return 0;
  return device_->DeviceCount();
}

template <typename Fn>
int CDTV_EzUSBFX2::WithDevice(int index, Fn&& fn) {
  if (device_ == nullptr || index < 0 || index > 255) return 0;
  // The streaming device is answered from its open handle; opening another one through the same
  // object would close the handle under the transfer threads, so a second object does that.
  if (streaming_ && index == streaming_index_) return fn(*device_);
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
    info->status2 = ep->status2();
    info->status1 = ep->status1();
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
  if (device_ == nullptr || streaming_ || index < 0 || index > 255) return 0;
  if (!device_->Open(static_cast<uint8_t>(index))) {
    device_->Close();
    return 0;
  }
  in_endpoint_ = nullptr;
  out_endpoint_ = nullptr;
  for (int i = 0; i < device_->EndpointCount(); ++i) {
    usb::UsbEndpoint* ep = device_->Endpoint(i);
    if (ep == nullptr) continue;
    if (in_endpoint_ == nullptr && ep->bEndpointAddress() == in_address) in_endpoint_ = ep;
    if (out_endpoint_ == nullptr && ep->bEndpointAddress() == out_address) out_endpoint_ = ep;
  }
  // Streaming needs an IN endpoint; without one nothing is started.
  if (in_endpoint_ == nullptr || !in_endpoint_->is_in()) {
    in_endpoint_ = out_endpoint_ = nullptr;
    device_->Close();
    return 0;
  }

  FreeBuffers();
  for (int i = 0; i < kTransferCount; ++i) {
    free_list_.push_back(new TransferBuffer());
    ++buffers_allocated_;
  }
  ResetStatistics();
  streaming_index_ = index;
  stop_.store(false);
  device_lost_.store(false);
  request_done_ = false;
  streaming_ = true;
  try {
    request_thread_ = std::thread([this] { RequestThreadBody(); });
    receive_thread_ = std::thread([this] { ReceiveThreadBody(); });
  } catch (const std::system_error&) {
    Stop();
    return 0;
  }
  return 1;
}

int CDTV_EzUSBFX2::RequestThreadBody() {
  usb::UsbEndpoint* in = in_endpoint_;
  usb::UsbEndpoint* out = out_endpoint_;
  if (init_flag_ != 0 && out != nullptr) {
    uint8_t cmd1[2] = {0x80, 0x00};
    uint8_t cmd2[1] = {0x8B};
    uint8_t cmd3[2] = {0x80, 0x01};
    struct Command {
      uint8_t* bytes;
      uint32_t size;
    };
    for (const Command& c : {Command{cmd1, 2}, Command{cmd2, 1}, Command{cmd3, 2}}) {
      if (stop_.load()) break;
      WriteCommand(out, c.bytes, c.size);
    }
  }
  in->SetXferSize(kTransferSize);

  while (true) {
    TransferBuffer* b = nullptr;
    {
      std::unique_lock lock(list_mutex_);
      list_cv_.wait(lock, [this] { return stop_.load() || device_lost_.load() || !free_list_.empty(); });
      if (stop_.load() || device_lost_.load()) break;
      b = free_list_.front();
      free_list_.pop_front();
    }
    b->ov.Reset();
    b->endpoint = in;
    b->length = kTransferSize;
    b->request = in->BeginDataXfer(b->data, kTransferSize, &b->ov);
    // Once the buffer is in the pending list it belongs to the receive thread.
    const uint32_t begin_error = b->ov.begin_error;
    const bool begun = b->request != nullptr;
    {
      std::lock_guard lock(list_mutex_);
      pending_list_.push_back(b);
    }
    list_cv_.notify_all();
    // A driver that refuses transfers outright must not turn this loop into a busy spin.
    if (!begun || (begin_error != usb::kIoSuccess && begin_error != usb::kIoPending)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  in->Abort();
  if (out != nullptr) out->Abort();
  {
    std::lock_guard lock(list_mutex_);
    request_done_ = true;
  }
  list_cv_.notify_all();
  return 1;
}

bool CDTV_EzUSBFX2::WriteCommand(usb::UsbEndpoint* out, uint8_t* bytes, uint32_t size) {
  // Like a synchronous transfer with the endpoint's time-out, but a stop request ends the wait:
  // a tuner that does not take the write must not hold Stop for the whole time-out.
  usb::Overlapped ov;
  ov.Reset();
  std::unique_ptr<usb::RequestBlock> block = out->BeginDataXfer(bytes, size, &ov);
  if (block == nullptr) return false;
  bool done = out->WaitForXfer(&ov, 0);
  const uint32_t start = platform::TickCount();
  while (!done && ov.begin_error == usb::kIoPending && !stop_.load() &&
         platform::TickCount() - start < out->timeout()) {
    done = out->WaitForXfer(&ov, 20);
  }
  if (!done && ov.begin_error == usb::kIoPending) {
    out->CancelXfer(&ov);
    ov.event.Wait(platform::Event::kInfinite);
  }
  uint32_t length = size;
  return out->FinishDataXfer(bytes, &length, &ov, std::move(block)) && done;
}

int CDTV_EzUSBFX2::ReceiveThreadBody() {
  while (true) {
    TransferBuffer* b = nullptr;
    {
      std::unique_lock lock(list_mutex_);
      list_cv_.wait(lock, [this] { return !pending_list_.empty() || request_done_; });
      if (pending_list_.empty()) break;
      b = pending_list_.front();
      pending_list_.pop_front();
    }
    bool completed = b->request != nullptr && b->endpoint->WaitForXfer(&b->ov, kTransferWaitMs);
    if (!completed && b->request != nullptr && b->ov.begin_error == usb::kIoPending) {
      // The buffer goes back to the free list only once the driver is done with it.
      b->endpoint->CancelXfer(&b->ov);
      b->ov.event.Wait(platform::Event::kInfinite);
    }
    uint32_t length = b->length;
    const bool finished = b->endpoint->FinishDataXfer(b->data, &length, &b->ov, std::move(b->request));
    b->length = length;
    if (completed && finished) {
      if (length > 0) {
        const uint64_t total = total_bytes_.fetch_add(length, std::memory_order_relaxed) + length;
        if (callback_ != nullptr) {
          callback_(b->data, length, static_cast<uint32_t>(total), static_cast<uint32_t>(total >> 32),
                    callback_user_);
        }
      }
      transfers_ok_.fetch_add(1, std::memory_order_relaxed);
    } else if (stop_.load() && b->ov.error.load(std::memory_order_relaxed) == usb::kIoCancelled) {
      // Cancelled by Stop's abort: not a failure of the device.
    } else {
      transfers_failed_.fetch_add(1, std::memory_order_relaxed);
      if (b->ov.error.load(std::memory_order_relaxed) == usb::kIoDeviceGone ||
          b->ov.begin_error == usb::kIoDeviceGone) {
        device_lost_.store(true);
      }
    }
    {
      std::lock_guard lock(list_mutex_);
      free_list_.push_back(b);
    }
    list_cv_.notify_all();
  }
  return 1;
}

int CDTV_EzUSBFX2::Stop() {
  if (!streaming_) return 0;
  {
    std::lock_guard lock(list_mutex_);
    stop_.store(true);
  }
  list_cv_.notify_all();
  if (request_thread_.joinable()) request_thread_.join();
  if (receive_thread_.joinable()) receive_thread_.join();
  // Normally the receive thread has drained every pending transfer; FreeBuffers ends any that are
  // left (a receive thread that failed to start) while the device is still open.
  FreeBuffers();
  device_->Close();
  in_endpoint_ = out_endpoint_ = nullptr;
  streaming_ = false;
  return 1;
}

void CDTV_EzUSBFX2::FinishAbandoned(TransferBuffer* b) {
  if (b->request != nullptr && b->ov.begin_error == usb::kIoPending) {
    b->endpoint->CancelXfer(&b->ov);
    b->ov.event.Wait(platform::Event::kInfinite);
  }
  b->request.reset();
}

void CDTV_EzUSBFX2::FreeBuffers() {
  std::lock_guard lock(list_mutex_);
  for (TransferBuffer* b : pending_list_) {
    FinishAbandoned(b);
    delete b;
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

int CDTV_EzUSBFX2::IsStreaming() { return streaming_ ? 1 : 0; }

}  // namespace pelkan::core
