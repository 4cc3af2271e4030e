#include "rules/pcre2_library.h"

#include "platform/shared_library.h"

namespace pelkan {

const Pcre2Library* Pcre2(std::string* error) {
  return platform::LoadLibraryTable<Pcre2Library>(
      "libpcre2-8.so.0",
      [](platform::SharedLibrary& library, Pcre2Library& table) {
#define PELKAN_PCRE2_RESOLVE(name) &&library.Resolve(#name, &table.name)
        return true PELKAN_PCRE2_FUNCTIONS(PELKAN_PCRE2_RESOLVE);
#undef PELKAN_PCRE2_RESOLVE
      },
      error);
}

}  // namespace pelkan
