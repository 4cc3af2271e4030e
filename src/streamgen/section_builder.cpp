#include "streamgen/section_builder.h"

#include <utility>

#include "base/crc32.h"

namespace pelkan::streamgen {

SectionBuilder::SectionBuilder(uint8_t table_id, int private_bit, uint16_t table_id_extension,
                               uint8_t version, uint8_t section_number, uint8_t last_section_number) {
  bytes_.reserve(1024);
  U8(table_id);
  U16(0x8000u | (private_bit ? 0x4000u : 0u) | 0x3000u);
  U16(table_id_extension);
  U8(0xC0u | (version & 0x1Fu) << 1 | 1u);  // current_next_indicator 1
  U8(section_number);
  U8(last_section_number);
}

SectionBuilder::SectionBuilder(uint8_t table_id) {
  bytes_.reserve(64);
  U8(table_id);
  U16(0x7000u);
}

void SectionBuilder::Bytes(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

size_t SectionBuilder::OpenLength12(uint8_t top) {
  const size_t at = bytes_.size();
  U16(static_cast<uint32_t>(top & 0xF) << 12);
  return at;
}

void SectionBuilder::CloseLength12(size_t handle) {
  const size_t len = bytes_.size() - handle - 2;
  bytes_[handle] = static_cast<uint8_t>((bytes_[handle] & 0xF0) | ((len >> 8) & 0x0F));
  bytes_[handle + 1] = static_cast<uint8_t>(len);
}

size_t SectionBuilder::OpenDescriptor(uint8_t tag) {
  U8(tag);
  const size_t at = bytes_.size();
  U8(0);
  return at;
}

void SectionBuilder::CloseDescriptor(size_t handle) {
  bytes_[handle] = static_cast<uint8_t>(bytes_.size() - handle - 1);
}

std::vector<uint8_t> SectionBuilder::Finish(bool with_crc) {
  const size_t section_length = bytes_.size() - 3 + (with_crc ? 4 : 0);
  bytes_[1] = static_cast<uint8_t>((bytes_[1] & 0xF0) | ((section_length >> 8) & 0x0F));
  bytes_[2] = static_cast<uint8_t>(section_length);
  if (with_crc) U32(Crc32Mpeg2(bytes_.data(), bytes_.size()));
  return std::move(bytes_);
}

void PutMjdBcdTime(SectionBuilder& b, uint32_t mjd, uint32_t seconds_of_day) {
  b.U16(mjd);
  b.U8(Bcd2(seconds_of_day / 3600));
  b.U8(Bcd2(seconds_of_day / 60 % 60));
  b.U8(Bcd2(seconds_of_day % 60));
}

void PutBcdDuration(SectionBuilder& b, uint32_t seconds) {
  if (seconds == 0xFFFFFFFFu) {
    b.U24(0xFFFFFF);
    return;
  }
  b.U8(Bcd2(seconds / 3600));
  b.U8(Bcd2(seconds / 60 % 60));
  b.U8(Bcd2(seconds % 60));
}

}  // namespace pelkan::streamgen
