#pragma once

#include <string>

namespace pelkan {

// What a recording does when a regular file of the chosen name already exists.
enum class ExistingFile {
  kNextFreeName,  // take the first free name "name-1.ts", "name-2.ts", ... (never truncates); a
                  // name whose report "name.ts.err" exists counts as taken
  kReplace,       // truncate it (the user asked for that file explicitly)
  kRefuse,        // fail with EEXIST
};

// A created recording file: the descriptor (-1 on failure), the path actually used and, on
// failure, the errno value.
struct CreatedFile {
  int fd = -1;
  std::string path;
  int error = 0;
};

// Most numbered names tried by ExistingFile::kNextFreeName before it gives up.
constexpr unsigned kMaxNumberedNames = 9999;

// `path` (a file-system path) with "-n" put before the extension of its last component:
// "rec/20261207-2100.ts" -> "rec/20261207-2100-1.ts"; a name without extension gets "-n" at the end.
std::string NumberedName(const std::string& path, unsigned n);

// Creates the file of a recording for writing. A new file is created exclusively, so that two
// recordings (also in two processes) never share one; an existing regular file is handled as
// `existing` says. An existing file that is not a regular file (a device such as /dev/null, a pipe)
// is opened as it is, without truncation.
CreatedFile CreateRecordingFile(const std::string& path, ExistingFile existing);

}  // namespace pelkan
