#include "ts/stream_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file_scan.h"

namespace pelkan {
namespace {

// Bytes aligned per call (the aligner counts in 32 bits).
constexpr size_t kFeedPiece = size_t{1} << 30;
// Bytes read at a time when the start of a file is looked at: a block below the allocator's
// mapping threshold (128 KiB) comes from the heap, into which the kernel copies four times faster
// than into a freshly mapped block, and stays in the cache between the read and the check.
constexpr size_t kReadBlock = size_t{120} << 10;

}  // namespace

StreamCheck::StreamCheck() = default;

void StreamCheck::Feed(const uint8_t* data, size_t length) {
  bytes_ += length;
  while (length > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min(length, kFeedPiece));
    aligner_.Feed(data, n, stats_, [this](const uint8_t* packet, uint32_t size) {
      packet_size_ = size;
      bool gap = false;
      while (next_gap_ < gaps_.size() && gaps_[next_gap_] <= offset_) {
        gap = true;
        ++next_gap_;
      }
      if (gap) checker_.RestartContinuity();
      checker_.Check(packet, offset_);
      offset_ += size;
    });
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
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const bool ok = platform::ScanFile(fd, [this](const uint8_t* data, size_t length) { Feed(data, length); }, error);
  ::close(fd);
  return ok;
}

std::string NotAStreamText(uint64_t packets, uint32_t packet_size, uint64_t bytes) {
  const uint64_t packet_bytes = packets * (packet_size != 0 ? packet_size : 188);
  if (packets != 0 && packet_bytes * 2 >= bytes) return std::string();
  if (packets == 0) return "is not an MPEG transport stream (no run of 188, 192 or 204-byte packets found)";
  char text[128];
  std::snprintf(text, sizeof text, "is not an MPEG transport stream (only %" PRIu64 " packets found in %" PRIu64
                " bytes)", packets, bytes);
  return text;
}

std::string FileNotAStreamText(const std::string& path, uint64_t sample) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::string();
  StreamCheck check;
  std::vector<uint8_t> block(kReadBlock);
  bool ok = true;
  while (check.bytes() < sample) {
    const ssize_t n = ::read(fd, block.data(), std::min<uint64_t>(block.size(), sample - check.bytes()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    check.Feed(block.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::string();
  return NotAStreamText(check.checker().packets_checked(), check.packet_size(), check.bytes());
}

}  // namespace pelkan
