#pragma once

#include <systemd/sd-bus.h>

#include <string>

namespace pelkan::platform {

// The sd-bus functions this program calls, in one list: the table's members are named after them.
#define PELKAN_SD_BUS_FUNCTIONS(X)  \
  X(sd_bus_new)                     \
  X(sd_bus_open_user)               \
  X(sd_bus_set_address)             \
  X(sd_bus_set_bus_client)          \
  X(sd_bus_negotiate_fds)           \
  X(sd_bus_start)                   \
  X(sd_bus_close)                   \
  X(sd_bus_unref)                   \
  X(sd_bus_close_unref)             \
  X(sd_bus_flush_close_unref)       \
  X(sd_bus_get_fd)                  \
  X(sd_bus_get_events)              \
  X(sd_bus_get_timeout)             \
  X(sd_bus_process)                 \
  X(sd_bus_call)                    \
  X(sd_bus_call_async)              \
  X(sd_bus_match_signal)            \
  X(sd_bus_match_signal_async)      \
  X(sd_bus_slot_unref)              \
  X(sd_bus_message_new_method_call) \
  X(sd_bus_message_append)          \
  X(sd_bus_message_read)            \
  X(sd_bus_message_unref)           \
  X(sd_bus_message_get_error)       \
  X(sd_bus_message_is_method_error) \
  X(sd_bus_message_is_signal)       \
  X(sd_bus_error_free)

// libsystemd's sd-bus, taken from the library when first used rather than linked, so that a program
// that never talks to a bus does not pay for resolving it at start. The types and constants are the
// header's own.
struct SdBusLibrary {
#define PELKAN_SD_BUS_MEMBER(name) decltype(&::name) name = nullptr;
  PELKAN_SD_BUS_FUNCTIONS(PELKAN_SD_BUS_MEMBER)
#undef PELKAN_SD_BUS_MEMBER
};

// The table, loaded on the first call (any thread); nullptr when libsystemd or one of its functions
// is missing, `*error` (if given) then saying why.
const SdBusLibrary* SdBus(std::string* error = nullptr);

}  // namespace pelkan::platform
