#include "platform/file_system.h"

#include <sys/stat.h>

#include <ctime>

namespace pelkan::platform {

bool IsDirectory(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

double SystemTimerResolutionMs() {
  struct timespec res {};
  // The coarse clock advances once per kernel timer tick, the counterpart of the system clock
  // increment that the program shows.
  if (::clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0 && ::clock_getres(CLOCK_MONOTONIC, &res) != 0)
    return 0.0;
  return static_cast<double>(res.tv_sec) * 1000.0 + static_cast<double>(res.tv_nsec) / 1e6;
}

}  // namespace pelkan::platform
