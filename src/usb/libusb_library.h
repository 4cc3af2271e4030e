#pragma once

#include <libusb.h>

#include <string>

namespace pelkan::usb {

// The libusb functions the libusb backend calls, in one list: the table's members are named after
// them.
#define PELKAN_LIBUSB_FUNCTIONS(X)           \
  X(libusb_init)                             \
  X(libusb_exit)                             \
  X(libusb_get_device_list)                  \
  X(libusb_free_device_list)                 \
  X(libusb_get_device_descriptor)            \
  X(libusb_get_bus_number)                   \
  X(libusb_get_device_address)               \
  X(libusb_get_port_numbers)                 \
  X(libusb_open)                             \
  X(libusb_close)                            \
  X(libusb_set_auto_detach_kernel_driver)    \
  X(libusb_claim_interface)                  \
  X(libusb_release_interface)                \
  X(libusb_control_transfer)                 \
  X(libusb_get_config_descriptor)            \
  X(libusb_free_config_descriptor)           \
  X(libusb_clear_halt)                       \
  X(libusb_alloc_transfer)                   \
  X(libusb_free_transfer)                    \
  X(libusb_submit_transfer)                  \
  X(libusb_cancel_transfer)                  \
  X(libusb_handle_events_timeout_completed)  \
  X(libusb_interrupt_event_handler)          \
  X(libusb_has_capability)                   \
  X(libusb_hotplug_register_callback)        \
  X(libusb_hotplug_deregister_callback)

// libusb (and the libudev it brings), taken from the library when the first device session opens
// rather than linked, so that a command that touches no device does not pay for them at start.
// The types and constants are the header's own.
struct LibusbLibrary {
#define PELKAN_LIBUSB_MEMBER(name) decltype(&::name) name = nullptr;
  PELKAN_LIBUSB_FUNCTIONS(PELKAN_LIBUSB_MEMBER)
#undef PELKAN_LIBUSB_MEMBER
};

// The table, loaded on the first call (any thread); nullptr when libusb or one of its functions
// is missing, `*error` (if given) then saying why.
const LibusbLibrary* Libusb(std::string* error = nullptr);

}  // namespace pelkan::usb
