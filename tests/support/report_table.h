#pragma once

#include <string>

namespace pelkan::testing {

// The PID table in the text of a recording's report or of `pelkan-cli check`: from its first
// "PID " line to its "total" line, both included. Empty when the text has none.
std::string ReportTable(const std::string& text);

// The PID table a check of the file at `path` gives (what `pelkan-cli check` prints); the reason
// when the file cannot be read.
std::string CheckTable(const std::string& path);

}  // namespace pelkan::testing
