#include "usb/libusb_library.h"

#include "platform/shared_library.h"

namespace pelkan::usb {

const LibusbLibrary* Libusb(std::string* error) {
  return platform::LoadLibraryTable<LibusbLibrary>(
      "libusb-1.0.so.0",
      [](platform::SharedLibrary& library, LibusbLibrary& table) {
#define PELKAN_LIBUSB_RESOLVE(name) &&library.Resolve(#name, &table.name)
        return true PELKAN_LIBUSB_FUNCTIONS(PELKAN_LIBUSB_RESOLVE);
#undef PELKAN_LIBUSB_RESOLVE
      },
      error);
}

}  // namespace pelkan::usb
