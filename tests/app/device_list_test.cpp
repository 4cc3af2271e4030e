#include "app/device_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/settings.h"

#include "core/dtv_ezusb_fx2.h"
#include "tests/support/capture_fakes.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

TEST(DeviceList, BulkEndpointsOnlyWithTheLastOnesPreselected) {
  testing::FakeDtvDevice d;
  d.endpoints = {{0x00, 0}, {0x81, 3}, {0x86, 2}, {0x02, 2}, {0x88, 2}, {0x84, 0x42}, {0x04, 2}};
  const EndpointChoice c = ListBulkEndpoints(d, 0, 0xFFFE, 0xFFFE);
  EXPECT_EQ(c.in, (std::vector<uint8_t>{0x86, 0x88}));  // interrupt 0x81 and 0x84 with high bits are left out
  EXPECT_EQ(c.out, (std::vector<uint8_t>{0x02, 0x04}));
  ASSERT_TRUE(c.has_in);
  EXPECT_EQ(c.default_in, 0x88);
  EXPECT_EQ(c.default_out, 0x04u);
}

TEST(DeviceList, VirtualTunersStreamEndpointIsPreselected) {
  usb::VirtualTunerOptions options;
  options.bit_rate = 0;
  core::CDTV_EzUSBFX2 device(std::make_shared<usb::VirtualTunerDriver>(options));
  ASSERT_EQ(device.OpenDevice(), 1);
  const EndpointChoice c = ListBulkEndpoints(device, 0, 0xFFFE, 0xFFFE);
  EXPECT_EQ(c.in, (std::vector<uint8_t>{usb::VirtualTunerDriver::kStreamEndpoint}));
  ASSERT_TRUE(c.has_in);
  EXPECT_EQ(c.default_in, usb::VirtualTunerDriver::kStreamEndpoint);
  EXPECT_EQ(c.out, (std::vector<uint8_t>{0x02, 0x04}));
}

TEST(DeviceList, RememberedEndpointsWinWhenListed) {
  testing::FakeDtvDevice d;
  d.endpoints = {{0x86, 2}, {0x02, 2}, {0x88, 2}, {0x04, 2}};
  EndpointChoice c = ListBulkEndpoints(d, 0, 0x86, 0x04);
  EXPECT_EQ(c.default_in, 0x86);
  EXPECT_EQ(c.default_out, 0x04u);
  c = ListBulkEndpoints(d, 0, 0x81, 0x06);
  EXPECT_EQ(c.default_in, 0x88);
  EXPECT_EQ(c.default_out, 0x04u);
  // "none" is an entry of the OUT list too: remembered, it is chosen.
  c = ListBulkEndpoints(d, 0, 0x86, static_cast<int>(core::kNoEndpoint));
  EXPECT_EQ(c.default_out, core::kNoEndpoint);
}

TEST(DeviceList, NoInEndpointMeansNoPreselection) {
  testing::FakeDtvDevice d;
  d.endpoints = {{0x02, 2}};
  const EndpointChoice c = ListBulkEndpoints(d, 0, 0xFFFE, 0xFFFE);
  EXPECT_FALSE(c.has_in);
  EXPECT_TRUE(c.in.empty());
  EXPECT_EQ(c.default_out, 0x02u);
  d.endpoints = {{0x86, 2}};
  EXPECT_EQ(ListBulkEndpoints(d, 0, 0xFFFE, 0xFFFE).default_out, core::kNoEndpoint);
}

TEST(DeviceList, DevicesKeepTheirIndex) {
  testing::FakeDtvDevice d;
  const auto list = ListDevices(d);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].index, 0);
  EXPECT_EQ(list[0].name, "Fake tuner");
}

// The virtual tuner's keys of pelkan.ini as the device set gets them: what can be used is passed
// on, the rest is left out with a line on standard error naming the key.
TEST(DeviceList, VirtualTunerBroadcastKeysOfTheSettingsFile) {
  using K = ProgrammeChangeKind;
  struct Row {
    const char* lines;
    uint64_t rate;
    std::vector<ProgrammeChange> changes;
    std::vector<std::string> logged;
  };
  const Row rows[] = {
      {"VIRTUAL_RATE=3200000\nVIRTUAL_LATE=1024:5:420, 1032:9:-60\nVIRTUAL_EXTEND=1024:5:720\n"
       "VIRTUAL_UNDETERMINED=1025:7\n",
       3'200'000,
       {{K::kLate, 1024, 5, 420},
        {K::kLate, 1032, 9, -60},
        {K::kExtend, 1024, 5, 720},
        {K::kUndetermined, 1025, 7, 0}},
       {}},
      {"VIRTUAL_RATE=0\n", usb::kDefaultVirtualBitRate, {}, {}},
      {"VIRTUAL_RATE=1000\n", usb::kDefaultVirtualBitRate, {}, {"VIRTUAL_RATE: 1000: bit rate must be at least"}},
      {"VIRTUAL_LATE=1024:5,1032:9:60\nVIRTUAL_UNDETERMINED=4242:1\n",
       usb::kDefaultVirtualBitRate,
       {{K::kLate, 1032, 9, 60}},
       {"VIRTUAL_LATE: '1024:5' is not SERVICE:EVENT:SECONDS", "VIRTUAL_UNDETERMINED: service 4242"}},
      {"VIRTUAL_EXTEND=1024:5:60,1024:5:90\n",
       usb::kDefaultVirtualBitRate,
       {},
       {"VIRTUAL_LATE, VIRTUAL_EXTEND, VIRTUAL_UNDETERMINED: event 5 of service 1024 has two extend "
        "changes"}},
  };
  const std::string path =
      (std::filesystem::temp_directory_path() / ("pelkan_devices_" + std::to_string(::getpid()) + ".ini"))
          .string();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.lines);
    std::ofstream(path, std::ios::binary) << "[Pelkan_Q]\n" << r.lines;
    Settings settings;
    LoadSettings(path, "/tmp", &settings);
    ::testing::internal::CaptureStderr();
    const usb::DriverConfig config = DriverConfigFromSettings(settings);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(config.virtual_bit_rate, r.rate);
    EXPECT_EQ(config.virtual_programme_changes, r.changes);
    size_t lines = 0;
    for (const char c : err) lines += c == '\n';
    EXPECT_EQ(lines, r.logged.size()) << err;
    for (const std::string& text : r.logged)
      EXPECT_NE(err.find("pelkan.ini: " + text), std::string::npos) << err;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace pelkan
