#include "usb/generator_ts_source.h"

namespace pelkan::usb {

std::unique_ptr<TsSource> MakeDefaultTsSource(uint64_t bit_rate) {
  streamgen::GeneratorOptions options;
  options.use_machine_clock = true;
  if (bit_rate != 0) {
    options.bit_rate = bit_rate;
    if (!streamgen::CheckGeneratorOptions(options).empty()) options.bit_rate = streamgen::GeneratorOptions().bit_rate;
  }
  return std::make_unique<GeneratorTsSource>(options);
}

}  // namespace pelkan::usb
