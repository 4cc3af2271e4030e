#include "app/main_window_rules.h"

#include <gtest/gtest.h>


namespace pelkan {
namespace {

TEST(ParseUnsignedField, DigitsOnlyWithin32Bits) {
  EXPECT_EQ(ParseUnsignedField("70000"), 70000u);
  EXPECT_EQ(ParseUnsignedField(" 5 "), 5u);
  EXPECT_EQ(ParseUnsignedField("4294967295"), 4294967295u);
  EXPECT_FALSE(ParseUnsignedField("4294967296"));
  EXPECT_FALSE(ParseUnsignedField(""));
  EXPECT_FALSE(ParseUnsignedField("-3"));
  EXPECT_FALSE(ParseUnsignedField("1e3"));
  EXPECT_EQ(UnsignedFieldOrZero(""), 0u);
}

TEST(MainWindowControls, EnablingFollowsTheConnection) {
  MainWindowState s;
  s.device_open = true;
  s.has_devices = true;
  s.has_in_endpoints = true;
  MainWindowControls c = ComputeMainWindowControls(s);
  EXPECT_TRUE(c.device_list && c.rescan && c.in_list && c.out_list && c.init_box && c.descramble_box);
  EXPECT_TRUE(c.connect);
  EXPECT_FALSE(c.record || c.send);
  s.connected = true;
  c = ComputeMainWindowControls(s);
  EXPECT_FALSE(c.device_list || c.rescan || c.in_list || c.out_list || c.init_box || c.descramble_box);
  EXPECT_TRUE(c.connect && c.record && c.send && c.stop_timer && c.network_edits);
  s.recording = true;
  s.sending = true;
  c = ComputeMainWindowControls(s);
  EXPECT_FALSE(c.stop_timer || c.network_edits);
}

TEST(MainWindowControls, NoDeviceOrNoInEndpoint) {
  MainWindowState s;  // the device set could not be opened
  MainWindowControls c = ComputeMainWindowControls(s);
  EXPECT_FALSE(c.device_list || c.connect || c.in_list || c.out_list || c.record || c.send);
  EXPECT_TRUE(c.rescan && c.descramble_box && c.stop_timer && c.network_edits);
  s.device_open = true;
  s.has_devices = true;
  s.fx2_device = false;
  c = ComputeMainWindowControls(s);
  EXPECT_FALSE(c.in_list);
  EXPECT_TRUE(c.out_list && c.connect);
  EXPECT_FALSE(c.init_box || c.init_box_visible);
}

}  // namespace
}  // namespace pelkan
