#include "cli/stream_feed.h"

#include <algorithm>
#include <string>

#include "base/capture_stats.h"
#include "platform/file_scan.h"
#include "ts/ts_processor.h"

namespace pelkan {

bool FeedStream(std::FILE* in, TsProcessor& processor, CaptureStats& stats, uint64_t* bytes_read) {
  // The pieces the file is scanned in go on whole (the processor finds the same packets however the
  // bytes are cut): a packet torn at a cut is copied aside, so the fewer cuts the better. Capped so
  // that the processor always takes the whole piece.
  constexpr size_t kBlock = TsProcessor::kInputCapacity - TsProcessor::kSearchWindow;
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
