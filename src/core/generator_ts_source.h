#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/mjd_time.h"
#include "base/programme_change.h"
#include "streamgen/broadcast_generator.h"
#include "usb/ts_source.h"

namespace pelkan::core {

// The synthetic broadcast as a stream source.
class GeneratorTsSource : public usb::TsSource {
 public:
  explicit GeneratorTsSource(const streamgen::GeneratorOptions& options) : generator_(options) {}
  size_t Read(uint8_t* dst, size_t len) override { return generator_.Read(dst, len); }
  const streamgen::BroadcastGenerator& generator() const { return generator_; }

 private:
  streamgen::BroadcastGenerator generator_;
};

// The stream the virtual tuner plays when no file is named: the synthetic broadcast, its clock
// starting at `start` (JST) or, without one, at JapanTimeNow(), at `bit_rate` (the generator's
// default when 0 or out of its range), with `changes` made to its programmes (none when they
// cannot be played, see streamgen::CheckGeneratorOptions).
std::unique_ptr<usb::TsSource> MakeDefaultTsSource(uint64_t bit_rate = 0,
                                                   std::optional<MjdTime> start = std::nullopt,
                                                   const std::vector<ProgrammeChange>& changes = {});

}  // namespace pelkan::core
