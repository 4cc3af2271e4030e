#include "app/device_list.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pelkan
