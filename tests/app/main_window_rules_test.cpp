#include "app/main_window_rules.h"

#include <gtest/gtest.h>

#include "app/settings_capture.h"

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

TEST(SettingsCapture, RoundTripKeepsTheOtherKeys) {
  Settings s = DefaultSettings("/rec");
  s.sorvalink_init = 1;
  s.rec_time = 45;
  s.network_address = "192.0.2.1";
  s.network_port = 70000;
  s.last_channel = 27;
  s.schedule_use_system_time = 1;
  s.thread_priority_rec = 2;
  s.pos_x = 100;
  CaptureSettings c = ToCaptureSettings(s);
  EXPECT_EQ(c.sorvalink_init, 1);
  EXPECT_EQ(c.rec_autopath, "/rec");
  EXPECT_EQ(c.rec_time, 45);
  EXPECT_EQ(c.network_port, 70000);
  EXPECT_EQ(c.last_channel, 27);
  EXPECT_EQ(c.schedule_use_system_time, 1);
  c.rec_time = 50;
  c.network_address = "localhost";
  c.decode_psi = 1;
  Settings back = s;
  StoreCaptureSettings(c, &back);
  EXPECT_EQ(back.rec_time, 50);
  EXPECT_EQ(back.network_address, "localhost");
  EXPECT_EQ(back.decode_psi, 1);
  EXPECT_EQ(back.thread_priority_rec, 2);
  EXPECT_EQ(back.pos_x, 100);
  EXPECT_EQ(back.last_ep_in, s.last_ep_in);
}

}  // namespace
}  // namespace pelkan
