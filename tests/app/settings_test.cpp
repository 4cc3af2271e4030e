#include "app/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace pelkan {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_settings_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "pelkan.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(SettingsFile, MissingFileGivesDefaultsAndIsCreatedAtSave) {
  Settings s;
  EXPECT_FALSE(LoadSettings(path_, "/home/u", &s));
  EXPECT_EQ(s.rec_autopath, "/home/u");
  EXPECT_EQ(s.network_address, "localhost");
  EXPECT_EQ(s.network_port, 1234);
  EXPECT_EQ(s.network_send_size, 0x7FFF);
  EXPECT_EQ(s.timer_period, 1);
  EXPECT_EQ(s.last_ep_in, 0xFFFE);
  EXPECT_EQ(s.pos_x, -30000);
  EXPECT_EQ(s.last_channel, -1);
  EXPECT_EQ(s.virtual_tuner, 1);
  EXPECT_EQ(s.usb_device_ids, "");
  ASSERT_TRUE(SaveSettings(path_, s));
  const std::string text = Read();
  EXPECT_EQ(text.rfind("[Pelkan_Q]\r\nSORVALINK_INIT=0\r\nARIB_B25_PROC=0\r\nREC_AUTOFILENAME=0\r\n"
                       "REC_AUTOPATH=/home/u\r\nTIMER_PERIOD=1\r\n",
                       0),
            0u);
  EXPECT_NE(text.find("[Pelkan_Q_PSI]\r\nDECODE_PSI=0\r\nPROC_EPG=0\r\n"), std::string::npos);
  EXPECT_NE(text.find("[Pelkan_Q_SCHEDULE]\r\nSCHEDULE_USE_SYSTEM_TIME=0\r\n"), std::string::npos);
  Settings back;
  EXPECT_TRUE(LoadSettings(path_, "/elsewhere", &back));
  EXPECT_EQ(back.rec_autopath, "/home/u");
}

