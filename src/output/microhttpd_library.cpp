#include "output/microhttpd_library.h"

#include "platform/shared_library.h"

namespace pelkan {

const MicrohttpdLibrary* Microhttpd(std::string* error) {
  return platform::LoadLibraryTable<MicrohttpdLibrary>(
      "libmicrohttpd.so.12",
      [](platform::SharedLibrary& library, MicrohttpdLibrary& table) {
#define PELKAN_MICROHTTPD_RESOLVE(name) &&library.Resolve(#name, &table.name)
        return true PELKAN_MICROHTTPD_FUNCTIONS(PELKAN_MICROHTTPD_RESOLVE);
#undef PELKAN_MICROHTTPD_RESOLVE
      },
      error);
}

}  // namespace pelkan
