#include "usb/generator_ts_source.h"

namespace pelkan::usb {

std::unique_ptr<TsSource> MakeDefaultTsSource(uint64_t bit_rate, std::optional<MjdTime> start) {
  streamgen::GeneratorOptions options;
  options.use_machine_clock = !start.has_value();
  if (start) options.start_time = *start;
  if (bit_rate != 0) {
    options.bit_rate = bit_rate;
    if (!streamgen::CheckGeneratorOptions(options).empty())
      options.bit_rate = streamgen::GeneratorOptions().bit_rate;
  }
  return std::make_unique<GeneratorTsSource>(options);
}

}  // namespace pelkan::usb
