#include "output/file_recorder.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/clock.h"

namespace pelkan {

namespace {

uint32_t BufferCapacity(uint32_t block_size) {
  const uint64_t twice = 2ull * block_size;
  if (twice > 0xFFFFF) return twice > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(twice);
  return 0x100000;
}

// Writes all `length` bytes unless the file system fails; returns the bytes it accepted.
uint64_t WriteAll(int fd, const uint8_t* data, uint32_t length, bool* ok) {
  uint64_t done = 0;
  *ok = true;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *ok = false;
      break;
    }
    if (n == 0) {
      *ok = false;
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  return done;
}

}  // namespace

FileRecorder::FileRecorder(uint32_t block_size)
    : block_size_(block_size == 0 ? 1 : block_size),
      capacity_(BufferCapacity(block_size_)),
      free_space_(&FileRecorder::QueryFreeSpace),
      tick_(&platform::TickCount) {}

FileRecorder::~FileRecorder() {
  CloseFile();
}

int FileRecorder::OpenFile(const std::string& path) {
  if (fd_ >= 0) CloseFile();
  if (buffer_.size() != capacity_) {
    try {
      buffer_.resize(capacity_);
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return 0;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    directory_.clear();
  } else {
    directory_ = path.substr(0, slash == 0 ? 1 : slash);
  }
  buffered_ = 0;
  bytes_written_.store(0, std::memory_order_relaxed);
  fd_ = fd;
  start_tick_ = tick_();
  return 1;
}

uint32_t FileRecorder::GetElapsedMs() const {
  if (fd_ < 0) return 0;
  return tick_() - start_tick_;
}

uint64_t FileRecorder::GetFreeSpace() const {
  if (fd_ < 0 || !free_space_) return 0;
  uint64_t bytes = 0;
  if (!free_space_(directory_, &bytes)) return 0;
  return bytes;
}

bool FileRecorder::QueryFreeSpace(const std::string& directory, uint64_t* bytes) {
  struct statvfs st {};
  if (::statvfs(directory.empty() ? "." : directory.c_str(), &st) != 0) return false;
  *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

bool FileRecorder::WriteBuffered(uint32_t max, uint32_t* written) {
  const uint32_t n = std::min(max, buffered_);
  if (n == 0) return true;
  bool ok = false;
  const uint64_t done = WriteAll(fd_, buffer_.data(), n, &ok);
  bytes_written_.fetch_add(done, std::memory_order_relaxed);
  *written += static_cast<uint32_t>(done);
  // What follows the block is less than a packet while packets are shorter than a block.
  buffered_ -= n;
  if (buffered_ > 0) std::memmove(buffer_.data(), buffer_.data() + n, buffered_);
  return ok;
}

int FileRecorder::WritePacket(const uint8_t* data, uint32_t length, uint32_t* written) {
  uint32_t out = 0;
  if (written) *written = 0;
  if (fd_ < 0) return 0;
  const uint32_t room = capacity_ - buffered_;
  const uint32_t taken = std::min(room, length);
  if (taken > 0) std::memcpy(buffer_.data() + buffered_, data, taken);
  buffered_ += taken;
  if (taken < length) return 0;
  int result = 1;
  // One block per packet is enough while packets are shorter than a block; the loop only matters
  // for blocks smaller than a packet, where a single write per call would let the buffer overflow.
  while (buffered_ > block_size_) {
    if (!WriteBuffered(block_size_, &out)) result = 0;
  }
  if (written) *written = out;
  return result;
}

void FileRecorder::CloseFile() {
  if (fd_ < 0) return;
  uint32_t ignored = 0;
  while (buffered_ > 0) {
    if (!WriteBuffered(block_size_, &ignored)) {
      buffered_ = 0;
      break;
    }
  }
  ::close(fd_);
  fd_ = -1;
  directory_.clear();
}

}  // namespace pelkan
