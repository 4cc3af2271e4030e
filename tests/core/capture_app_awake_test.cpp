// The manual recording of the capture application keeps the computer awake while it runs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "core/capture_app.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/mock_logind.h"

namespace pelkan {
namespace {

TEST(CaptureAppAwake, ManualRecordingHoldsASleepLockFromStartToStop) {
  testing::MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  auto held = [&logind] { return logind.WaitFor([](const auto& l) { return !l.empty(); }); };
  auto none = [&logind] { return logind.WaitFor([](const auto& l) { return l.empty(); }).empty(); };
  char pattern[] = "/tmp/pelkan-awake-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string path = std::string(pattern) + "/rec.ts";
  {
    testing::QueueDispatcher dispatcher;
    testing::RecordingMessages messages;
    CaptureApp app(&dispatcher, &messages);
    app.SetDevice(std::make_unique<testing::FakeDtvDevice>());
    ConnectRequest request;
    request.device_index = 0;
    request.in_address = 0x86;
    request.out_address = core::kNoEndpoint;
    ASSERT_TRUE(app.Connect(request));
    EXPECT_TRUE(none());  // capturing alone records nothing

    ASSERT_TRUE(app.ToggleRecording(false, path));
    auto list = held();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].what, "sleep");
    EXPECT_EQ(list[0].who, "pelkan");
    EXPECT_EQ(list[0].why, path);
    EXPECT_EQ(list[0].mode, "block");
    EXPECT_FALSE(app.ToggleRecording(false));  // the record button again: stops
    EXPECT_TRUE(none());

    ASSERT_TRUE(app.ToggleRecording(false, path, std::nullopt, true));
    EXPECT_EQ(held().size(), 1u);
    app.Disconnect();  // stops the recording as well
    EXPECT_TRUE(none());
    EXPECT_TRUE(messages.shown.empty());
  }
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace pelkan
