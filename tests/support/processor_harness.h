#pragma once

#include <algorithm>

#include "base/capture_stats.h"
#include "tests/support/ts_builder.h"
#include "ts/ts_processor.h"

namespace pelkan::test {

// A processor with PSI and EPG decoding on (by default), its statistics and a recorder of its events.
struct ProcessorHarness {
  explicit ProcessorHarness(B25Decoder* decoder = nullptr, bool psi = true, bool epg = true) : proc(decoder) {
    proc.SetDecodePsi(psi ? 1 : 0);
    proc.SetProcessEpg(epg ? 1 : 0);
    proc.SetEventHandler(EventLog::Handler, &log);
  }
  void Feed(const Bytes& b) { proc.Feed(b.data(), static_cast<int>(b.size()), stats); }
  // Feeds `b` in chunks of `chunk` bytes.
  void FeedChunked(const Bytes& b, size_t chunk) {
    for (size_t pos = 0; pos < b.size(); pos += chunk) {
      const size_t n = std::min(chunk, b.size() - pos);
      proc.Feed(b.data() + pos, static_cast<int>(n), stats);
    }
  }

  TsProcessor proc;
  CaptureStats stats;
  EventLog log;
};

}  // namespace pelkan::test
