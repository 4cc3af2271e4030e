#pragma once

#include <cstddef>
#include <cstdint>

namespace pelkan {

// Bounds-checked big-endian reader over a span of section bytes. Every table handler and descriptor
// walk reads broadcast data only through it. A read past the end reads nothing, returns 0 and sets
// a sticky error flag; the position never passes the end.
class SectionReader {
 public:
  SectionReader() = default;
  SectionReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return Have(1) ? data_[pos_++] : 0; }
  uint16_t U16() {
    if (!Have(2)) return 0;
    const uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint32_t U24() {
    if (!Have(3)) return 0;
    const uint32_t v = uint32_t{data_[pos_]} << 16 | uint32_t{data_[pos_ + 1]} << 8 | data_[pos_ + 2];
    pos_ += 3;
    return v;
  }
  uint32_t U32() {
    if (!Have(4)) return 0;
    const uint32_t v = uint32_t{data_[pos_]} << 24 | uint32_t{data_[pos_ + 1]} << 16 |
                       uint32_t{data_[pos_ + 2]} << 8 | data_[pos_ + 3];
    pos_ += 4;
    return v;
  }
  // Pointer to the next n bytes, which are consumed; null (and the error flag) when fewer remain.
  const uint8_t* Bytes(size_t n) {
    if (!Have(n)) return nullptr;
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  // Skips n bytes; false (and the error flag) when fewer remain.
  bool Skip(size_t n) { return Bytes(n) != nullptr || n == 0; }

  // A reader over exactly the next n bytes, which are consumed. When fewer remain, the error flag
  // is set here and the returned reader is empty and failed.
  SectionReader Sub(size_t n) {
    const uint8_t* p = Bytes(n);
    if (!p) {
      SectionReader bad;
      bad.failed_ = true;
      return bad;
    }
    return SectionReader(p, n);
  }
  // A reader over the next min(n, Remaining()) bytes, which are consumed: for a loop whose stated
  // length may run past the data that is really there.
  SectionReader SubClamped(size_t n) { return Sub(n < Remaining() ? n : Remaining()); }

  size_t Remaining() const { return size_ - pos_; }
  size_t Offset() const { return pos_; }
  bool AtEnd() const { return pos_ == size_; }
  // False once any read ran past the end.
  bool ok() const { return !failed_; }

 private:
  bool Have(size_t n) {
    if (n <= size_ - pos_) return true;
    failed_ = true;
    return false;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace pelkan
