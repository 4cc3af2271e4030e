#pragma once

#include <memory>
#include <optional>

#include "streamgen/broadcast_generator.h"
#include "usb/ts_source.h"

namespace pelkan::usb {

// The synthetic broadcast as a stream source.
class GeneratorTsSource : public TsSource {
 public:
  explicit GeneratorTsSource(const streamgen::GeneratorOptions& options) : generator_(options) {}
  size_t Read(uint8_t* dst, size_t len) override { return generator_.Read(dst, len); }
  const streamgen::BroadcastGenerator& generator() const { return generator_; }

 private:
  streamgen::BroadcastGenerator generator_;
};

// The stream the virtual tuner plays when no file is named: the synthetic broadcast, its clock
// starting at `start` (JST) or, without one, at the current time in Japan whatever the machine's
// time zone (broadcasts carry Japan time), at `bit_rate` (the generator's default when 0 or out of
// its range).
std::unique_ptr<TsSource> MakeDefaultTsSource(uint64_t bit_rate = 0,
                                              std::optional<MjdTime> start = std::nullopt);

// The current time in Japan (UTC+9, no daylight saving) as a broadcast date and time.
MjdTime JapanTimeNow();

}  // namespace pelkan::usb
