#pragma once

#include <string>

namespace pelkan {

struct StatusSnapshot;

// The status as one JSON object (UTF-8): what `pelkan-cli capture --json` prints and the HTTP
// server's /status answers. Counts are numbers, the broadcast clock an ISO 8601 time in Japan's
// zone ("2026-12-09T04:39:45+09:00"), the recording, the sending and the HTTP server objects of
// figures (null when not running); the device's line, the schedule's and the guide's failure are
// texts (null when they say nothing).
std::string StatusJson(const StatusSnapshot& s);

}  // namespace pelkan
