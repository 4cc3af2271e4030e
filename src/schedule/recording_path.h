#pragma once

#include <optional>
#include <string>

#include "schedule/schedule_item.h"

namespace pelkan {

// The name of a reservation's file, without its directory, as the item holds it (Shift-JIS; a
// title or a name made from one keeps the broadcast's symbols): with SI_FILE_NAME the file name
// plus the extension unless the name has one (".ts" when the extension field is empty); otherwise
// "YYYYMMDD-HHMM.ts" for a date-time reservation or "YYYYMMDD-HHMM-title.ts" for an event
// reservation.
std::string RecordingFileName(const ScheduleItem& item);

// Builds the output path of a reservation (Shift-JIS): directory, '/', then RecordingFileName with
// the broadcast's symbols in their plain forms ("[字]"; platform::BroadcastToPlainSjis). An empty
// directory means the current one. Returns nullopt when the path would not fit the 260-byte path
// field, or when an event title (broadcast data) contains a '/', which would lead outside the
// directory.
std::optional<std::string> BuildOutputPath(const ScheduleItem& item);

}  // namespace pelkan
