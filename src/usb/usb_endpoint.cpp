#include "usb/usb_endpoint.h"

#include <algorithm>
#include <cstring>

namespace pelkan::usb {

UsbEndpoint::UsbEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d)
    : handle_(handle),
      bLength_(d.bLength),
      bDescriptorType_(d.bDescriptorType),
      bEndpointAddress_(d.bEndpointAddress),
      bmAttributes_(d.bmAttributes),
      max_packet_size_(static_cast<uint16_t>((d.wMaxPacketSize & 0x7FF) * (((d.wMaxPacketSize >> 11) & 3) + 1))),
      transactions_(static_cast<uint16_t>(((d.wMaxPacketSize >> 11) & 3) + 1)),
      bInterval_(d.bInterval),
      in_((d.bEndpointAddress & 0x80) != 0) {}

std::unique_ptr<RequestBlock> UsbEndpoint::BeginDataXfer(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  if (handle_ == nullptr) return nullptr;
  return direct_ ? BeginDirect(buffer, length, ov) : BeginBuffered(buffer, length, ov);
}

void UsbEndpoint::Issue(uint32_t code, RequestBlock* block, uint8_t* out, uint32_t out_size, Overlapped* ov) {
  const IoResult r = handle_->Request(code, block->data(), block->size(), out, out_size, ov);
  uint32_t error = r.error;
  if (!r.ok && error == kIoSuccess) error = kIoFailed;
  ov->begin_error = error;
  last_error_.store(error, std::memory_order_relaxed);
  // The status words are only stable once the request is no longer in flight.
  if (error != kIoPending) {
    status1_.store(block->u32(kBlockStatus1), std::memory_order_relaxed);
    status2_.store(block->u32(kBlockStatus2), std::memory_order_relaxed);
  }
}

std::unique_ptr<RequestBlock> UsbEndpoint::BeginDirect(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  auto block = std::make_unique<RequestBlock>(kBlockHeaderSize);
  block->set_u8(kBlockEndpoint, bEndpointAddress_);
  Issue(kIoctlDirectTransfer, block.get(), buffer, length, ov);
  return block;
}

std::unique_ptr<RequestBlock> UsbEndpoint::BeginBuffered(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  auto block = std::make_unique<RequestBlock>(kBlockHeaderSize + length);
  block->set_u8(kBlockEndpoint, bEndpointAddress_);
  block->set_u32(kBlockDataOffset, kBlockHeaderSize);
  block->set_u32(kBlockDataLength, length);
  if (length > 0 && buffer != nullptr) std::memcpy(block->data() + kBlockHeaderSize, buffer, length);
  Issue(kIoctlBufferedTransfer, block.get(), block->data(), block->size(), ov);
  return block;
}

bool UsbEndpoint::WaitForXfer(Overlapped* ov, uint32_t timeout_ms) {
  if (ov->begin_error == kIoSuccess) return true;
  if (ov->begin_error != kIoPending) return false;
  return ov->event.Wait(timeout_ms);
}

bool UsbEndpoint::FinishDataXfer(uint8_t* buffer, uint32_t* length, Overlapped* ov,
                                 std::unique_ptr<RequestBlock> block, uint8_t* packet_info) {
  uint32_t count = 0;
  uint32_t error = 0;
  const bool ok = GetOverlappedResult(*ov, &count, &error);
  if (block == nullptr) {
    *length = 0;
    return false;
  }
  const uint32_t data_offset = block->u32(kBlockDataOffset);
  uint32_t bytes = count == 0 ? 0 : (count > data_offset ? count - data_offset : 0);
  // The driver's count is not trusted beyond what was asked for.
  bytes = std::min(bytes, *length);
  if (data_offset != 0) {
    const uint32_t area = std::min(block->u32(kBlockDataLength),
                                   block->size() > data_offset ? block->size() - data_offset : 0u);
    bytes = std::min(bytes, area);
  }
  bytes_transferred_.store(bytes, std::memory_order_relaxed);
  *length = bytes;
  const uint32_t s1 = block->u32(kBlockStatus1);
  const uint32_t s2 = block->u32(kBlockStatus2);
  status1_.store(s1, std::memory_order_relaxed);
  status2_.store(s2, std::memory_order_relaxed);
  if (in_ && !direct_ && data_offset != 0 && bytes > 0 && buffer != nullptr) {
    std::memcpy(buffer, block->data() + data_offset, bytes);
  }
  if (packet_info != nullptr && bytes > 0) {
    const uint32_t poff = block->u32(kBlockPacketOffset);
    const uint32_t plen = block->u32(kBlockPacketLength);
    if (plen > 0 && poff >= kBlockHeaderSize && static_cast<uint64_t>(poff) + plen <= block->size()) {
      std::memcpy(packet_info, block->data() + poff, plen);
    }
  }
  return ok && s1 == 0 && s2 == 0;
}

bool UsbEndpoint::XferData(uint8_t* buffer, uint32_t* length, uint8_t* packet_info) {
  Overlapped ov;
  ov.Reset();
  std::unique_ptr<RequestBlock> block = BeginDataXfer(buffer, *length, &ov);
  if (block == nullptr) {
    *length = 0;
    return false;
  }
  bool waited = false;
  if (ov.begin_error == kIoSuccess) {
    waited = true;
  } else if (ov.begin_error == kIoPending) {
    if (ov.event.Wait(timeout_ms_)) {
      waited = true;
    } else {
      // Nothing may write into the caller's buffer after we return: end the transfer first.
      if (!CancelXfer(&ov)) Abort();
      ov.event.Wait(platform::Event::kInfinite);
    }
  }
  const bool finished = FinishDataXfer(buffer, length, &ov, std::move(block), packet_info);
  return waited && finished;
}

