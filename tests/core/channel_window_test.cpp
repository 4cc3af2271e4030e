#include "core/channel_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/capture_app.h"
#include "tests/support/capture_fakes.h"

namespace pelkan {
namespace {

// A tuner with channel selection and string sending: channel 2's name query fails (-1).
class ChannelDevice : public testing::FakeDtvDevice {
 public:
  int caps = core::kDtvCapChannel | core::kDtvCapSendString;
  bool set_ok = true;
  std::vector<int> set;
  std::vector<std::string> sent;
  int GetCapabilities() override { return caps; }
  int GetChannelCount() override { return 4; }
  int GetChannelName(int index, char* buffer, size_t size) override {
    static const int kValues[] = {13, 16, -1, 27};
    std::snprintf(buffer, size, "ch%d", index);
    return kValues[index];
  }
  int SetChannel(int channel) override {
    set.push_back(channel);
    return set_ok ? 1 : 0;
  }
  int SendString(const char* text) override {
    sent.emplace_back(text);
    return 1;
  }
};

TEST(ChannelWindow, FillSkipsUnnamedChannelsAndPreselectsTheStoredOne) {
  ChannelDevice device;
  ChannelWindow w(&device, 27);
  int changes = 0;
  w.SetListener([&] { ++changes; });
  w.RequestFill(false, 27);
  ASSERT_EQ(w.entries().size(), 3u);
  EXPECT_EQ(w.entries()[2].name, "ch3");
  EXPECT_EQ(w.entries()[2].value, 27);
  EXPECT_EQ(w.selected(), 2);
  w.RequestFill(false, 99);  // no match: the first entry
  EXPECT_EQ(w.selected(), 0);
  w.RequestFill(true, 27);
  EXPECT_TRUE(w.entries().empty());
  EXPECT_EQ(w.selected(), -1);
  EXPECT_EQ(changes, 3);
}

TEST(ChannelWindow, EnablingFollowsTheCapabilities) {
  ChannelDevice device;
  ChannelWindow w(&device, -1);
  w.EnableControls(true);
  EXPECT_TRUE(w.selection_enabled());
  EXPECT_TRUE(w.string_enabled());
  device.caps = core::kDtvCapSendString;
  w.EnableControls(true);
  EXPECT_FALSE(w.selection_enabled());
  EXPECT_TRUE(w.string_enabled());
  device.caps = 0;
  w.EnableControls(true);
  w.RequestFill(false, 0);
  EXPECT_FALSE(w.selection_enabled());
  EXPECT_FALSE(w.string_enabled());
  EXPECT_TRUE(w.entries().empty());
  EXPECT_FALSE(w.Change(0));
  EXPECT_FALSE(w.Send("x"));
  EXPECT_TRUE(device.set.empty());
}

TEST(ChannelWindow, OnlyASuccessfulChangeReplacesTheLastChannel) {
  ChannelDevice device;
  ChannelWindow w(&device, 16);
  w.RequestFill(false, 16);
  EXPECT_EQ(w.last_channel(), 16);  // a run without 変更 keeps LAST_CHANNEL
  device.set_ok = false;
  EXPECT_FALSE(w.Change(2));
  EXPECT_EQ(w.last_channel(), 16);
  device.set_ok = true;
  EXPECT_TRUE(w.Change(2));
  EXPECT_EQ(w.last_channel(), 27);
  EXPECT_FALSE(w.Change(3));
  EXPECT_EQ(device.set, (std::vector<int>{27, 27}));
}

TEST(ChannelWindow, SendPassesAtMost80Bytes) {
  ChannelDevice device;
  ChannelWindow w(&device, 0);
  EXPECT_TRUE(w.Send(std::string(100, 'a')));
  ASSERT_EQ(device.sent.size(), 1u);
  EXPECT_EQ(device.sent[0], std::string(80, 'a'));
}

TEST(ChannelWindow, ConnectFillsAndDisconnectClears) {
  testing::QueueDispatcher dispatcher;
  testing::RecordingMessages messages;
  CaptureApp app(&dispatcher, &messages);
  auto owned = std::make_unique<ChannelDevice>();
  ChannelDevice* device = owned.get();
  app.SetDevice(std::move(owned));
  app.settings().last_channel = 16;
  ChannelWindow w(device, app.settings().last_channel);
  app.SetChannelWindow(&w);
  ConnectRequest r;
  r.device_index = 0;
  r.in_address = 0x86;
  r.out_address = core::kNoEndpoint;
  ASSERT_TRUE(app.Connect(r));
  EXPECT_EQ(w.entries().size(), 3u);
  EXPECT_EQ(w.selected(), 1);
  EXPECT_TRUE(w.selection_enabled());
  EXPECT_EQ(device->set, std::vector<int>{16});  // the device is tuned to LAST_CHANNEL
  app.Disconnect();
  EXPECT_TRUE(w.entries().empty());
  EXPECT_FALSE(w.selection_enabled());
  EXPECT_FALSE(w.string_enabled());
  app.SetChannelWindow(nullptr);
}

}  // namespace
}  // namespace pelkan
