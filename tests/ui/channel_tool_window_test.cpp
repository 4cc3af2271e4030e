#include "ui/channel_tool_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/settings.h"
#include "core/capture_app.h"
#include "tests/ui/ui_test_support.h"

namespace pelkan::ui {
namespace {

// A tuner with four channels (the third has no name) and string sending.
class ChannelTuner : public pelkan::testing::FakeDtvDevice {
 public:
  std::vector<int>* set;
  std::vector<std::string>* sent;
  ChannelTuner(std::vector<int>* s, std::vector<std::string>* t) : set(s), sent(t) {}
  int GetCapabilities() override { return core::kDtvCapChannel | core::kDtvCapSendString; }
  int GetChannelCount() override { return 4; }
  int GetChannelName(int index, char* buffer, size_t size) override {
    static const int kValues[] = {13, 16, -1, 27};
    std::snprintf(buffer, size, "%dch", kValues[index]);
    return kValues[index];
  }
  int SetChannel(int channel) override {
    set->push_back(channel);
    return 1;
  }
  int SendString(const char* text) override {
    sent->emplace_back(text);
    return 1;
  }
};

class ChannelToolWindowTest : public ::testing::Test, public testing::DesktopFixture {
 protected:
  void SetUp() override {
    options.make_device = [this](const Settings&) { return std::make_unique<ChannelTuner>(&set, &sent); };
    Settings s = DefaultSettings(dir.string());
    s.last_channel = 16;
    ASSERT_TRUE(SaveSettings(settings_path(), s));
  }
  int SavedLastChannel() {
    Settings saved;
    LoadSettings(settings_path(), dir.string(), &saved);
    return saved.last_channel;
  }
  std::vector<int> set;
  std::vector<std::string> sent;
};

TEST_F(ChannelToolWindowTest, FilledOnConnectClearedOnDisconnect) {
  Start();
  auto* combo = Find<QComboBox>("channelCombo");
  EXPECT_EQ(combo->count(), 0);
  EXPECT_FALSE(combo->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("changeButton")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("stringEdit")->isEnabled());
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  ASSERT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->currentText().toStdString(), "16ch");
  EXPECT_TRUE(combo->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("sendStringButton")->isEnabled());
  EXPECT_EQ(set, std::vector<int>{16});  // connect tunes to LAST_CHANNEL

  combo->setCurrentIndex(2);
  QTest::mouseClick(Find<QPushButton>("changeButton"), Qt::LeftButton);
  EXPECT_EQ(set, (std::vector<int>{16, 27}));
  Find<QLineEdit>("stringEdit")->setText("BS 101");
  QTest::mouseClick(Find<QPushButton>("sendStringButton"), Qt::LeftButton);
  EXPECT_EQ(sent, std::vector<std::string>{"BS 101"});

  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_EQ(combo->count(), 0);
  EXPECT_FALSE(combo->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("sendStringButton")->isEnabled());
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  EXPECT_EQ(SavedLastChannel(), 27);
}

TEST_F(ChannelToolWindowTest, ARunWithoutAChangeKeepsTheStoredChannel) {
  Start();
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  EXPECT_EQ(SavedLastChannel(), 16);
}

}  // namespace
}  // namespace pelkan::ui
