#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelkan::streamgen {

// Builds one PSI/SI section byte by byte: the header on construction, the body through the Put
// calls, section_length and CRC_32 in Finish. Nested 12-bit length fields (descriptor loops) and
// 8-bit descriptor lengths are opened and closed around their contents.
class SectionBuilder {
 public:
  // Long form (section_syntax_indicator 1). `private_bit` is the bit after the syntax indicator:
  // 0 for PSI and DSM-CC tables, 1 (reserved_future_use) for SI tables.
  SectionBuilder(uint8_t table_id, int private_bit, uint16_t table_id_extension, uint8_t version,
                 uint8_t section_number, uint8_t last_section_number);
  // Short form (section_syntax_indicator 0, reserved_future_use 1): TDT and TOT.
  explicit SectionBuilder(uint8_t table_id);
  // No header: a run of descriptors (or any bytes) for a section built later, taken by TakeBytes.
  SectionBuilder() = default;

  // Room for `size` bytes in all, so that a long section is not copied while it grows.
  void Reserve(size_t size) { bytes_.reserve(size); }

  void U8(uint32_t v) { bytes_.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v >> 8); U8(v); }
  void U24(uint32_t v) { U8(v >> 16); U16(v); }
  void U32(uint32_t v) { U16(v >> 16); U16(v); }
  void Bytes(const void* data, size_t size);
  void Bytes(const std::string& s) { Bytes(s.data(), s.size()); }

  // A 16-bit field whose top 4 bits are `top` and low 12 bits the length of what follows until
  // the matching CloseLength12. Returns the handle to pass to it.
  size_t OpenLength12(uint8_t top = 0xF);
  void CloseLength12(size_t handle);
  // Descriptor: tag, then an 8-bit length closed by CloseDescriptor.
  size_t OpenDescriptor(uint8_t tag);
  void CloseDescriptor(size_t handle);

  // Completes section_length (and CRC_32 when `with_crc`) and returns the section.
  std::vector<uint8_t> Finish(bool with_crc = true);
  // Bytes written so far.
  size_t Length() const { return bytes_.size(); }
  // The bytes as they are, without completing anything.
  std::vector<uint8_t> TakeBytes() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// Start time field of the EIT and TDT/TOT: MJD (16 bits) then hh mm ss in BCD.
void PutMjdBcdTime(SectionBuilder& b, uint32_t mjd, uint32_t seconds_of_day);
// Duration as hh mm ss BCD; 0xFFFFFFFF (undefined) gives FF FF FF.
void PutBcdDuration(SectionBuilder& b, uint32_t seconds);
// Two BCD digits of 0..99.
constexpr uint8_t Bcd2(uint32_t v) { return static_cast<uint8_t>((v / 10 % 10) << 4 | (v % 10)); }

}  // namespace pelkan::streamgen
