#include "app/stream_feed.h"

#include <vector>

#include "core/capture_stats.h"
#include "ts/ts_processor.h"

namespace pelkan {

bool FeedStream(std::FILE* in, TsProcessor& processor, CaptureStats& stats) {
  bool read_error = false;
  std::vector<uint8_t> block(0x8000);
  for (;;) {
    const size_t n = std::fread(block.data(), 1, block.size(), in);
    if (n > 0) processor.Feed(block.data(), static_cast<int>(n), stats);
    if (n < block.size()) {
      read_error = std::ferror(in) != 0;
      break;
    }
  }
  processor.Finish(stats);
  return !read_error;
}

}  // namespace pelkan
