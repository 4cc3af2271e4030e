#include "output/recording_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pelkan {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
constexpr mode_t kMode = 0666;

}  // namespace

std::string NumberedName(const std::string& path, unsigned n) {
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  // A dot that starts the name (".ts") or lies in a folder name is no extension.
  if (dot == std::string::npos || dot <= name_start) dot = path.size();
  return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

CreatedFile CreateRecordingFile(const std::string& path, ExistingFile existing) {
  CreatedFile out;
  int retries = 0;  // a name that vanished between the two calls is tried again, a few times
  for (unsigned n = 0; n <= kMaxNumberedNames;) {
    out.path = n == 0 ? path : NumberedName(path, n);
    // A free name is one whose report (NAME.err) is free too, so that the two go together.
    struct stat report {};
    if (existing == ExistingFile::kNextFreeName && ::stat((out.path + ".err").c_str(), &report) == 0) {
      ++n;
      errno = EEXIST;
      continue;
    }
    out.fd = ::open(out.path.c_str(), kCreateFlags, kMode);
    if (out.fd >= 0) return out;
    if (errno != EEXIST) break;
    struct stat st {};
    const bool known = ::stat(out.path.c_str(), &st) == 0;
    if (!known && errno == ENOENT && ++retries < 8) continue;
    if (known && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      break;
    }
    if (known && !S_ISREG(st.st_mode)) {
      out.fd = ::open(out.path.c_str(), O_WRONLY | O_CLOEXEC);
      if (out.fd >= 0) return out;
      break;
    }
    // A regular file (or a link to nowhere): an earlier recording, never truncated unasked.
    if (existing == ExistingFile::kReplace && known) {
      out.fd = ::open(out.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (out.fd >= 0) return out;
      break;
    }
    if (existing != ExistingFile::kNextFreeName) {
      errno = EEXIST;
      break;
    }
    ++n;
    retries = 0;
  }
  if (out.fd < 0 && errno == 0) errno = EEXIST;
  out.error = errno;
  out.fd = -1;
  if (out.error == EEXIST && existing == ExistingFile::kNextFreeName) out.path = path;
  return out;
}

}  // namespace pelkan