bool UsbEndpoint::CancelXfer(Overlapped* ov) {
  if (handle_ == nullptr || ov->begin_error != kIoPending) return false;
  return handle_->Cancel(ov);
}

bool UsbEndpoint::Abort() {
  if (handle_ == nullptr) return false;
  uint8_t address = bEndpointAddress_;
  return handle_->Request(kIoctlAbortPipe, &address, 1, nullptr, 0, nullptr).ok;
}

bool UsbEndpoint::ResetPipe() {
  if (handle_ == nullptr) return false;
  uint8_t address = bEndpointAddress_;
  return handle_->Request(kIoctlResetPipe, &address, 1, nullptr, 0, nullptr).ok;
}

uint32_t UsbEndpoint::RoundXferSize(uint32_t size) const {
  if (max_packet_size_ == 0 || size % max_packet_size_ == 0) return size;
  const uint64_t rounded = (static_cast<uint64_t>(size) / max_packet_size_ + 1) * max_packet_size_;
  return rounded > 0xFFFFFFFFu ? size : static_cast<uint32_t>(rounded);
}

void UsbEndpoint::SetXferSize(uint32_t size) {
  if (handle_ == nullptr) return;
  uint8_t block[5];
  block[0] = bEndpointAddress_;
  PutLe32(block + 1, RoundXferSize(size));
  handle_->Request(kIoctlSetTransferSize, block, sizeof(block), block, sizeof(block), nullptr);
}

UsbControlEndpoint::UsbControlEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d)
    : UsbEndpoint(handle, d) {
  direct_ = false;
}

uint32_t UsbControlEndpoint::TimeoutSeconds(uint32_t timeout_ms) {
  if (timeout_ms > 0 && timeout_ms < 1000) return 1;
  return timeout_ms / 1000;
}

std::unique_ptr<RequestBlock> UsbControlEndpoint::BeginDataXfer(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  if (handle_ == nullptr) return nullptr;
  if (length > 0xFFFF) length = 0xFFFF;  // the data stage length is a 16-bit field
  in_ = direction == 1;
  auto block = std::make_unique<RequestBlock>(kBlockHeaderSize + length);
  block->set_u8(kBlockRequestType, static_cast<uint8_t>(((direction & 1) << 7) | ((request_type & 3) << 5) |
                                                        (recipient & 0x1F)));
  block->set_u8(kBlockRequest, request);
  block->set_u16(kBlockValue, value);
  block->set_u16(kBlockIndex, index);
  block->set_u16(kBlockLength, static_cast<uint16_t>(length));
  block->set_u32(kBlockTimeout, TimeoutSeconds(timeout_ms_));
  block->set_u32(kBlockDataOffset, kBlockHeaderSize);
  block->set_u32(kBlockDataLength, length);
  if (length > 0 && buffer != nullptr) std::memcpy(block->data() + kBlockHeaderSize, buffer, length);
  Issue(kIoctlControlTransfer, block.get(), block->data(), block->size(), ov);
  return block;
}

std::unique_ptr<RequestBlock> UsbIsoEndpoint::BeginDirect(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  if (max_packet_size_ == 0) return nullptr;
  const uint32_t packets = (length + max_packet_size_ - 1) / max_packet_size_;
  if (packets == 0) return nullptr;
  auto block = std::make_unique<RequestBlock>(kBlockHeaderSize + 8 * packets);
  block->set_u8(kBlockEndpoint, bEndpointAddress_);
  block->set_u32(kBlockPacketOffset, kBlockHeaderSize);
  block->set_u32(kBlockPacketLength, 8 * packets);
  Issue(kIoctlDirectTransfer, block.get(), buffer, length, ov);
  return block;
}

std::unique_ptr<RequestBlock> UsbIsoEndpoint::BeginBuffered(uint8_t* buffer, uint32_t length, Overlapped* ov) {
  if (max_packet_size_ == 0) return nullptr;
  const uint32_t packets = (length + max_packet_size_ - 1) / max_packet_size_;
  if (packets == 0) return nullptr;
  const uint32_t data_offset = kBlockHeaderSize + 8 * packets;
  auto block = std::make_unique<RequestBlock>(data_offset + length);
  block->set_u8(kBlockEndpoint, bEndpointAddress_);
  block->set_u32(kBlockPacketOffset, kBlockHeaderSize);
  block->set_u32(kBlockPacketLength, 8 * packets);
  block->set_u32(kBlockDataOffset, data_offset);
  block->set_u32(kBlockDataLength, length);
  if (buffer != nullptr) std::memcpy(block->data() + data_offset, buffer, length);
  Issue(kIoctlBufferedTransfer, block.get(), block->data(), block->size(), ov);
  return block;
}

std::unique_ptr<UsbEndpoint> MakeEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d) {
  switch (d.bmAttributes) {
    case kAttrControl: return std::make_unique<UsbControlEndpoint>(handle, d);
    case kAttrIsochronous: return std::make_unique<UsbIsoEndpoint>(handle, d);
    case kAttrBulk:
    case kAttrInterrupt: return std::make_unique<UsbBulkEndpoint>(handle, d);
    default: return nullptr;
  }
}

}  // namespace pelkan::usb
