#pragma once

#include <microhttpd.h>

#include <string>

namespace pelkan {

// The libmicrohttpd functions the HTTP server calls, in one list: the table's members are named
// after them.
#define PELKAN_MICROHTTPD_FUNCTIONS(X) \
  X(MHD_start_daemon)                  \
  X(MHD_stop_daemon)                   \
  X(MHD_get_daemon_info)               \
  X(MHD_get_connection_info)           \
  X(MHD_get_connection_values)         \
  X(MHD_lookup_connection_value)       \
  X(MHD_create_response_from_buffer)   \
  X(MHD_create_response_from_callback) \
  X(MHD_add_response_header)           \
  X(MHD_set_response_options)          \
  X(MHD_queue_response)                \
  X(MHD_destroy_response)              \
  X(MHD_suspend_connection)            \
  X(MHD_resume_connection)

// libmicrohttpd, taken from the library when the HTTP server first starts rather than linked, so
// that a program that never serves does not pay for resolving it at start. The types and constants
// are the header's own.
struct MicrohttpdLibrary {
#define PELKAN_MICROHTTPD_MEMBER(name) decltype(&::name) name = nullptr;
  PELKAN_MICROHTTPD_FUNCTIONS(PELKAN_MICROHTTPD_MEMBER)
#undef PELKAN_MICROHTTPD_MEMBER
};

// The table, loaded on the first call (any thread); nullptr when libmicrohttpd or one of its
// functions is missing, `*error` (if given) then saying why.
const MicrohttpdLibrary* Microhttpd(std::string* error = nullptr);

}  // namespace pelkan
