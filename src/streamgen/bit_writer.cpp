#include "streamgen/bit_writer.h"

#include <utility>

namespace pelkan::streamgen {

void BitWriter::Put(uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    if (bit_pos_ == 0) bytes_.push_back(0);
    if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(0x80u >> bit_pos_);
    bit_pos_ = (bit_pos_ + 1) & 7;
  }
}

void BitWriter::PutBytes(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

void BitWriter::AlignZero() { bit_pos_ = 0; }

}  // namespace pelkan::streamgen
