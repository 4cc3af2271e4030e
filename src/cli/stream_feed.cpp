#include "cli/stream_feed.h"

#include <algorithm>
#include <string>

#include "base/capture_stats.h"
#include "platform/file_scan.h"
#include "ts/ts_processor.h"

namespace pelkan {

bool FeedStream(std::FILE* in, TsProcessor& processor, CaptureStats& stats, uint64_t* bytes_read) {
  constexpr size_t kBlock = 0x8000;
  uint64_t total = 0;
  std::string error;
  const bool ok = platform::ScanFile(
      ::fileno(in),
      [&](const uint8_t* data, size_t length) {
        total += length;
        for (size_t done = 0; done < length; done += kBlock) {
          processor.Feed(data + done, static_cast<int>(std::min(kBlock, length - done)), stats);
        }
      },
      &error);
  processor.Finish(stats);
  if (bytes_read) *bytes_read = total;
  return ok;
}

}  // namespace pelkan
