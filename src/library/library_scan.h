#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "library/recording_library.h"

namespace pelkan {

// What one scan of the recording folders did.
struct LibraryScanResult {
  size_t reports = 0;  // reports read
  size_t added = 0;    // recordings catalogued anew
  size_t moved = 0;    // recordings found again at another place
  size_t missing = 0;  // entries whose file is gone (marked, never deleted)
  std::vector<std::string> skipped;  // files that looked like reports but are none, with why (English)
};

// A report still saying "recording since" whose recording has not grown for this long belongs to a
// recording that stopped without completing it (the program was killed): failed.
constexpr int64_t kStalledRecordingSeconds = 120;

// The files stay the truth: every report (*.err, a recording's NAME.ts.err) under `folders`
// (UTF-8; not through symbolic links) catalogues its recording, or completes its entry. A recording
// whose file is no longer where its report says is found again beside its report (the file and
// report moved together, or renamed alike); one found nowhere is left out. Then every entry whose
// file is gone is marked missing and every one found again unmarked. No file is ever deleted.
// `now`: seconds since the epoch.
LibraryScanResult ScanRecordingFolders(RecordingLibrary& library, const std::vector<std::string>& folders,
                                       int64_t now);

}  // namespace pelkan
