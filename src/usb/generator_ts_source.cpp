#include "usb/generator_ts_source.h"

#include <chrono>

namespace pelkan::usb {

MjdTime JapanTimeNow() {
  constexpr int64_t kJapanOffset = 9 * 3600;
  constexpr int64_t kMjdOfUnixEpoch = 40587;  // 1970-01-01
  const int64_t unix_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const int64_t local = unix_seconds + kJapanOffset;
  int64_t days = local / 86400;
  int64_t seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // The broadcast date is 16 bits wide, as MjdFromDate gives it.
  return MjdTime{static_cast<uint32_t>((days + kMjdOfUnixEpoch) & 0xFFFF), static_cast<uint32_t>(seconds)};
}

std::unique_ptr<TsSource> MakeDefaultTsSource(uint64_t bit_rate, std::optional<MjdTime> start) {
  streamgen::GeneratorOptions options;
  options.start_time = start ? *start : JapanTimeNow();
  if (bit_rate != 0) {
    // Only the rate is judged here; the generator itself falls back on its own start time.
    streamgen::GeneratorOptions probe;
    probe.bit_rate = bit_rate;
    if (streamgen::CheckGeneratorOptions(probe).empty()) options.bit_rate = bit_rate;
  }
  return std::make_unique<GeneratorTsSource>(options);
}

}  // namespace pelkan::usb
