#include "core/generator_ts_source.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "core/dtv_ezusb_fx2.h"
#include "tests/support/stream_sink.h"
#include "usb/driver_config.h"
#include "usb/virtual_tuner.h"

namespace pelkan::core {
namespace {

// Sets the process's time zone for the test's duration.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

uint64_t Seconds(MjdTime t) { return uint64_t{t.date} * 86400 + t.seconds; }

// Japan time now, worked out from the calendar of UTC.
MjdTime JapanFromUtc() {
  const std::time_t now = std::time(nullptr) + 9 * 3600;
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  return MjdTime{MjdFromDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                 static_cast<uint32_t>(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec)};
}

MjdTime StartOf(const usb::TsSource& source) {
  const auto* generated = dynamic_cast<const GeneratorTsSource*>(&source);
  EXPECT_NE(generated, nullptr);
  return generated ? generated->generator().Options().start_time : MjdTime{};
}

TEST(GeneratorTsSource, DefaultClockIsJapanTimeWhateverTheMachineZone) {
  for (const char* zone : {"XST+5", "UTC0", "ABC-13"}) {  // UTC-5, UTC, UTC+13
    TimeZone tz(zone);
    const MjdTime before = JapanFromUtc();
    const auto source = MakeDefaultTsSource();
    const MjdTime after = JapanFromUtc();
    const MjdTime start = StartOf(*source);
    EXPECT_LE(Seconds(before), Seconds(start)) << zone;
    EXPECT_LE(Seconds(start), Seconds(after)) << zone;
  }
}

TEST(GeneratorTsSource, ExplicitStartIsKept) {
  TimeZone tz("XST+5");
  const MjdTime start{MjdFromDate(2026, 12, 7), 20 * 3600 + 59 * 60 + 50};
  const auto source = MakeDefaultTsSource(0, start);
  EXPECT_EQ(Seconds(StartOf(*source)), Seconds(start));
}

TEST(GeneratorTsSource, RateOutOfRangeFallsBackToTheDefault) {
  const auto source = MakeDefaultTsSource(1000);
  const auto* generated = dynamic_cast<const GeneratorTsSource*>(source.get());
  ASSERT_NE(generated, nullptr);
  EXPECT_EQ(generated->generator().Options().bit_rate, streamgen::GeneratorOptions().bit_rate);
  const auto fast = MakeDefaultTsSource(40'000'000);
  EXPECT_EQ(dynamic_cast<const GeneratorTsSource*>(fast.get())->generator().Options().bit_rate, 40'000'000u);
}

// The device set the program builds plays the synthetic broadcast on the virtual tuner when no
// file is named.
TEST(GeneratorTsSource, TheProgramsVirtualTunerPlaysTheBroadcast) {
  usb::DriverConfig config;
  config.use_libusb = false;
  config.virtual_bit_rate = 0;
  CDTV_EzUSBFX2 dev(config);
  testing::Sink sink;
  sink.cap = 188 * 200;
  dev.SetDataCallback(&testing::Sink::Callback, &sink);
  ASSERT_EQ(dev.OpenDevice(), 1);
  ASSERT_EQ(dev.Start(0, usb::VirtualTunerDriver::kStreamEndpoint, kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(188 * 200));
  dev.Stop();
  std::vector<uint8_t> data = sink.bytes;
  ASSERT_GE(data.size(), 188u * 200);
  data.resize(188 * 200);
  for (size_t p = 0; p < data.size(); p += 188) ASSERT_EQ(data[p], 0x47) << p;
  // The stream begins with a PAT (PID 0) somewhere in its first packets.
  bool pat = false;
  for (size_t p = 0; p < data.size(); p += 188) pat |= (((data[p + 1] & 0x1F) << 8) | data[p + 2]) == 0;
  EXPECT_TRUE(pat);
}

}  // namespace
}  // namespace pelkan::core
