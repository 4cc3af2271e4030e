#include "core/device_channels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/dtv_base.h"
#include "platform/text_codec.h"
#include "tests/support/capture_fakes.h"

namespace pelkan {
namespace {

// A device with channels: names in Shift-JIS, copied like a driver that fills the whole buffer
// and leaves the terminator to the caller when a name does not fit.
class ChannelDevice : public testing::FakeDtvDevice {
 public:
  int capabilities = 0;
  std::vector<std::pair<std::string, int>> channels;

  int GetCapabilities() override { return capabilities; }
  int GetChannelCount() override { return static_cast<int>(channels.size()); }
  int GetChannelName(int index, char* buffer, size_t size) override {
    const auto& [name, value] = channels.at(static_cast<size_t>(index));
    std::memset(buffer, 0, size);
    std::memcpy(buffer, name.data(), std::min(size, name.size()));
    return value;
  }
};

TEST(DeviceChannels, NoDeviceOffersNothing) {
  const DeviceChannels d = ReadDeviceChannels(nullptr);
  EXPECT_EQ(d.capabilities, 0u);
  EXPECT_TRUE(d.channels.empty());
}

TEST(DeviceChannels, CapabilitiesDecideWhatIsRead) {
  const std::string long_name(100, 'x');
  struct Case {
    const char* what;
    int capabilities;
    uint32_t expected_capabilities;
    std::vector<ChannelChoice> expected;
  };
  const std::vector<Case> cases = {
      {"no capability", 0, 0, {}},
      {"string only: no channel list", core::kDtvCapSendString, kCanSendString, {}},
      {"channels, unknown bits dropped", core::kDtvCapChannel | core::kDtvCapSendString | 0x40,
       kCanSelectChannel | kCanSendString,
       {{"ペルカン総合", 27}, {"湾岸テレビ", 25}, {std::string(79, 'x'), -1}}},
  };
  for (const Case& c : cases) {
    ChannelDevice device;
    device.capabilities = c.capabilities;
    device.channels = {{platform::Sjis("ペルカン総合"), 27}, {platform::Sjis("湾岸テレビ"), 25}, {long_name, -1}};
    const DeviceChannels d = ReadDeviceChannels(&device);
    EXPECT_EQ(d.capabilities, c.expected_capabilities) << c.what;
    ASSERT_EQ(d.channels.size(), c.expected.size()) << c.what;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(d.channels[i].name, c.expected[i].name) << c.what << " " << i;
      EXPECT_EQ(d.channels[i].value, c.expected[i].value) << c.what << " " << i;
    }
  }
}

}  // namespace
}  // namespace pelkan
