#include "usb/usb_endpoint.h"

#include <algorithm>
#include <cstring>

namespace pelkan::usb {

UsbEndpoint::UsbEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d)
    : backend_(backend),
      bLength_(d.bLength),
      bDescriptorType_(d.bDescriptorType),
      bEndpointAddress_(d.bEndpointAddress),
      bmAttributes_(d.bmAttributes),
      max_packet_size_(
          static_cast<uint16_t>((d.wMaxPacketSize & 0x7FF) * (((d.wMaxPacketSize >> 11) & 3) + 1))),
      transactions_(static_cast<uint16_t>(((d.wMaxPacketSize >> 11) & 3) + 1)),
      bInterval_(d.bInterval),
      in_((d.bEndpointAddress & 0x80) != 0) {}

bool UsbEndpoint::BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer) {
  if (backend_ == nullptr) {
    xfer->SetSubmitStatus(UsbStatus::kDeviceGone);
    return false;
  }
  const UsbStatus s = backend_->Submit(bEndpointAddress_, buffer, length, xfer);
  xfer->SetSubmitStatus(s);
  if (s != UsbStatus::kOk) status_.store(s, std::memory_order_relaxed);
  return s == UsbStatus::kOk;
}

bool UsbEndpoint::WaitForXfer(UsbTransfer* xfer, uint32_t timeout_ms) {
  return xfer->started() && xfer->Wait(timeout_ms);
}

bool UsbEndpoint::FinishDataXfer(uint8_t* buffer, uint32_t* length, UsbTransfer* xfer) {
  UsbStatus status = xfer->submit_status();
  uint32_t bytes = 0;
  if (xfer->started()) {
    // A transfer still in flight has nothing to report yet (and its record must not be read).
    status = xfer->IsComplete() ? xfer->status() : UsbStatus::kTimeout;
    if (xfer->IsComplete()) bytes = xfer->actual_length();
  }
  // The backend's count is not trusted beyond what was asked for.
  bytes = std::min(bytes, *length);
  if (!direct_) bytes = std::min(bytes, static_cast<uint32_t>(xfer->staging.size()));
  status_.store(status, std::memory_order_relaxed);
  *length = bytes;
  if (in_ && !direct_ && bytes > 0 && buffer != nullptr) std::memcpy(buffer, xfer->staging.data(), bytes);
  return status == UsbStatus::kOk;
}

bool UsbEndpoint::XferData(uint8_t* buffer, uint32_t* length) {
  UsbTransfer xfer;
  xfer.Reset();
  bool waited = false;
  if (BeginDataXfer(buffer, *length, &xfer)) {
    waited = xfer.Wait(timeout_ms_);
    if (!waited) {
      // Nothing may write into the caller's buffer after we return: end the transfer first.
      if (!CancelXfer(&xfer)) Abort();
      xfer.Wait(platform::Event::kInfinite);
    }
  }
  const bool finished = FinishDataXfer(buffer, length, &xfer);
  return waited && finished;
}

bool UsbEndpoint::CancelXfer(UsbTransfer* xfer) {
  if (backend_ == nullptr || !xfer->started()) return false;
  return backend_->Cancel(xfer);
}

bool UsbEndpoint::Abort() {
  return backend_ != nullptr && backend_->Abort(bEndpointAddress_);
}

bool UsbEndpoint::ResetPipe() {
  return backend_ != nullptr && backend_->ClearHalt(bEndpointAddress_) == UsbStatus::kOk;
}

uint32_t UsbEndpoint::RoundXferSize(uint32_t size) const {
  if (max_packet_size_ == 0 || size % max_packet_size_ == 0) return size;
  const uint64_t rounded = (static_cast<uint64_t>(size) / max_packet_size_ + 1) * max_packet_size_;
  return rounded > 0xFFFFFFFFu ? size : static_cast<uint32_t>(rounded);
}

void UsbEndpoint::SetXferSize(uint32_t size) {
  if (backend_ != nullptr) backend_->SetTransferSize(bEndpointAddress_, RoundXferSize(size));
}

UsbControlEndpoint::UsbControlEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d)
    : UsbEndpoint(backend, d) {
  direct_ = false;
}

uint32_t UsbControlEndpoint::TimeoutSeconds(uint32_t timeout_ms) {
  if (timeout_ms > 0 && timeout_ms < 1000) return 1;
  return timeout_ms / 1000;
}

bool UsbControlEndpoint::BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer) {
  if (backend_ == nullptr) {
    xfer->SetSubmitStatus(UsbStatus::kDeviceGone);
    return false;
  }
  if (length > 0xFFFF) length = 0xFFFF;  // the data stage length is a 16-bit field
  in_ = direction == 1;
  UsbSetup setup;
  setup.request_type =
      static_cast<uint8_t>(((direction & 1) << 7) | ((request_type & 3) << 5) | (recipient & 0x1F));
  setup.request = request;
  setup.value = value;
  setup.index = index;
  xfer->staging.resize(length);
  if (!in_ && length > 0 && buffer != nullptr) std::memcpy(xfer->staging.data(), buffer, length);
  uint32_t actual = 0;
  const UsbStatus s = backend_->ControlTransfer(setup, xfer->staging.data(), static_cast<uint16_t>(length),
                                                TimeoutSeconds(timeout_ms_) * 1000, &actual);
  // The transfer has run already; it completes here, failed or not.
  xfer->SetSubmitStatus(UsbStatus::kOk);
  xfer->Complete(s, s == UsbStatus::kOk ? actual : 0);
  return true;
}

bool UsbIsoEndpoint::BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer) {
  if (max_packet_size_ == 0 || length == 0) {
    xfer->SetSubmitStatus(UsbStatus::kInvalid);
    return false;
  }
  return UsbEndpoint::BeginDataXfer(buffer, length, xfer);
}

std::unique_ptr<UsbEndpoint> MakeEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d) {
  switch (d.bmAttributes) {
    case kAttrControl:
      return std::make_unique<UsbControlEndpoint>(backend, d);
    case kAttrIsochronous:
      return std::make_unique<UsbIsoEndpoint>(backend, d);
    case kAttrBulk:
    case kAttrInterrupt:
      return std::make_unique<UsbBulkEndpoint>(backend, d);
    default:
      return nullptr;
  }
}

}  // namespace pelkan::usb