TEST_F(SettingsFile, EmptyValueGivesDefaultAndValuesRoundTrip) {
  Write(
      "[pelkan_q]\nNETWORK_PORT=\nREC_TIME=  45min\nPOS_X=-12\nNETWORK_ADDRESS=\n"
      "USB_DEVICE_IDS=04b4:1004,0511:0029\n[Pelkan_Q_SCHEDULE]\nschedule_use_system_time=1\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  EXPECT_EQ(s.network_port, 1234);
  EXPECT_EQ(s.rec_time, 45);
  EXPECT_EQ(s.pos_x, -12);
  EXPECT_EQ(s.network_address, "");  // an empty text is a value, not an absence
  EXPECT_EQ(s.usb_device_ids, "04b4:1004,0511:0029");
  EXPECT_EQ(s.schedule_use_system_time, 1);
}

// The schedule keys have ranges: a hand-edited value outside one is held to its nearest bound, and
// a missing key is its default.
TEST_F(SettingsFile, ScheduleKeysAreHeldToTheirRanges) {
  struct Case {
    const char* text;
    int32_t before, after, limit;
  } const cases[] = {
      {"", 5, 0, 180},
      {"SCHEDULE_MARGIN_BEFORE=30\nSCHEDULE_MARGIN_AFTER=600\nSCHEDULE_FOLLOW_LIMIT=0\n", 30, 600, 0},
      {"SCHEDULE_MARGIN_BEFORE=-1\nSCHEDULE_MARGIN_AFTER=601\nSCHEDULE_FOLLOW_LIMIT=99999\n", 0, 600, 1440},
  };
  for (const Case& c : cases) {
    Write(std::string("[Pelkan_Q_SCHEDULE]\n") + c.text);
    Settings s;
    ASSERT_TRUE(LoadSettings(path_, "/d", &s));
    EXPECT_EQ(s.schedule_margin_before, c.before) << c.text;
    EXPECT_EQ(s.schedule_margin_after, c.after) << c.text;
    EXPECT_EQ(s.schedule_follow_limit, c.limit) << c.text;
  }
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  ASSERT_TRUE(SaveSettings(path_, s));
  EXPECT_NE(Read().find("SCHEDULE_MARGIN_BEFORE=0\nSCHEDULE_MARGIN_AFTER=600\nSCHEDULE_FOLLOW_LIMIT=1440\n"),
            std::string::npos)
      << Read();
}

// The HTTP keys: their own section, the port and the client count held to their ranges.
TEST_F(SettingsFile, HttpKeysAreReadWrittenAndHeldToTheirRanges) {
  Write("[Pelkan_Q_HTTP]\nHTTP_ENABLED=1\nHTTP_ADDRESS=0.0.0.0\nHTTP_PORT=0\nHTTP_MAX_CLIENTS=900\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  EXPECT_EQ(s.http_enabled, 1);
  EXPECT_EQ(s.http_address, "0.0.0.0");
  EXPECT_EQ(s.http_port, 1);
  EXPECT_EQ(s.http_max_clients, 64);
  s.http_port = 9000;
  ASSERT_TRUE(SaveSettings(path_, s));
  EXPECT_NE(Read().find("[Pelkan_Q_HTTP]\nHTTP_ENABLED=1\nHTTP_ADDRESS=0.0.0.0\nHTTP_PORT=9000\nHTTP_MAX_CLIENTS=64\n"),
            std::string::npos)
      << Read();
  Write("");
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  EXPECT_EQ(s.http_enabled, 0);
  EXPECT_EQ(s.http_address, "127.0.0.1");
  EXPECT_EQ(s.http_port, 8080);
  EXPECT_EQ(s.http_max_clients, 8);
}

// The keys of the command after each recording, the notifications and the wake alarm: read with
// their quoting as written, defaults when absent, ranges held.
TEST_F(SettingsFile, HookAndWakeKeysAreReadWrittenAndHeldToTheirRanges) {
  Write("[Pelkan_Q]\nREC_END_COMMAND=/usr/bin/mv -n \"$PELKAN_FILE\" '/srv/tv'\nREC_END_COMMAND_LIMIT=0\n"
        "NOTIFY_FINISHED=1\nWAKE_ALARM=1\nWAKE_LEAD=500\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  EXPECT_EQ(s.rec_end_command, "/usr/bin/mv -n \"$PELKAN_FILE\" '/srv/tv'");
  EXPECT_EQ(s.rec_end_command_limit, 1);
  EXPECT_EQ(s.notify_finished, 1);
  EXPECT_EQ(s.wake_alarm, 1);
  EXPECT_EQ(s.wake_lead, 60);
  ASSERT_TRUE(SaveSettings(path_, s));
  EXPECT_NE(Read().find("REC_END_COMMAND=/usr/bin/mv -n \"$PELKAN_FILE\" '/srv/tv'\nREC_END_COMMAND_LIMIT=1\n"
                        "NOTIFY_FINISHED=1\nWAKE_ALARM=1\nWAKE_LEAD=60\n"),
            std::string::npos)
      << Read();
  Write("");
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  EXPECT_EQ(s.rec_end_command, "");
  EXPECT_EQ(s.rec_end_command_limit, 60);
  EXPECT_EQ(s.notify_finished, 0);
  EXPECT_EQ(s.wake_alarm, 0);
  EXPECT_EQ(s.wake_lead, 3);
}

TEST_F(SettingsFile, UnknownKeysAndCommentsSurviveASave) {
  Write("; hand-written notes\n[Pelkan_Q]\nMY_OWN_KEY=7\nLAST_EP_IN=130\n\n[Extra]\nA=b\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s));
  s.rec_time = 90;
  ASSERT_TRUE(SaveSettings(path_, s));
  const std::string text = Read();
  EXPECT_EQ(text.rfind("; hand-written notes\n[Pelkan_Q]\nMY_OWN_KEY=7\nLAST_EP_IN=130\n", 0), 0u);
  EXPECT_NE(text.find("[Extra]\nA=b\n"), std::string::npos);
  platform::Profile p;
  ASSERT_TRUE(p.Load(path_));
  EXPECT_EQ(p.GetInt("Pelkan_Q", "REC_TIME", 0), 90);
  EXPECT_EQ(p.GetInt("Pelkan_Q", "LAST_EP_IN", 0), 130);
}

// A pelkan.ini saved by an editor with a byte order mark used to lose every setting to its
// default, and a second [Pelkan_Q] was appended at exit.
TEST_F(SettingsFile, ByteOrderMarkHidesNothing) {
  Write("\xEF\xBB\xBF[Pelkan_Q]\r\nREC_TIME=25\r\nNETWORK_PORT=4000\r\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(path_, "/home/u", &s));
  EXPECT_EQ(s.rec_time, 25);
  EXPECT_EQ(s.network_port, 4000);
  ASSERT_TRUE(SaveSettings(path_, s));
  const std::string text = Read();
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF[Pelkan_Q]\r\nREC_TIME=25\r\nNETWORK_PORT=4000\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("[Pelkan_Q]", 4), std::string::npos) << text;
}

TEST(SettingsPaths, JoinAddsOneSlash) {
  EXPECT_EQ(JoinPath("/a", "pelkan.ini"), "/a/pelkan.ini");
  EXPECT_EQ(JoinPath("/", "pelkan.ini"), "/pelkan.ini");
  EXPECT_EQ(SettingsPath(), JoinPath(CurrentDirectory(), "pelkan.ini"));
}

}  // namespace
}  // namespace pelkan
