#pragma once

#include <string>
#include <vector>

#include "library/library_entry.h"

namespace pelkan {

// One catalogued recording as JSON: {"id", "file", "report", "title", "service_id", "service_name",
// "start", "end" (ISO 8601 +09:00, null when unknown), "duration" (seconds), "bytes", "result",
// "drop", "error", "scrambled", "gaps", "rule_id" (null for none), "protected", "recording",
// "missing"}. The command line's `recordings --json` and the HTTP /recordings.json alike.
std::string LibraryEntryJson(const LibraryEntry& e);
// {"recordings":[...]} of `entries` in their order, one entry a line.
std::string LibraryListJson(const std::vector<LibraryEntry>& entries);

}  // namespace pelkan
