#include "cli/stream_feed.h"

#include <vector>

#include "base/capture_stats.h"
#include "ts/ts_processor.h"

namespace pelkan {

bool FeedStream(std::FILE* in, TsProcessor& processor, CaptureStats& stats, uint64_t* bytes_read) {
  bool read_error = false;
  uint64_t total = 0;
  std::vector<uint8_t> block(0x8000);
  for (;;) {
    const size_t n = std::fread(block.data(), 1, block.size(), in);
    total += n;
    if (n > 0) processor.Feed(block.data(), static_cast<int>(n), stats);
    if (n < block.size()) {
      read_error = std::ferror(in) != 0;
      break;
    }
  }
  processor.Finish(stats);
  if (bytes_read) *bytes_read = total;
  return !read_error;
}

}  // namespace pelkan
