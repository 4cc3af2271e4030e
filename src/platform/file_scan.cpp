#include "platform/file_scan.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace pelkan::platform {
namespace {

// Bytes of a regular file mapped at a time.
constexpr size_t kMapWindow = size_t{8} << 20;
// Bytes read at a time: a block below the allocator's mapping threshold (128 KiB) comes from the
// heap, into which the kernel copies four times faster than into a freshly mapped block, and stays
// in the cache between the read and its use.
constexpr size_t kReadBlock = size_t{120} << 10;

// A file that another program cuts shorter while it is mapped raises SIGBUS at the first page past
// its new end. The window a thread is scanning is its guard's; a SIGBUS inside it jumps back to
// the guard, any other goes to the handler that was there before.
struct MapGuard {
  const uint8_t* begin = nullptr;
  const uint8_t* end = nullptr;
  sigjmp_buf jump;
};
thread_local MapGuard* volatile t_guard = nullptr;
struct sigaction g_previous_bus {};

void OnBusError(int signal, siginfo_t* info, void* context) {
  MapGuard* guard = t_guard;
  const auto* at = static_cast<const uint8_t*>(info->si_addr);
  if (guard != nullptr && at >= guard->begin && at < guard->end) siglongjmp(guard->jump, 1);
  if (g_previous_bus.sa_flags & SA_SIGINFO) {
    g_previous_bus.sa_sigaction(signal, info, context);
  } else if (g_previous_bus.sa_handler != SIG_IGN && g_previous_bus.sa_handler != SIG_DFL) {
    g_previous_bus.sa_handler(signal);
  } else {
    // The fault repeats on return and ends the process as it would have without this handler.
    ::signal(SIGBUS, SIG_DFL);
  }
}

bool InstallBusHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = &OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &g_previous_bus) == 0;
  }();
  return installed;
}

// Feeds one mapped window; false when reading it raised SIGBUS.
bool FeedGuarded(const uint8_t* data, size_t length, const std::function<void(const uint8_t*, size_t)>& feed) {
  MapGuard guard;
  guard.begin = data;
  guard.end = data + length;
  if (sigsetjmp(guard.jump, 1) != 0) {
    t_guard = nullptr;
    return false;
  }
  t_guard = &guard;
  feed(data, length);
  t_guard = nullptr;
  return true;
}

}  // namespace

bool ScanFile(int fd, const std::function<void(const uint8_t* data, size_t length)>& feed, std::string* error) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && InstallBusHandler()) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t mapped = 0;
    while (mapped < size) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kMapWindow, size - mapped));
      void* map = ::mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(mapped));
      if (map == MAP_FAILED) break;  // a file system that cannot map: read it
      ::madvise(map, n, MADV_SEQUENTIAL);
      const bool whole = FeedGuarded(static_cast<const uint8_t*>(map), n, feed);
      ::munmap(map, n);
      if (!whole) {
        *error = "the file was cut shorter while it was read";
        return false;
      }
      mapped += n;
    }
    if (mapped > 0 && ::lseek(fd, static_cast<off_t>(mapped), SEEK_SET) < 0) {
      *error = std::strerror(errno);
      return false;
    }
  }
  std::vector<uint8_t> block(kReadBlock);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    feed(block.data(), static_cast<size_t>(n));
  }
}

}  // namespace pelkan::platform
