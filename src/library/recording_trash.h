#pragma once

#include <string>

namespace pelkan {

// Moves the file at `path` (UTF-8) to the desktop's trash through GIO (g_file_trash: the XDG trash
// of its volume, with its .trashinfo), GIO being opened when first used. False, with `error`
// (English), when it cannot be trashed (no GIO, no trash on that volume, no such file). Any thread.
bool TrashFile(const std::string& path, std::string* error);

}  // namespace pelkan
