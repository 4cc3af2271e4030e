#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace pelkan::platform {

// Hands every byte of the open file `fd`, from its start (its offset must be 0) to its end, to
// `feed` in order, in pieces of any size. A regular file is mapped window by window up to the size
// it has now, so that the page cache is read where it is instead of being copied; whatever it grows
// by meanwhile (a recording still being written) and any other file (a pipe, standard input) are
// read. Memory stays the same whatever the size of the file.
//
// False, with *error set to the reason, when reading fails or the file is cut shorter by another
// program while it is mapped (the SIGBUS this raises in `feed` is caught); what was handed on until
// then stays handed on. `feed` runs on the calling thread and must not itself scan a file.
bool ScanFile(int fd, const std::function<void(const uint8_t* data, size_t length)>& feed, std::string* error);

}  // namespace pelkan::platform
