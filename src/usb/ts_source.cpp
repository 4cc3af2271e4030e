#include "usb/ts_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelkan::usb {

std::unique_ptr<FileTsSource> FileTsSource::Open(const std::string& path, std::string* problem) {
  std::string why;
  if (problem == nullptr) problem = &why;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *problem = std::string("cannot be opened: ") + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *problem = std::string("cannot be read: ") + std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    *problem = "is a folder";
  } else if (!S_ISREG(st.st_mode)) {
    *problem = "is not a regular file (a device or a pipe), which cannot be played in a loop";
  } else if (st.st_size <= 0) {
    *problem = "is empty";
  } else {
    problem->clear();
  }
  if (!problem->empty()) {
    ::close(fd);
    return nullptr;
  }
  // Read with waits like any file: O_NONBLOCK only kept a FIFO from blocking the open.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // Read once from start to end, again and again: tell the kernel, so that it reads ahead.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<FileTsSource>(new FileTsSource(fd));
}

FileTsSource::~FileTsSource() {
  ::close(fd_);
}

size_t FileTsSource::Read(uint8_t* dst, size_t len) {
  size_t done = 0;
  bool rewound = false;  // an end of file right after going back to the start: the file is empty
  while (done < len) {
    const ssize_t n = ::read(fd_, dst + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      rewound = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || rewound || ::lseek(fd_, 0, SEEK_SET) != 0) break;
    rewound = true;
  }
  return done;
}

uint8_t PatternTsSource::ByteAt(uint64_t pos, uint32_t packet_size) {
  const uint64_t packet = pos / packet_size;
  const uint32_t k = static_cast<uint32_t>(pos % packet_size);
  switch (k) {
    case 0:
      return 0x47;
    case 1:
      return 0x1F;
    case 2:
      return 0xFF;
    case 3:
      return static_cast<uint8_t>(0x10 | (packet & 0x0F));
    default:
      return static_cast<uint8_t>((packet * 131 + k * 7 + (packet >> 8)) & 0xFF);
  }
}

size_t PatternTsSource::Read(uint8_t* dst, size_t len) {
  for (size_t i = 0; i < len; ++i) dst[i] = ByteAt(pos_ + i, packet_size_);
  pos_ += len;
  return len;
}

}  // namespace pelkan::usb
