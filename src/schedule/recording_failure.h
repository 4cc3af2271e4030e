#pragma once

#include <cstdint>
#include <string>

#include "schedule/schedule_item.h"

namespace pelkan {

// Why a scheduled recording was stopped before its end, or could not start.
struct RecordingFailure {
  // kOpenFailed: its file could not be created (a folder removed, read-only or too long a path).
  enum class Reason { kWriteError, kLowDisk, kOpenFailed };
  ScheduleItem item{};  // the reservation, as it ended (ST_ERROR)
  std::string path;     // the file (UTF-8); for a name that could not be made, the folder
  Reason reason = Reason::kWriteError;
  int error = 0;            // errno of the failed write (kWriteError) or creation (kOpenFailed)
  uint64_t free_bytes = 0;  // free space of the volume (kLowDisk)
};
// The message for the user (Shift-JIS), as the manual recording's stops word it.
std::string RecordingFailureMessage(const RecordingFailure& failure);
// Why, for the command line (English): the system's text for `error`, the free space, or what is
// wrong with the file name.
std::string RecordingFailureReason(const RecordingFailure& failure);

}  // namespace pelkan
