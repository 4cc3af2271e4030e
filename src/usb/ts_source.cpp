#include "usb/ts_source.h"

#include <cstdio>
#include <cstring>

namespace pelkan::usb {

std::unique_ptr<FileTsSource> FileTsSource::Open(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return nullptr;
  auto src = std::unique_ptr<FileTsSource>(new FileTsSource());
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) src->data_.insert(src->data_.end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed || src->data_.empty()) return nullptr;
  return src;
}

size_t FileTsSource::Read(uint8_t* dst, size_t len) {
  size_t done = 0;
  while (done < len) {
    const size_t n = std::min(len - done, data_.size() - pos_);
    std::memcpy(dst + done, data_.data() + pos_, n);
    done += n;
    pos_ += n;
    if (pos_ == data_.size()) pos_ = 0;
  }
  return done;
}

uint8_t PatternTsSource::ByteAt(uint64_t pos, uint32_t packet_size) {
  const uint64_t packet = pos / packet_size;
  const uint32_t k = static_cast<uint32_t>(pos % packet_size);
  switch (k) {
    case 0: return 0x47;
    case 1: return 0x1F;
    case 2: return 0xFF;
    case 3: return static_cast<uint8_t>(0x10 | (packet & 0x0F));
    default: return static_cast<uint8_t>((packet * 131 + k * 7 + (packet >> 8)) & 0xFF);
  }
}

size_t PatternTsSource::Read(uint8_t* dst, size_t len) {
  for (size_t i = 0; i < len; ++i) dst[i] = ByteAt(pos_ + i, packet_size_);
  pos_ += len;
  return len;
}

}  // namespace pelkan::usb
