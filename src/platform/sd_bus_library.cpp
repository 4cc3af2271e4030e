#include "platform/sd_bus_library.h"

#include "platform/shared_library.h"

namespace pelkan::platform {

const SdBusLibrary* SdBus(std::string* error) {
  return LoadLibraryTable<SdBusLibrary>(
      "libsystemd.so.0",
      [](SharedLibrary& library, SdBusLibrary& table) {
#define PELKAN_SD_BUS_RESOLVE(name) &&library.Resolve(#name, &table.name)
        return true PELKAN_SD_BUS_FUNCTIONS(PELKAN_SD_BUS_RESOLVE);
#undef PELKAN_SD_BUS_RESOLVE
      },
      error);
}

}  // namespace pelkan::platform
