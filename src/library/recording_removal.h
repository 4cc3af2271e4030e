#pragma once

#include <functional>
#include <string>

#include "library/recording_library.h"

namespace pelkan {

// How a recording leaves the catalogue: its file and report to the trash, only its entry (the files
// stay), or its file and report deleted for good (the disk's housekeeping: the trash frees nothing).
enum class RemovalKind { kTrash, kForget, kDelete };

// Takes `entry` out of `library` as `kind` says. A protected recording and one being recorded are
// refused unless `force`. The file goes before the report, and the entry only once both went (a
// file already gone is no failure). False with `error` (English) otherwise; what was done stays
// done. `trash` moves one file to the trash (TrashFile when empty).
bool RemoveRecording(RecordingLibrary& library, const LibraryEntry& entry, RemovalKind kind, bool force,
                     std::string* error, const std::function<bool(const std::string&, std::string*)>& trash = {});

}  // namespace pelkan
