#include "usb/usb_descriptors.h"

#include <gtest/gtest.h>

#include "fake_usb_driver.h"

namespace pelkan::usb {
namespace {

using testing::ConfigDesc;
using testing::EndpointDesc;
using testing::InterfaceDesc;

std::unique_ptr<UsbConfigRecord> Parse(const std::vector<uint8_t>& d) {
  return ParseConfigDescriptor(d.data(), d.size(), nullptr);
}

TEST(UsbDescriptors, ParsesDeviceDescriptor) {
  const auto d = testing::DeviceDesc(2, 64);
  UsbDeviceDescriptor dev;
  ASSERT_TRUE(ParseDeviceDescriptor(d.data(), d.size(), &dev));
  EXPECT_EQ(dev.idVendor, 0x04B4);
  EXPECT_EQ(dev.idProduct, 0x1004);
  EXPECT_EQ(dev.bcdUSB, 0x0200);
  EXPECT_EQ(dev.bMaxPacketSize0, 64);
  EXPECT_EQ(dev.bNumConfigurations, 2);
  EXPECT_FALSE(ParseDeviceDescriptor(d.data(), 17, &dev));
}

TEST(UsbDescriptors, ConfigurationWithAlternateSettings) {
  const auto d = ConfigDesc(2, {InterfaceDesc(0, 0, 2), EndpointDesc(0x02, 2, 512), EndpointDesc(0x86, 2, 512),
                                InterfaceDesc(0, 1, 1), EndpointDesc(0x81, 3, 64, 4),
                                InterfaceDesc(1, 0, 1), EndpointDesc(0x83, 1, 0x1400)});
  auto cfg = Parse(d);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->wTotalLength, d.size());
  EXPECT_EQ(cfg->bNumInterfaces, 2);
  ASSERT_EQ(cfg->interface_count, 3);
  EXPECT_EQ(cfg->interfaces[0]->alternate_count, 2);
  EXPECT_EQ(cfg->interfaces[1]->alternate_count, 2);
  EXPECT_EQ(cfg->interfaces[2]->alternate_count, 1);
  EXPECT_EQ(cfg->interfaces[0]->total_length, 9 + 14);
  EXPECT_EQ(cfg->interfaces[1]->bAlternateSetting, 1);
  const UsbEndpoint* in = cfg->interfaces[0]->endpoint(2);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->bEndpointAddress(), 0x86);
  EXPECT_TRUE(in->is_in());
  EXPECT_EQ(in->max_packet_size(), 512);
  const UsbEndpoint* intr = cfg->interfaces[1]->endpoint(1);
  ASSERT_NE(intr, nullptr);
  EXPECT_EQ(intr->bmAttributes(), 3);
  EXPECT_EQ(intr->bInterval(), 4);
  // 0x1400: 1024 bytes, 3 transactions per microframe.
  const UsbEndpoint* iso = cfg->interfaces[2]->endpoint(1);
  ASSERT_NE(iso, nullptr);
  EXPECT_EQ(iso->transactions(), 3);
  EXPECT_EQ(iso->max_packet_size(), 3072);
}

TEST(UsbDescriptors, ForeignDescriptorsAreSkippedInsideAnInterface) {
  const std::vector<uint8_t> hid = {9, 0x21, 1, 1, 0, 1, 0x22, 20, 0};
  const auto d = ConfigDesc(1, {InterfaceDesc(0, 0, 1), hid, EndpointDesc(0x81, 2, 512)});
  auto cfg = Parse(d);
  ASSERT_EQ(cfg->interface_count, 1);
  EXPECT_EQ(cfg->interfaces[0]->total_length, 9 + 9 + 7);
  ASSERT_NE(cfg->interfaces[0]->endpoint(1), nullptr);
  EXPECT_EQ(cfg->interfaces[0]->endpoint(1)->bEndpointAddress(), 0x81);
}

TEST(UsbDescriptors, UnknownAttributesLeaveTheSlotEmpty) {
  const auto d = ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x81, 0x05, 512), EndpointDesc(0x82, 2, 512)});
  auto cfg = Parse(d);
  EXPECT_EQ(cfg->interfaces[0]->endpoint(1), nullptr);
  ASSERT_NE(cfg->interfaces[0]->endpoint(2), nullptr);
}

TEST(UsbDescriptors, ZeroLengthDescriptorStopsTheWalk) {
  auto d = ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x81, 2, 512), {0, 5, 0, 0, 0, 0, 0}});
  auto cfg = Parse(d);
  ASSERT_EQ(cfg->interface_count, 1);
  EXPECT_NE(cfg->interfaces[0]->endpoint(1), nullptr);
  EXPECT_EQ(cfg->interfaces[0]->endpoint(2), nullptr);
}

TEST(UsbDescriptors, TotalLengthBeyondTheDataIsBounded) {
  auto d = ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x81, 2, 512), EndpointDesc(0x02, 2, 512)});
  d[2] = 0xFF;
  d[3] = 0xFF;
  // Cut in the middle of the second endpoint descriptor.
  auto cfg = ParseConfigDescriptor(d.data(), d.size() - 3, nullptr);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(cfg->interface_count, 1);
  EXPECT_NE(cfg->interfaces[0]->endpoint(1), nullptr);
  EXPECT_EQ(cfg->interfaces[0]->endpoint(2), nullptr);
}

TEST(UsbDescriptors, MissingEndpointsDoNotSwallowTheNextInterface) {
  const auto d = ConfigDesc(2, {InterfaceDesc(0, 0, 3), EndpointDesc(0x81, 2, 512), InterfaceDesc(1, 0, 1),
                                EndpointDesc(0x82, 2, 512)});
  auto cfg = Parse(d);
  ASSERT_EQ(cfg->interface_count, 2);
  EXPECT_EQ(cfg->interfaces[1]->bInterfaceNumber, 1);
  ASSERT_NE(cfg->interfaces[1]->endpoint(1), nullptr);
  EXPECT_EQ(cfg->interfaces[1]->endpoint(1)->bEndpointAddress(), 0x82);
}

TEST(UsbDescriptors, AtMostEightInterfaceRecordsAndFifteenEndpoints) {
  std::vector<std::vector<uint8_t>> body;
  for (uint8_t i = 0; i < 10; ++i) body.push_back(InterfaceDesc(i, 0, 0));
  EXPECT_EQ(Parse(ConfigDesc(10, body))->interface_count, 8);

  std::vector<std::vector<uint8_t>> many = {InterfaceDesc(0, 0, 20)};
  for (uint8_t i = 1; i <= 20; ++i) many.push_back(EndpointDesc(static_cast<uint8_t>(0x80 | i), 2, 64));
  auto cfg = Parse(ConfigDesc(1, many));
  EXPECT_EQ(cfg->interfaces[0]->bNumEndpoints, 15);
  EXPECT_NE(cfg->interfaces[0]->endpoint(15), nullptr);
  EXPECT_EQ(cfg->interfaces[0]->endpoint(16), nullptr);
}

TEST(UsbDescriptors, RejectsWhatIsNotAConfiguration) {
  const std::vector<uint8_t> short_header = {9, 2, 9, 0};
  EXPECT_EQ(ParseConfigDescriptor(short_header.data(), short_header.size(), nullptr), nullptr);
  const auto dev = testing::DeviceDesc();
  EXPECT_EQ(ParseConfigDescriptor(dev.data(), dev.size(), nullptr), nullptr);
}

}  // namespace
}  // namespace pelkan::usb
