#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace pelkan::usb {

// The driver's request block: a 38-byte little-endian header, followed in the buffered forms by the
// packet-information area and the data area. Offsets of the header fields:
inline constexpr uint32_t kBlockRequestType = 0;   // u8: bit 7 to host, bits 5-6 type, 0-4 recipient
inline constexpr uint32_t kBlockRequest = 1;       // u8
inline constexpr uint32_t kBlockValue = 2;         // u16
inline constexpr uint32_t kBlockIndex = 4;         // u16
inline constexpr uint32_t kBlockLength = 6;        // u16: data stage length
inline constexpr uint32_t kBlockTimeout = 8;       // u32: seconds
inline constexpr uint32_t kBlockEndpoint = 13;     // u8: endpoint address, 0 for control
inline constexpr uint32_t kBlockStatus1 = 14;      // u32, written by the driver
inline constexpr uint32_t kBlockStatus2 = 18;      // u32, written by the driver
inline constexpr uint32_t kBlockPacketOffset = 22; // u32
inline constexpr uint32_t kBlockPacketLength = 26; // u32
inline constexpr uint32_t kBlockDataOffset = 30;   // u32
inline constexpr uint32_t kBlockDataLength = 34;   // u32
inline constexpr uint32_t kBlockHeaderSize = 38;

// Status words a driver writes for failed transfers (the USB stack's codes).
inline constexpr uint32_t kUsbdStatusStall = 0xC0000004;      // the endpoint is halted
inline constexpr uint32_t kUsbdStatusXactError = 0xC0000011;  // transaction error, overflow, ...
inline constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;
inline constexpr uint32_t kUsbdStatusDeviceGone = 0xC0007000;

// Little-endian field access on a raw block; the caller makes sure the field lies inside it.
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A heap-held request block of a fixed size, zero-filled at creation. Its bytes do not move while
// it lives, so a driver may work on them while the request is in flight.
class RequestBlock {
 public:
  explicit RequestBlock(uint32_t size) : bytes_(size < kBlockHeaderSize ? kBlockHeaderSize : size) {}

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

  uint8_t u8(uint32_t off) const { return bytes_[off]; }
  uint16_t u16(uint32_t off) const { return GetLe16(&bytes_[off]); }
  uint32_t u32(uint32_t off) const { return GetLe32(&bytes_[off]); }
  void set_u8(uint32_t off, uint8_t v) { bytes_[off] = v; }
  void set_u16(uint32_t off, uint16_t v) { PutLe16(&bytes_[off], v); }
  void set_u32(uint32_t off, uint32_t v) { PutLe32(&bytes_[off], v); }

 private:
  std::vector<uint8_t> bytes_;
};

// The fields of a request block header, decoded. Used by the driver backends.
struct BlockHeader {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  uint32_t timeout_s = 0;
  uint8_t endpoint = 0;
  uint32_t packet_offset = 0;
  uint32_t packet_length = 0;
  uint32_t data_offset = 0;
  uint32_t data_length = 0;
};

// Decodes the header of a block of `size` bytes. False when the block is shorter than a header or
// its data or packet area lies outside it.
inline bool ReadBlockHeader(const uint8_t* block, uint32_t size, BlockHeader* h) {
  if (block == nullptr || size < kBlockHeaderSize) return false;
  h->request_type = block[kBlockRequestType];
  h->request = block[kBlockRequest];
  h->value = GetLe16(block + kBlockValue);
  h->index = GetLe16(block + kBlockIndex);
  h->length = GetLe16(block + kBlockLength);
  h->timeout_s = GetLe32(block + kBlockTimeout);
  h->endpoint = block[kBlockEndpoint];
  h->packet_offset = GetLe32(block + kBlockPacketOffset);
  h->packet_length = GetLe32(block + kBlockPacketLength);
  h->data_offset = GetLe32(block + kBlockDataOffset);
  h->data_length = GetLe32(block + kBlockDataLength);
  const uint64_t data_end = static_cast<uint64_t>(h->data_offset) + h->data_length;
  const uint64_t packet_end = static_cast<uint64_t>(h->packet_offset) + h->packet_length;
  if (h->data_length > 0 && (h->data_offset < kBlockHeaderSize || data_end > size)) return false;
  if (h->packet_length > 0 && (h->packet_offset < kBlockHeaderSize || packet_end > size)) return false;
  return true;
}

// Writes the driver's two status words into a block.
inline void WriteBlockStatus(uint8_t* block, uint32_t status1, uint32_t status2) {
  PutLe32(block + kBlockStatus1, status1);
  PutLe32(block + kBlockStatus2, status2);
}

}  // namespace pelkan::usb
