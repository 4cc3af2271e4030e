#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelkan::streamgen {

// Writes fields of any width, most significant bit first, into a growing byte vector. Used to
// build sections, elementary-stream headers and coded pictures once, off the hot path.
class BitWriter {
 public:
  // Appends the low `bits` bits of `value` (bits 0..32).
  void Put(uint32_t value, int bits);
  // Appends whole bytes; the writer must be byte-aligned.
  void PutBytes(const void* data, size_t size);
  // Pads with zero bits up to the next byte boundary.
  void AlignZero();
  size_t BitCount() const { return bytes_.size() * 8 - (bit_pos_ == 0 ? 0 : 8 - bit_pos_); }
  size_t ByteCount() const { return bytes_.size(); }
  uint8_t Byte(size_t index) const { return bytes_[index]; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int bit_pos_ = 0;  // bits used in the last byte, 0 = aligned
};

}  // namespace pelkan::streamgen
