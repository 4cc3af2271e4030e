#include "ts/b25_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace pelkan {

B25Library::B25Library() : candidates_(DefaultCandidates()) {}

B25Library::~B25Library() {
  Unload();
}

std::vector<std::string> B25Library::DefaultCandidates() {
  std::vector<std::string> out;
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string path(exe, static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
      out.push_back(path.substr(0, slash + 1) + kFileName);
      out.push_back(path.substr(0, slash + 1) + "../lib/pelkan/" + kFileName);
    }
  }
  out.push_back(kFileName);
  return out;
}

bool B25Library::Load() {
  Unload();
  error_.clear();
  for (const std::string& candidate : candidates_) {
    void* h = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h != nullptr) {
      handle_ = h;
      error_.clear();
      return true;
    }
    const char* e = ::dlerror();
    error_ = e ? e : candidate + ": cannot be opened";
  }
  if (candidates_.empty()) error_ = std::string(kFileName) + ": no place to look for it";
  return false;
}

CreateB25DecoderFn B25Library::GetFactory() {
  if (handle_ == nullptr) return nullptr;
  ::dlerror();
  void* sym = ::dlsym(handle_, kFactoryName);
  if (sym == nullptr) {
    const char* e = ::dlerror();
    error_ = e ? e : std::string(kFactoryName) + ": not exported";
    return nullptr;
  }
  return reinterpret_cast<CreateB25DecoderFn>(sym);
}

void B25Library::Unload() {
  if (handle_ == nullptr) return;
  ::dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace pelkan
