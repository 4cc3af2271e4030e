#include "core/generator_ts_source.h"

namespace pelkan::core {

std::unique_ptr<usb::TsSource> MakeDefaultTsSource(uint64_t bit_rate, std::optional<MjdTime> start,
                                                   const std::vector<ProgrammeChange>& changes) {
  streamgen::GeneratorOptions options;
  options.start_time = start ? *start : JapanTimeNow();
  options.programme_changes = changes;
  options.late_from_shown_start = true;
  if (bit_rate != 0) {
    // Only the rate is judged here; the generator itself falls back on its own start time.
    streamgen::GeneratorOptions probe;
    probe.bit_rate = bit_rate;
    if (streamgen::CheckGeneratorOptions(probe).empty()) options.bit_rate = bit_rate;
  }
  return std::make_unique<GeneratorTsSource>(options);
}

}  // namespace pelkan::core
