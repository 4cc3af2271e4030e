#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include "fake_usb_driver.h"

namespace pelkan::usb {
namespace {

using namespace pelkan::usb::testing;

std::shared_ptr<FakeDriver> DriverWith(std::vector<std::shared_ptr<FakeDeviceState>> devices) {
  auto d = std::make_shared<FakeDriver>();
  d->devices = std::move(devices);
  return d;
}

TEST(UsbDevice, NoDeviceMeansNothingOpens) {
  UsbDevice dev(DriverWith({}), false);
  EXPECT_EQ(dev.DeviceCount(), 0);
  EXPECT_FALSE(dev.Open(0));
  EXPECT_FALSE(dev.IsOpen());
  EXPECT_EQ(dev.EndpointCount(), 0);
}

TEST(UsbDevice, OpenNumberEqualToCountFails) {
  UsbDevice dev(DriverWith({TypicalDevice()}), false);
  EXPECT_EQ(dev.DeviceCount(), 1);
  EXPECT_FALSE(dev.Open(1));
  EXPECT_TRUE(dev.Open(0));
}

TEST(UsbDevice, ReadsDescriptorsStringsAndEndpoints) {
  auto state = TypicalDevice();
  UsbDevice dev(DriverWith({state}), true);
  ASSERT_TRUE(dev.IsOpen());
  EXPECT_EQ(dev.device_descriptor().idVendor, 0x04B4);
  EXPECT_EQ(dev.language_id(), 0x0409);
  EXPECT_EQ(dev.manufacturer(), u"Maker");
  EXPECT_EQ(dev.product(), u"Tuner");
  EXPECT_EQ(dev.serial_number(), u"42");
  EXPECT_EQ(dev.device_name(), "Fake tuner");
  EXPECT_EQ(dev.EndpointCount(), 3);
  ASSERT_NE(dev.Endpoint(0), nullptr);
  EXPECT_EQ(dev.Endpoint(0)->max_packet_size(), 64);
  EXPECT_EQ(dev.Endpoint(0), dev.control_endpoint());
  ASSERT_NE(dev.bulk_in(), nullptr);
  EXPECT_EQ(dev.bulk_in()->bEndpointAddress(), 0x86);
  EXPECT_EQ(dev.bulk_out()->bEndpointAddress(), 0x02);
  EXPECT_TRUE(dev.bulk_in()->direct());
  EXPECT_EQ(dev.Endpoint(3), nullptr);
  // Descriptor requests: the device descriptor first, 5 s.
  const auto& first = state->calls[0];
  EXPECT_EQ(first.op, FakeDeviceState::Op::kDescriptor);
  EXPECT_EQ(first.type, 1);
  EXPECT_EQ(first.index, 0);
  EXPECT_EQ(first.length, 18u);
  EXPECT_EQ(first.timeout_ms, 5000u);
}

TEST(UsbDevice, PrefersUsEnglishAmongTheLanguages) {
  auto state = TypicalDevice();
  state->descriptors[{3, 0}] = {6, 3, 0x11, 0x04, 0x09, 0x04};
  UsbDevice dev(DriverWith({state}), true);
  EXPECT_EQ(dev.language_id(), 0x0409);
  state->descriptors[{3, 0}] = {4, 3, 0x11, 0x04};
  ASSERT_TRUE(dev.Open(0));
  EXPECT_EQ(dev.language_id(), 0x0411);
}

TEST(UsbDevice, StringOfLengthTwoStaysEmpty) {
  auto state = TypicalDevice();
  state->descriptors[{3, 2}] = {2, 3};
  UsbDevice dev(DriverWith({state}), true);
  EXPECT_TRUE(dev.product().empty());
  EXPECT_EQ(dev.manufacturer(), u"Maker");
}

TEST(UsbDevice, SelectsTheCurrentAlternateSetting) {
  auto state = TypicalDevice();
  state->descriptors[{2, 0}] =
      ConfigDesc(1, {InterfaceDesc(0, 0, 1), EndpointDesc(0x86, 2, 512), InterfaceDesc(0, 1, 2),
                     EndpointDesc(0x81, 3, 64), EndpointDesc(0x82, 2, 512)});
  state->alt_setting = 1;
  UsbDevice dev(DriverWith({state}), true);
  EXPECT_EQ(dev.alternate_index(), 1);
  EXPECT_EQ(dev.EndpointCount(), 3);
  EXPECT_EQ(dev.interrupt_in()->bEndpointAddress(), 0x81);
  EXPECT_EQ(dev.bulk_in()->bEndpointAddress(), 0x82);
  state->alt_setting = 7;  // no record has it: no endpoints
  EXPECT_TRUE(dev.Open(0));
  EXPECT_EQ(dev.EndpointCount(), 0);
  EXPECT_EQ(dev.Endpoint(0), nullptr);
}

TEST(UsbDevice, OddAttributesNeverBecomeATypedEndpoint) {
  auto state = TypicalDevice();
  state->descriptors[{2, 0}] =
      ConfigDesc(1, {InterfaceDesc(0, 0, 2), EndpointDesc(0x81, 0x05, 512), EndpointDesc(0x02, 2, 512)});
  UsbDevice dev(DriverWith({state}), true);
  EXPECT_EQ(dev.Endpoint(1), nullptr);
  EXPECT_EQ(dev.iso_in(), nullptr);
  EXPECT_EQ(dev.bulk_out()->bEndpointAddress(), 0x02);
}

TEST(UsbDevice, OpeningAgainClosesTheFirstHandle) {
  auto a = TypicalDevice();
  auto b = TypicalDevice();
  UsbDevice dev(DriverWith({a, b}), true);
  EXPECT_EQ(a->open_handles, 1);
  ASSERT_TRUE(dev.Open(1));
  EXPECT_EQ(a->open_handles, 0);
  EXPECT_EQ(b->open_handles, 1);
  dev.Close();
  EXPECT_EQ(b->open_handles, 0);
  EXPECT_FALSE(dev.IsOpen());
}

TEST(UsbDevice, FailedValueRequestsLeaveZeros) {
  auto state = TypicalDevice();
  state->fail_values = true;
  UsbDevice dev(DriverWith({state}), true);
  EXPECT_EQ(dev.driver_version(), 0u);
  EXPECT_TRUE(dev.device_name().empty());
  // No alternate setting could be read (0xFF): nothing is selected.
  EXPECT_EQ(dev.EndpointCount(), 0);
}

TEST(UsbDevice, DeviceWithoutConfigurationStaysOpenWithoutEndpoints) {
  auto state = TypicalDevice();
  state->descriptors.erase({2, 0});
  UsbDevice dev(DriverWith({state}), false);
  EXPECT_FALSE(dev.Open(0));
  EXPECT_TRUE(dev.IsOpen());
  EXPECT_EQ(dev.EndpointCount(), 0);
}

}  // namespace
}  // namespace pelkan::usb
