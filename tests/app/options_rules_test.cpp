#include "app/options_rules.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/file_system.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

class OptionsRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-options-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    settings_ = DefaultSettings(dir_);
    form_ = OptionsFormFrom(settings_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Apply() { return platform::SjisToUtf8(ApplyOptionsForm(form_, &settings_)); }

  std::string dir_;
  Settings settings_;
  OptionsForm form_;
};

TEST_F(OptionsRulesTest, TimerPeriodZeroOrWithinTheRange) {
  for (const char* ok : {"0", "1", " 16 ", "1000000"}) {
    form_.timer_period = ok;
    EXPECT_EQ(Apply(), "") << ok;
  }
  EXPECT_EQ(settings_.timer_period, 1000000);
  for (const char* bad : {"", "1000001", "-1", "abc", "12ms", "99999999999"}) {
    form_.timer_period = bad;
    EXPECT_EQ(Apply(), "タイマ精度設定値が不正です") << bad;
  }
  EXPECT_EQ(settings_.timer_period, 1000000);
}

TEST_F(OptionsRulesTest, FolderMustBeAnExistingDirectoryEvenWithoutAutomaticNames) {
  const Settings before = settings_;
  form_.values["REC_AUTOFILENAME"] = 0;
  form_.values["DECODE_PSI"] = 1;
  const std::string file = dir_ + "/plain.txt";
  std::ofstream(file) << "x";
  for (const std::string& bad : {std::string(), dir_ + "/missing", file, dir_ + "/\xF0\x9F\x98\x80"}) {
    form_.auto_path = bad;
    EXPECT_EQ(Apply(), "保存先パスは無効です") << bad;
    EXPECT_EQ(settings_.decode_psi, before.decode_psi);  // nothing changed
  }
  // A folder with a Shift-JIS name is stored in Shift-JIS.
  const std::string japanese = dir_ + "/録画";
  std::filesystem::create_directory(japanese);
  form_.auto_path = japanese;
  EXPECT_EQ(Apply(), "");
  EXPECT_EQ(settings_.rec_autopath, platform::Utf8ToSjis(japanese));
  EXPECT_EQ(settings_.decode_psi, 1);
}

TEST_F(OptionsRulesTest, PrioritiesAndSwitchesAreStored) {
  settings_.thread_priority_res = 2;
  settings_.thread_priority_proc = 7;  // no such entry: the first is shown
  form_ = OptionsFormFrom(settings_);
  EXPECT_EQ(form_.priority_res, 1);
  EXPECT_EQ(form_.priority_proc, 0);
  form_.priority_rec = 1;
  form_.values["REC_AUTOFILENAME"] = 1;
  form_.values["PROC_EPG"] = 1;
  form_.values["SCHEDULE_USE_SYSTEM_TIME"] = 1;
  EXPECT_EQ(Apply(), "");
  EXPECT_EQ(settings_.thread_priority_rec, 2);
  EXPECT_EQ(settings_.thread_priority_res, 2);
  EXPECT_EQ(settings_.thread_priority_proc, 0);
  EXPECT_EQ(settings_.rec_autofilename, 1);
  EXPECT_EQ(settings_.proc_epg, 1);
  EXPECT_EQ(settings_.schedule_use_system_time, 1);
}

TEST_F(OptionsRulesTest, ReservationDefaultsAreStoredWithinTheirRanges) {
  form_ = OptionsFormFrom(settings_);
  EXPECT_EQ(form_.values.at("SCHEDULE_MARGIN_BEFORE"), 5);
  EXPECT_EQ(form_.values.at("SCHEDULE_MARGIN_AFTER"), 0);
  EXPECT_EQ(form_.values.at("SCHEDULE_FOLLOW_LIMIT"), 180);
  form_.values["SCHEDULE_MARGIN_BEFORE"] = 60;
  form_.values["SCHEDULE_MARGIN_AFTER"] = 700;
  form_.values["SCHEDULE_FOLLOW_LIMIT"] = -3;
  EXPECT_EQ(Apply(), "");
  EXPECT_EQ(settings_.schedule_margin_before, 60);
  EXPECT_EQ(settings_.schedule_margin_after, 600);
  EXPECT_EQ(settings_.schedule_follow_limit, 0);
}

// "HTTP配信": a numeric address only (the server binds it as given), the port held to 1-65535.
TEST_F(OptionsRulesTest, HttpAddressMustBeNumericAndPortWithinRange) {
  EXPECT_EQ(form_.values.at("HTTP_ENABLED"), 0);
  EXPECT_EQ(form_.http_address, "127.0.0.1");
  EXPECT_EQ(form_.values.at("HTTP_PORT"), 8080);
  const struct {
    const char* address;
    const char* stored;  // nullptr: refused
  } cases[] = {
      {"0.0.0.0", "0.0.0.0"}, {" 192.168.1.5 ", "192.168.1.5"}, {"::1", "::1"}, {"::", "::"},
      {"localhost", nullptr}, {"", nullptr},  {"1.2.3", nullptr}, {"256.0.0.1", nullptr},
  };
  for (const auto& c : cases) {
    Settings before = settings_;
    form_.http_address = c.address;
    form_.values["HTTP_ENABLED"] = 1;
    form_.values["HTTP_PORT"] = 70000;
    if (c.stored == nullptr) {
      EXPECT_EQ(Apply(), "HTTP配信のアドレスが不正です (127.0.0.1 や 0.0.0.0 のような数字のアドレス)") << c.address;
      EXPECT_EQ(settings_.http_enabled, before.http_enabled) << c.address;
      continue;
    }
    EXPECT_EQ(Apply(), "") << c.address;
    EXPECT_EQ(settings_.http_address, c.stored);
    EXPECT_EQ(settings_.http_enabled, 1);
    EXPECT_EQ(settings_.http_port, 65535);
  }
}

