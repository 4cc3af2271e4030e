#pragma once

#include <cstdint>
#include <cstdio>

namespace pelkan {

class TsProcessor;
struct CaptureStats;

// Feeds the whole stream of `in` (a recording, or standard input) to `processor`, in the pieces it
// is read or mapped in, then ends it with Finish. Returns false when reading failed. `bytes_read` (if
// given) receives the number of bytes read.
bool FeedStream(std::FILE* in, TsProcessor& processor, CaptureStats& stats, uint64_t* bytes_read = nullptr);

}  // namespace pelkan
