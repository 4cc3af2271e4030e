#include "ts/stream_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace pelkan {
namespace {

// The processor takes at most this much per call (its length is an int).
constexpr size_t kFeedPiece = size_t{1} << 30;
// Read size when the file cannot be mapped (a pipe, a device).
constexpr size_t kReadBlock = size_t{4} << 20;

}  // namespace

StreamCheck::StreamCheck() {
  processor_.SetEventHandler(&StreamCheck::OnEvent, this);
}

void StreamCheck::OnEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
  if (type != EVENT_PACKET || param != 0 || data == nullptr) return;
  auto* self = static_cast<StreamCheck*>(user);
  self->packet_size_ = count;
  self->checker_.Check(data, self->offset_);
  self->offset_ += count;
}

void StreamCheck::Feed(const uint8_t* data, size_t length) {
  bytes_ += length;
  while (length > 0) {
    const size_t n = std::min(length, kFeedPiece);
    processor_.Feed(data, static_cast<int>(n), stats_);
    data += n;
    length -= n;
  }
}

bool StreamCheck::FeedFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && S_ISDIR(st.st_mode)) {
    *error = std::strerror(EISDIR);
    ::close(fd);
    return false;
  }
  if (ok && S_ISREG(st.st_mode) && st.st_size > 0) {
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map != MAP_FAILED) {
      ::madvise(map, size, MADV_SEQUENTIAL);
      Feed(static_cast<const uint8_t*>(map), size);
      ::munmap(map, size);
      ::close(fd);
      return true;
    }
  }
  // Not mappable: read it in blocks.
  std::vector<uint8_t> block(kReadBlock);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) {
      ok = true;
      break;
    }
    Feed(block.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace pelkan