// The command after each recording is stored when it splits and fits; the wake alarm's switch and
// lead go with it (the lead held to its range).
TEST_F(OptionsRulesTest, RecEndCommandMustSplitAndWakeLeadIsHeldToItsRange) {
  EXPECT_EQ(form_.rec_end_command, "");
  EXPECT_EQ(form_.values.at("WAKE_ALARM"), 0);
  EXPECT_EQ(form_.values.at("WAKE_LEAD"), 3);
  const struct {
    std::string command;
    bool taken;
  } cases[] = {
      {"", true},
      {"/usr/local/bin/後処理 \"$PELKAN_FILE\" 'a b'", true},
      {"encode \"unclosed", false},
      {"encode 'unclosed", false},
      {"cmd " + std::string(300, 'x'), false},
  };
  for (const auto& c : cases) {
    Settings before = settings_;
    form_.rec_end_command = c.command;
    form_.values["NOTIFY_FINISHED"] = 1;
    form_.values["WAKE_ALARM"] = 1;
    form_.values["WAKE_LEAD"] = 99;
    if (!c.taken) {
      EXPECT_EQ(Apply(), "録画後に実行するコマンドが不正です (引用符が閉じていないか、長すぎます)") << c.command;
      EXPECT_EQ(settings_.rec_end_command, before.rec_end_command) << c.command;
      EXPECT_EQ(settings_.wake_alarm, before.wake_alarm) << c.command;
      continue;
    }
    EXPECT_EQ(Apply(), "") << c.command;
    EXPECT_EQ(platform::SjisToUtf8(settings_.rec_end_command), c.command);
    EXPECT_EQ(OptionsFormFrom(settings_).rec_end_command, c.command);
    EXPECT_EQ(settings_.notify_finished, 1);
    EXPECT_EQ(settings_.wake_alarm, 1);
    EXPECT_EQ(settings_.wake_lead, 60);
  }
}

// The 録画済み window's player is checked as the command after each recording is; the automatic
// deletion's switch and age go with it (the age held to its range).
TEST_F(OptionsRulesTest, PlayerCommandMustSplitAndKeepDaysIsHeldToItsRange) {
  EXPECT_EQ(form_.player_command, "");
  EXPECT_EQ(form_.values.at("AUTO_DELETE"), 0);
  EXPECT_EQ(form_.values.at("KEEP_DAYS"), 0);
  const struct {
    std::string command;
    bool taken;
  } cases[] = {
      {"", true},
      {"mpv --start={position} '{file}'", true},
      {"vlc \"unclosed {url}", false},
      {"mpv " + std::string(300, 'x'), false},
  };
  for (const auto& c : cases) {
    Settings before = settings_;
    form_.player_command = c.command;
    form_.values["AUTO_DELETE"] = 1;
    form_.values["KEEP_DAYS"] = 99999;
    if (!c.taken) {
      EXPECT_EQ(Apply(), "再生に使うプレーヤーのコマンドが不正です (引用符が閉じていないか、長すぎます)") << c.command;
      EXPECT_EQ(settings_.player_command, before.player_command) << c.command;
      EXPECT_EQ(settings_.auto_delete, before.auto_delete) << c.command;
      continue;
    }
    EXPECT_EQ(Apply(), "") << c.command;
    EXPECT_EQ(OptionsFormFrom(settings_).player_command, c.command);
    EXPECT_EQ(settings_.auto_delete, 1);
    EXPECT_EQ(settings_.keep_days, 3650);
  }
}

TEST(OptionsTexts, ResolutionAndRange) {
  EXPECT_EQ(platform::SjisToUtf8(TimerResolutionText(0.000001)), "標準タイマ分解能 : 0.00 ms");
  EXPECT_EQ(platform::SjisToUtf8(TimerRangeText(1, 1000000)), "設定可能範囲 : 1 - 1000000");
  EXPECT_GT(platform::SystemTimerResolutionMs(), 0.0);
}

TEST(FileSystem, IsDirectory) {
  EXPECT_TRUE(platform::IsDirectory("/"));
  EXPECT_FALSE(platform::IsDirectory(""));
  EXPECT_FALSE(platform::IsDirectory("/proc/self/status"));
  EXPECT_FALSE(platform::IsDirectory("/no/such/dir"));
}

}  // namespace
}  // namespace pelkan
