#include "platform/shared_library.h"

#include <dlfcn.h>

namespace pelkan::platform {

SharedLibrary::SharedLibrary(const char* soname) : soname_(soname) {
  // RTLD_LOCAL keeps the library's symbols out of the global scope; RTLD_NOW fails here, not at a
  // first call, when its own dependencies cannot be met.
  handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    error_ = why != nullptr ? why : soname_ + ": cannot be loaded";
  }
}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

void* SharedLibrary::Find(const char* symbol) {
  if (handle_ == nullptr) return nullptr;
  ::dlerror();
  void* address = ::dlsym(handle_, symbol);
  if (address == nullptr && error_.empty()) error_ = soname_ + " has no " + symbol;
  return address;
}

}  // namespace pelkan::platform
