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
  WindowLayout w;
  EXPECT_FALSE(LoadSettings(path_, "/home/u", &s, &w));
  EXPECT_EQ(s.rec_autopath, "/home/u");
  EXPECT_EQ(s.network_address, "localhost");
  EXPECT_EQ(s.network_port, 1234);
  EXPECT_EQ(s.network_send_size, 0x7FFF);
  EXPECT_EQ(s.timer_period, 1);
  EXPECT_EQ(s.last_ep_in, 0xFFFE);
  EXPECT_EQ(w.main.x, -30000);
  EXPECT_EQ(s.last_channel, -1);
  EXPECT_EQ(s.virtual_tuner, 1);
  EXPECT_EQ(s.usb_device_ids, "");
  ASSERT_TRUE(SaveSettings(path_, s, &w));
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
  WindowLayout w;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s, &w));
  EXPECT_EQ(s.network_port, 1234);
  EXPECT_EQ(s.rec_time, 45);
  EXPECT_EQ(w.main.x, -12);
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

// Every key of the file in the order the program has always written it (the windows' places among
// the settings), none at its default. It reads into the same values, and written again, into a new
// file or over itself, it comes out byte for byte the same.
TEST_F(SettingsFile, FileOfEveryKeyReadsTheSameAndIsWrittenTheSame) {
  const std::string old_file =
      "[Pelkan_Q]\r\nSORVALINK_INIT=1\r\nARIB_B25_PROC=1\r\nREC_AUTOFILENAME=1\r\nREC_AUTOPATH=/srv/tv\r\n"
      "TIMER_PERIOD=2\r\nTHREAD_PRIORITY_REC=2\r\nTHREAD_PRIORITY_RES=2\r\nTHREAD_PRIORITY_PROC=2\r\n"
      "LAST_EP_IN=134\r\nLAST_EP_OUT=2\r\nREC_TIME=30\r\nNETWORK_ADDRESS=192.168.0.2\r\nNETWORK_PORT=5000\r\n"
      "NETWORK_SEND_SIZE=1316\r\nPOS_X=10\r\nPOS_Y=20\r\nCHWND_SHOW=1\r\nCHWND_POS_X=30\r\nCHWND_POS_Y=40\r\n"
      "LAST_CHANNEL=13\r\nFILTWND_SHOW=1\r\nFILTWND_POS_X=50\r\nFILTWND_POS_Y=60\r\nFILTWND_SIZE_X=500\r\n"
      "FILTWND_SIZE_Y=300\r\nSCHEDULE_SHOW=1\r\nSCHEDULE_POS_X=70\r\nSCHEDULE_POS_Y=80\r\nSCHEDULE_SIZE_X="
      "520\r\n"
      "SCHEDULE_SIZE_Y=320\r\nGUIDE_SHOW=1\r\nGUIDE_POS_X=90\r\nGUIDE_POS_Y=-30000\r\nGUIDE_SIZE_X=800\r\n"
      "GUIDE_SIZE_Y=600\r\nRULE_SHOW=1\r\nRULE_POS_X=100\r\nRULE_POS_Y=110\r\nRULE_SIZE_X=700\r\n"
      "RULE_SIZE_Y=260\r\nLIBRARY_SHOW=1\r\nLIBRARY_POS_X=120\r\nLIBRARY_POS_Y=130\r\nLIBRARY_SIZE_X=900\r\n"
      "LIBRARY_SIZE_Y=420\r\nUSB_DEVICE_IDS=0511:0029\r\nVIRTUAL_TUNER=0\r\nVIRTUAL_TUNER_FILE=/tmp/a.ts\r\n"
      "VIRTUAL_RATE=8000000\r\nVIRTUAL_LATE=1024:1:60\r\nVIRTUAL_EXTEND=1024:2:30\r\nVIRTUAL_UNDETERMINED="
      "1024:3\r\n"
      "VIRTUAL_DROPOUT=5:2\r\nDROPOUT_WAIT=0\r\nREC_END_COMMAND=/bin/true\r\nREC_END_COMMAND_LIMIT=5\r\n"
      "NOTIFY_FINISHED=1\r\nWAKE_ALARM=1\r\nWAKE_LEAD=10\r\n"
      "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n"
      "[Pelkan_Q_SCHEDULE]\r\nSCHEDULE_USE_SYSTEM_TIME=1\r\nSCHEDULE_MARGIN_BEFORE=30\r\n"
      "SCHEDULE_MARGIN_AFTER=15\r\nSCHEDULE_FOLLOW_LIMIT=60\r\n"
      "[Pelkan_Q_HTTP]\r\nHTTP_ENABLED=1\r\nHTTP_ADDRESS=0.0.0.0\r\nHTTP_PORT=9000\r\nHTTP_MAX_CLIENTS=4\r\n"
      "HTTP_ALLOW=192.168.0.0/16,fd00::/8\r\nHTTP_HOSTS=tv.home\r\n"
      "[Pelkan_Q_LIBRARY]\r\nAUTO_DELETE=1\r\nKEEP_DAYS=30\r\nPLAYER_COMMAND=mpv --start={position} {file}\r\n";
  Write(old_file);
  Settings s;
  WindowLayout w;
  ASSERT_TRUE(LoadSettings(path_, "/d", &s, &w));
  EXPECT_EQ(s.rec_autopath, "/srv/tv");
  EXPECT_EQ(s.last_ep_in, 134);
  EXPECT_EQ(s.last_channel, 13);
  EXPECT_EQ(s.notify_finished, 1);
  EXPECT_EQ(s.http_max_clients, 4);
  EXPECT_EQ(s.auto_delete, 1);
  EXPECT_EQ(s.keep_days, 30);
  EXPECT_EQ(s.http_allow, "192.168.0.0/16,fd00::/8");
  EXPECT_EQ(w.main.x, 10);
  EXPECT_EQ(w.main.y, 20);
  EXPECT_EQ(w.channel.show, 1);
  EXPECT_EQ(w.channel.y, 40);
  EXPECT_EQ(w.filter.width, 500);
  EXPECT_EQ(w.schedule.height, 320);
  EXPECT_EQ(w.guide.x, 90);
  EXPECT_FALSE(w.guide.HasPosition());
  EXPECT_EQ(w.rule.width, 700);
  EXPECT_EQ(w.library.show, 1);
  EXPECT_EQ(w.library.height, 420);
  EXPECT_EQ(s.player_command, "mpv --start={position} {file}");
  const std::string fresh = (dir_ / "fresh.ini").string();
  ASSERT_TRUE(SaveSettings(fresh, s, &w));
  ASSERT_TRUE(SaveSettings(path_, s, &w));
  EXPECT_EQ(Read(), old_file);
  std::ifstream in(fresh, std::ios::binary);
  std::stringstream written;
  written << in.rdbuf();
  EXPECT_EQ(written.str(), old_file);
  // Without the windows' record the places stay in the file as they were.
  ASSERT_TRUE(SaveSettings(path_, s));
  EXPECT_EQ(Read(), old_file);
}

// Each row of the key table: its field holds its default in a new record, the row is found from
// its field and its name, and a number's default lies in its range.
TEST(SettingKeys, RowsGiveTheDefaultsAndAreFoundByFieldAndName) {
  const Settings fresh;
  for (const SettingKey& k : SettingKeys()) {
    ASSERT_EQ(FindSettingKey(k.name), &k) << k.name;
    if (k.type == SettingType::kText) {
      EXPECT_EQ(fresh.*k.text, k.default_text) << k.name;
      continue;
    }
    EXPECT_EQ(&SettingKeyOf(k.number), &k) << k.name;
    EXPECT_EQ(fresh.*k.number, k.default_number) << k.name;
    EXPECT_EQ(k.Clamp(k.default_number), k.default_number) << k.name;
  }
  EXPECT_EQ(FindSettingKey("POS_X"), nullptr);  // the windows' own record keeps it
  EXPECT_EQ(SettingKeyOf(&Settings::schedule_margin_after).max, 600);
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
