#include "schedule/block_file_writer.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pelkan {

BlockFileWriter::BlockFileWriter(uint32_t block_size) : block_size_(block_size == 0 ? 1 : block_size) {}

BlockFileWriter::~BlockFileWriter() {
  if (fd_ >= 0) {
    Flush();
    ::close(fd_);
  }
}

bool BlockFileWriter::Open(const std::string& path) {
  if (fd_ >= 0) return false;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  path_ = path;
  block_ = std::make_unique<uint8_t[]>(block_size_);
  return true;
}

void BlockFileWriter::Write(const uint8_t* data, uint32_t length) {
  if (fd_ < 0 || write_errors_.load(std::memory_order_relaxed) != 0) return;
  bytes_written_.fetch_add(length, std::memory_order_relaxed);
  while (length > 0) {
    const uint32_t n = std::min(length, block_size_ - used_);
    std::memcpy(block_.get() + used_, data, n);
    used_ += n;
    data += n;
    length -= n;
    if (used_ == block_size_) Flush();
  }
}

void BlockFileWriter::Flush() {
  const uint8_t* p = block_.get();
  uint32_t left = used_;
  used_ = 0;
  while (left > 0 && write_errors_.load(std::memory_order_relaxed) == 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      write_errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    p += n;
    left -= static_cast<uint32_t>(n);
  }
}

uint64_t BlockFileWriter::FreeSpace() const {
  if (fd_ < 0) return 0;
  struct statvfs st {};
  if (::fstatvfs(fd_, &st) != 0) return 0;
  return uint64_t{st.f_bavail} * st.f_frsize;
}

}  // namespace pelkan
