#pragma once

#include <string>

namespace pelkan {

struct StatusSnapshot;

// The status line as one JSON object of every field (UTF-8): what `pelkan-cli capture --json`
// prints and the HTTP server's /status answers.
std::string StatusJson(const StatusSnapshot& s);

}  // namespace pelkan
