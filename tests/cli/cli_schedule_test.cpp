#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/cli_process.h"
#include "tests/support/guide_events.h"
#include "cli/cli_commands.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "platform/profile.h"
#include "schedule/schedule_file.h"

namespace pelkan {
namespace {

// Runs the schedule subcommands in a fresh current directory, as a user would.
class CliSchedule : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_cli_sched_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_ / "rec");
    std::filesystem::current_path(dir_);
    // No terminal: an overlap question is answered "no".
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  int Run(std::vector<std::string> args, std::string* out = nullptr) {
    return testing::RunInProcess(cli::RunSchedule, std::move(args), out);
  }
  std::filesystem::path old_, dir_;
};

TEST_F(CliSchedule, AddListRemoveRoundTrip) {
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00:00", "--minutes", "30", "--service", "1024", "--daily",
                 "--dir", "rec"}),
            0);
  EXPECT_EQ(Run({"add", "--event", "0x400:4660"}), 0);
  std::string list;
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_EQ(list,
            "No.\tタイプ\t開始日時\t録画時間\t詳細\t番組名\tサービス\tファイル名\n"
            "1\t日付\t2008年03月03日(月) 21時00分00秒\t00 時間 30 分 00 秒\t[毎日][サービスID=1024]\t\t1024\t"
            "20080303-2100.ts\n"
            "2\tイベント\t不明(ID=0000:0000:0400:1234)\t不明\t[サービスID=1024]\t番組表にない番組\t1024\t\n");
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(GetText(items[0].directory), "rec");
  // Made as the edit dialog makes them: the extension ".ts", the automatic name offered as file
  // name, an event reservation limited to the event's service.
  EXPECT_EQ(GetText(items[0].extension), ".ts");
  EXPECT_EQ(GetText(items[0].file_name), "20080303-2100");
  EXPECT_EQ(items[1].flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
  EXPECT_EQ(GetText(items[1].service_id_text), "1024");
  EXPECT_EQ(GetText(items[1].extension), ".ts");
  // The event reservation's directory defaults to REC_AUTOPATH, the current directory here.
  EXPECT_EQ(std::filesystem::path(std::string(GetText(items[1].directory))), std::filesystem::current_path());

  // A daily reservation continues the next day.
  EXPECT_EQ(Run({"remove", "--start", "2008-03-03 21:00"}), 0);
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_NE(list.find("2008年03月04日(火) 21時00分00秒"), std::string::npos);
  EXPECT_EQ(Run({"remove", "1", "--expect-start", "2008-03-04 21:00:00", "--series"}), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 1u);
  EXPECT_EQ(Run({"remove", "5", "--expect-start", "2008-03-04 21:00"}), 1);
  EXPECT_EQ(Run({"remove", "--event", "1024:4660"}, &list), 0);
  EXPECT_EQ(list, "removed: 1\tイベント\t不明(ID=0000:0000:0400:1234)\t不明\t[サービスID=1024]\t番組表にない番組\t1024\t\n");
  EXPECT_TRUE(LoadScheduleFile("schedule.ini").empty());
}

// A number of 'list' stands for another reservation once another process has changed the list
// (in a two-writer test 5 of 11 removals hit the other writer's reservation): a reservation is
// removed by its start (or event), and a number only together with the start it must have.
TEST_F(CliSchedule, RemovalNamesTheReservationNotItsPlace) {
  for (const char* start : {"2008-03-03 21:00", "2008-03-03 22:00", "2008-03-03 23:00"})
    ASSERT_EQ(Run({"add", "--start", start, "--minutes", "30", "--dir", "rec"}), 0);
  // The user reads 22:00 as number 2; meanwhile another process adds 20:00 at the top.
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 20:00", "--minutes", "30", "--dir", "rec"}), 0);
  EXPECT_EQ(Run({"remove", "2", "--expect-start", "2008-03-03 22:00"}), 1);  // number 2 is 21:00 now
  EXPECT_EQ(Run({"remove", "2"}), 2);                                        // a bare number is refused
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 4u);
  std::string out;
  EXPECT_EQ(Run({"remove", "--start", "2008-03-03 22:00:00"}, &out), 0);
  EXPECT_NE(out.find("removed: 3\t日付\t2008年03月03日(月) 22時00分00秒"), std::string::npos) << out;
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 3u);
  for (const ScheduleItem& item : items) EXPECT_NE(item.start_second, 22u * 3600);
  EXPECT_EQ(Run({"remove", "--start", "2008-03-03 22:00"}), 1);  // none left
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 23:00", "--minutes", "5", "--dir", "rec", "--force"}), 0);
  EXPECT_EQ(Run({"remove", "--start", "2008-03-03 23:00"}), 1);  // two start then: which one?
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 4u);
  EXPECT_EQ(Run({"remove", "--start", "2008-03-03 23:00", "--event", "1:2"}), 2);
  EXPECT_EQ(Run({"remove", "--expect-start", "2008-03-03 23:00"}), 2);
}

// `add --event` three times used to store three reservations of one event, which `remove --event`
// then refused ("2 reservations") and `N --expect-start` could not name (an event reservation keeps
// no start in the file). A second one is refused naming the first; a file that holds several
// already (written before) gives them up with --all.
TEST_F(CliSchedule, AnEventIsReservedOnceAndAllItsReservationsCanBeRemoved) {
  ASSERT_EQ(Run({"add", "--event", "1024:62871"}), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"add", "--event", "0x400:62871"}), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("not added: reservation 1 is for this event already: 1\tイベント\t"), std::string::npos)
      << err;
  ASSERT_EQ(Run({"add", "--event", "1024:62872"}), 0);  // another event of the service
  ASSERT_EQ(LoadScheduleFile("schedule.ini").size(), 2u);

  // A file of an earlier version, with the event three times.
  std::vector<ScheduleItem> items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items[0].event_id, 62871);
  items.insert(items.begin(), {items[0], items[0]});
  ASSERT_TRUE(SaveScheduleFile("schedule.ini", items));
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    size_t left;
  };
  const Case cases[] = {
      {{"remove", "--all"}, 2, 4},                          // --all names nothing by itself
      {{"remove", "--start", "2008-03-03 21:00", "--all"}, 2, 4},
      {{"remove", "--event", "1024:62871"}, 1, 4},          // which one?
      {{"remove", "--event", "1024:62871", "--all"}, 0, 1},
      {{"remove", "--event", "1024:62871", "--all"}, 1, 1},  // none left
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Run(c.args, &out), c.exit_code) << c.args.back();
    const auto left = LoadScheduleFile("schedule.ini");
    ASSERT_EQ(left.size(), c.left) << c.args.back();
    EXPECT_EQ(left.back().event_id, 62872);  // the other event's stays
    if (c.exit_code == 0) {
      EXPECT_EQ(out, "removed: 1\tイベント\t不明(ID=0000:0000:0400:F597)\t不明\t[サービスID=1024]\t番組表にない番組\t1024\t\n"
                     "removed: 2\tイベント\t不明(ID=0000:0000:0400:F597)\t不明\t[サービスID=1024]\t番組表にない番組\t1024\t\n"
                     "removed: 3\tイベント\t不明(ID=0000:0000:0400:F597)\t不明\t[サービスID=1024]\t番組表にない番組\t1024\t\n")
          << out;
    }
  }
}

// A schedule.ini saved with a byte order mark and CR line ends used to list as empty; one that is
// no reservation file at all was replaced by the list being written.
TEST_F(CliSchedule, FilesOfOtherFormsAreReadAndOtherFilesKeptAside) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30", "--dir", "rec"}), 0);
  std::string text;
  ASSERT_TRUE(platform::ReadFileContents("schedule.ini", &text));
  text = std::regex_replace(text, std::regex("\r\n"), "\r");
  ASSERT_TRUE(platform::ReplaceFileContents("schedule.ini", std::string("\xEF\xBB\xBF").append(text)));
  std::string list;
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_NE(list.find("\n1\t日付\t2008年03月03日(月) 21時00分00秒"), std::string::npos) << list;

  ASSERT_TRUE(platform::ReplaceFileContents("schedule.ini", "not my reservations\n"));
  EXPECT_EQ(Run({"list"}, &list), 0);
  EXPECT_EQ(list, "No.\tタイプ\t開始日時\t録画時間\t詳細\t番組名\tサービス\tファイル名\n");
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 22:00", "--minutes", "30", "--dir", "rec"}), 0);
  ASSERT_TRUE(platform::ReadFileContents("schedule.ini.bad", &text));
  EXPECT_EQ(text, "not my reservations\n");
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 1u);
}

// Dates after 2038-04-22 cannot be held by the broadcast tables' day number, nor by schedule.ini.
TEST_F(CliSchedule, DatesAfter2038AreRefusedAsSuch) {
  const auto err = [this](std::vector<std::string> args) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(std::move(args)), 2);
    return ::testing::internal::GetCapturedStderr();
  };
  EXPECT_NE(err({"add", "--start", "2038-04-23 00:00", "--minutes", "1"}).find("after 2038-04-22"),
            std::string::npos);
  EXPECT_NE(err({"add", "--start", "2026-02-30 00:00", "--minutes", "1"}).find("not a real date"),
            std::string::npos);
  EXPECT_EQ(Run({"add", "--start", "2038-04-22 23:59:59", "--minutes", "1", "--dir", "rec"}), 0);
}

// A file name made from a programme title keeps the broadcast's symbols in schedule.ini and in the
// list; --plain-symbols shows the name the file gets.
TEST_F(CliSchedule, FileNameWithBroadcastSymbols) {
  ASSERT_EQ(
      Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30", "--dir", "rec", "--file", "🈟ドラマ🈑🈓"}),
      0);
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 1u);
  // [新] 90/75, [字] 90/54, [デ] 90/56 as the broadcast's decoder gives them.
  EXPECT_EQ(GetText(items[0].file_name), "\xED\xE9\x83\x68\x83\x89\x83\x7D\xED\xD4\xED\xD6");
  std::string list;
  ASSERT_EQ(Run({"list"}, &list), 0);
  EXPECT_NE(list.find("[ファイル名指定]\t\t\t🈟ドラマ🈑🈓.ts\n"), std::string::npos) << list;
  ASSERT_EQ(Run({"list", "--plain-symbols"}, &list), 0);
  EXPECT_NE(list.find("[ファイル名指定]\t\t\t[新]ドラマ[字][デ].ts\n"), std::string::npos) << list;
  EXPECT_EQ(Run({"list", "--plain"}), 2);
}

// "Already passed" used to be judged by the machine's zone: on a machine in UTC a reservation
// that ended an hour ago in Japan looked eight hours ahead, and one still to come in Japan looked
// passed on a machine in UTC+14 the other way round. (Zones as POSIX TZ texts: "ABC-14" is UTC+14.)
TEST_F(CliSchedule, APassedReservationIsToldByBroadcastTime) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  struct Case {
    const char* zone;
    int64_t start_from_now;  // seconds from now in Japan
    bool passed;
  };
  const Case cases[] = {
      {"UTC0", -7200, true}, {"JST-9", -7200, true}, {"UTC0", 7200, false}, {"LINT-14", 7200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.start_from_now));
    setenv("TZ", c.zone, 1);
    tzset();
    std::filesystem::remove("schedule.ini");
    const int64_t start = Instant(JapanTimeNow()) + c.start_from_now;
    int y, mo, d, h, mi, sec;
    MjdToDate(static_cast<uint32_t>(start / 86400), &y, &mo, &d);
    SecondsToHms(static_cast<uint32_t>(start % 86400), &h, &mi, &sec);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, sec);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run({"add", "--start", text, "--minutes", "30", "--dir", "rec"}), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("the reservation's time has already passed") != std::string::npos, c.passed) << err;
  }
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(CliSchedule, OverlapIsRefusedWithoutTerminalAndForcedOnRequest) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30"}), 0);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:30", "--minutes", "5"}), 1);  // closed spans touch
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 1u);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:30", "--minutes", "5", "--force"}), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 2u);
}

// "--minutes 08" used to be refused as a bad octal number and "0100" read as 64.
TEST_F(CliSchedule, NumbersAreDecimalAndHexadecimalOnlyWith0x) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "08", "--dir", "rec"}), 0);
  ASSERT_EQ(Run({"add", "--event", "0100:0x10"}), 0);
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].duration, 480u);
  EXPECT_EQ(items[1].service_id, 100);
  EXPECT_EQ(items[1].event_id, 16);
  EXPECT_EQ(Run({"add", "--event", "010:08x"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-04 21:00", "--minutes", "1441"}), 2);  // over 24 hours
}

// A name without a Shift-JIS form used to be stored with '?', and the recording failed later.
TEST_F(CliSchedule, NamesWithoutShiftJisFormAreRefusedAtOnce) {
  std::filesystem::create_directory("caf\xC3\xA9");
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "caf\xC3\xA9"}), 2);
  EXPECT_EQ(
      Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file", "caf\xC3\xA9"}),
      2);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
  // Without --dir the current directory is the default, and it has no Shift-JIS form either.
  std::filesystem::current_path("caf\xC3\xA9");
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1"}), 1);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
}

// Margins and priority: the options' margins unless given, each checked against its range, shown
// by `list` when not the file's defaults; `add` prints the new reservation's plan line and warns
// (still exit 0) when it will not be recorded whole.
TEST_F(CliSchedule, AddTakesMarginsAndPriorityAndTellsThePlan) {
  {
    std::FILE* f = std::fopen("pelkan.ini", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("[Pelkan_Q_SCHEDULE]\nSCHEDULE_MARGIN_BEFORE=30\nSCHEDULE_MARGIN_AFTER=20\n", f);
    std::fclose(f);
  }
  struct Bad {
    const char* option;
    const char* value;
    const char* says;
  } const bad[] = {
      {"--margin-before", "601", "--margin-before '601' is not a number from 0 to 600"},
      {"--margin-after", "-1", "--margin-after '-1' is not a number from 0 to 600"},
      {"--priority", "0", "--priority '0' is not a number from 1 to 5"},
      {"--priority", "6", "--priority '6' is not a number from 1 to 5"},
  };
  for (const Bad& b : bad) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30", "--dir", "rec", b.option, b.value}), 2);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(b.says), std::string::npos) << b.says;
  }
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));

  std::string out;
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30", "--dir", "rec"}, &out), 0);
  EXPECT_NE(out.find("\nplan: 1\t2008-03-03 20:59:30\t2008-03-03 21:30:20\t-\tall\t-\t全体\t-\n"), std::string::npos)
      << out;
  ASSERT_EQ(Run({"add", "--event", "1024:4660", "--margin-before", "0", "--margin-after", "600", "--priority", "5"},
                &out),
            0);
  EXPECT_NE(out.find("\nplan: 2\t-\t-\t番組表にない番組\t1024\t-\t-\t-\n"), std::string::npos) << out;
  // Another channel during the first, of a lower priority: it records nothing, and is told so.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:10", "--minutes", "10", "--dir", "rec", "--channel", "2",
                 "--priority", "1", "--force"}),
            0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "warning: reservation 2 will not be recorded whole: 録画不可 (20080303-2100.ts と重複)"),
            std::string::npos);

  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].margin_before, 30);
  EXPECT_EQ(items[0].margin_after, 20);
  EXPECT_EQ(items[0].priority, kDefaultPriority);
  EXPECT_EQ(items[2].flags & SI_BY_EVENT, SI_BY_EVENT);
  EXPECT_EQ(items[2].margin_before, 0);
  EXPECT_EQ(items[2].margin_after, 600);
  EXPECT_EQ(items[2].priority, 5);
  EXPECT_EQ(Run({"list"}, &out), 0);
  EXPECT_NE(out.find("\t[マージン=30秒前/20秒後]\t\t\t20080303-2100.ts\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[サービスID=1024][マージン=0秒前/600秒後][優先度=5]\t"), std::string::npos) << out;
}

// Two reservations on different channel values collide: the higher priority records whole and cuts
// the other's tail; a third on the first one's channel, wholly within the winner, records nothing.
TEST_F(CliSchedule, PlanNamesWhatCollidesInTextAndJson) {
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "30", "--channel", "13", "--dir", "rec"}), 0);
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:20", "--minutes", "30", "--channel", "20", "--priority", "5",
                 "--margin-before", "60", "--force", "--dir", "rec"}),
            0);
  ASSERT_EQ(Run({"add", "--start", "2008-03-03 21:40", "--minutes", "10", "--channel", "13", "--service", "1024",
                 "--priority", "1", "--force", "--dir", "rec"}),
            0);
  std::string out;
  EXPECT_EQ(Run({"plan"}, &out), 0);
  EXPECT_EQ(out,
            "No.\t開始\t終了\t番組名\tサービス\tチャンネル\t録画予定\t欠ける部分\n"
            "1\t2008-03-03 20:59:55\t2008-03-03 21:30:00\t-\tall\tchannel=13\t一部 (終了 11分早め)\t"
            "tail 660s by 2 (20080303-2120.ts)\n"
            "2\t2008-03-03 21:19:00\t2008-03-03 21:50:00\t-\tall\tchannel=20\t全体\t-\n"
            "3\t2008-03-03 21:39:55\t2008-03-03 21:50:00\t-\t1024\tchannel=13\t録画不可 (20080303-2120.ts と重複)\t"
            "all 605s by 2 (20080303-2120.ts)\n");
  EXPECT_EQ(Run({"plan", "--json"}, &out), 0);
  EXPECT_EQ(out,
            "[\n"
            "  {\"number\": 1, \"name\": \"20080303-2100.ts\", \"start\": \"2008-03-03T20:59:55+09:00\", "
            "\"end\": \"2008-03-03T21:30:00+09:00\", \"margin_before\": 5, \"margin_after\": 0, \"priority\": 3, "
            "\"service_id\": null, \"stream_id\": null, \"channel\": 13, \"channel_string\": null, "
            "\"verdict\": \"part\", \"text\": \"一部 (終了 11分早め)\", "
            "\"records_from\": \"2008-03-03T20:59:55+09:00\", \"records_to\": \"2008-03-03T21:19:00+09:00\", "
            "\"head_lost\": 0, \"head_by\": null, \"tail_lost\": 660, \"tail_by\": 2, \"by\": null, \"stale\": false},\n"
            "  {\"number\": 2, \"name\": \"20080303-2120.ts\", \"start\": \"2008-03-03T21:19:00+09:00\", "
            "\"end\": \"2008-03-03T21:50:00+09:00\", \"margin_before\": 60, \"margin_after\": 0, \"priority\": 5, "
            "\"service_id\": null, \"stream_id\": null, \"channel\": 20, \"channel_string\": null, "
            "\"verdict\": \"whole\", \"text\": \"全体\", "
            "\"records_from\": \"2008-03-03T21:19:00+09:00\", \"records_to\": \"2008-03-03T21:50:00+09:00\", "
            "\"head_lost\": 0, \"head_by\": null, \"tail_lost\": 0, \"tail_by\": null, \"by\": null, \"stale\": false},\n"
            "  {\"number\": 3, \"name\": \"20080303-2140.ts\", \"start\": \"2008-03-03T21:39:55+09:00\", "
            "\"end\": \"2008-03-03T21:50:00+09:00\", \"margin_before\": 5, \"margin_after\": 0, \"priority\": 1, "
            "\"service_id\": 1024, \"stream_id\": null, \"channel\": 13, \"channel_string\": null, "
            "\"verdict\": \"none\", \"text\": \"録画不可 (20080303-2120.ts と重複)\", "
            "\"records_from\": null, \"records_to\": null, "
            "\"head_lost\": 0, \"head_by\": null, \"tail_lost\": 0, \"tail_by\": null, \"by\": 2, \"stale\": false}\n"
            "]\n");
  std::filesystem::remove("schedule.ini");
  EXPECT_EQ(Run({"plan", "--json"}, &out), 0);
  EXPECT_EQ(out, "[]\n");
}

TEST_F(CliSchedule, BadArgumentsAreRefused) {
  EXPECT_EQ(Run({"add", "--start", "2008-02-30 21:00", "--minutes", "30"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "0"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1024"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:70000"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--daily", "--weekly"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--dir", "no-such-dir"}), 1);
  // The dialog offers no repetition, fixed name or channel for an event reservation.
  EXPECT_EQ(Run({"add", "--event", "1:2", "--daily"}), 2);
  EXPECT_EQ(Run({"add", "--event", "1:2", "--service", "1"}), 2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file", "a/b"}),
            2);
  EXPECT_EQ(Run({"add", "--start", "2008-03-03 21:00", "--minutes", "1", "--dir", "rec", "--file",
                 std::string(300, 'f')}),
            2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_FALSE(std::filesystem::exists("schedule.ini"));
}

// The reservation views without a capture: with a guide, list, plan and add read each event
// reservation by its programme (title, time, verdict), also one in conflict with a date-time
// reservation on another channel; an event the guide lacks says so, and a service not heard from
// for days marks its reservation. Adding one that makes another lose time names what it loses and
// asks, as an overlap does.
TEST_F(CliSchedule, ReservationsReadByProgrammeWithoutACapture) {
  const GuideTime day = GuideTime{54528} * 86400;  // 2008-03-03
  const GuideTime now = ToGuideTime(JapanTimeNow());
  ASSERT_TRUE(test::WriteGuideProgramme("epg.sqlite", {0x7FE8, 0x7FE8, 1024, 0x1001}, "連続テレビ小説",
                                        day + 20 * 3600, 900, "NHK総合", now - 180));
  ASSERT_TRUE(test::WriteGuideProgramme("epg.sqlite", {0x7FE8, 0x7FE8, 2048, 0x2001}, "映画", day + 22 * 3600, 900,
                                        nullptr, now - 3 * 86400));
  std::string out;
  ASSERT_EQ(Run({"add", "--event", "1024:0x1001"}, &out), 0);
  EXPECT_NE(out.find("added: 1\tイベント\t2008年03月03日(月) 20時00分00秒\t00 時間 15 分 00 秒\t[サービスID=1024]\t"
                     "連続テレビ小説\tNHK総合\t"),
            std::string::npos)
      << out;
  ASSERT_EQ(Run({"add", "--event", "1024:0x1234"}), 0);
  ASSERT_EQ(Run({"add", "--event", "2048:0x2001"}), 0);

  // A date-time reservation of a higher priority on another channel takes the drama's end.
  const std::string loser = "この予約により 20:00 連続テレビ小説 が一部録画になります (終了 11分早め)\n";
  const std::vector<std::string> weather = {"add", "--start", "2008-03-03 20:05", "--minutes", "25", "--dir", "rec",
                                            "--channel", "13", "--priority", "5"};
  EXPECT_EQ(Run(weather, &out), 1) << "no terminal answers no";
  EXPECT_EQ(out.find(loser), 0u) << out;
  EXPECT_NE(out.find("重複予約を強行しますか？ [y/N]"), std::string::npos) << out;
  std::vector<std::string> forced = weather;
  forced.push_back("--force");
  ASSERT_EQ(Run(forced, &out), 0);
  EXPECT_NE(out.find("\n" + loser), std::string::npos) << out;

  struct Row {
    const char* command;
    const char* row;
  } const rows[] = {
      // The list keeps the scheduler's order: an event the broadcast has not told comes last.
      {"list", "2\tイベント\t2008年03月03日(月) 20時00分00秒\t00 時間 15 分 00 秒\t[サービスID=1024]\t連続テレビ小説\tNHK総合\t"},
      {"list", "3\tイベント\t不明(ID=0000:0000:0400:1234)\t不明\t[サービスID=1024]\t番組表にない番組\tNHK総合\t\n"},
      {"list", "1\t日付\t2008年03月03日(月) 20時05分00秒\t00 時間 25 分 00 秒\t[チャンネル設定=13][優先度=5]\t\t\t"
               "20080303-2005.ts\n"},
      {"plan", "1\t2008-03-03 20:04:55\t2008-03-03 20:30:00\t-\tall\tchannel=13\t全体\t-\n"},
      {"plan", "2\t2008-03-03 19:59:55\t2008-03-03 20:15:00\t連続テレビ小説\t1024\tstream=0x7FE8\t一部 (終了 11分早め)\t"
               "tail 605s by 1 (20080303-2005.ts)\n"},
      {"plan", "3\t-\t-\t番組表にない番組\t1024\t-\t-\t-\n"},
      {"plan", "4\t2008-03-03 21:59:55\t2008-03-03 22:15:00\t映画\t2048\tstream=0x7FE8\t全体 番組情報が古い\t-\n"},
  };
  std::string list, plan;
  ASSERT_EQ(Run({"list"}, &list), 0);
  ASSERT_EQ(Run({"plan"}, &plan), 0);
  EXPECT_EQ(list.find("No.\tタイプ\t開始日時\t録画時間\t詳細\t番組名\tサービス\tファイル名\n"), 0u) << list;
  EXPECT_EQ(list.find("不明(ID=7FE8"), std::string::npos) << "never 不明 for a programme of the guide";
  for (const Row& r : rows) {
    const std::string& text = std::string(r.command) == "list" ? list : plan;
    EXPECT_NE(text.find(r.row), std::string::npos) << r.row << "\n" << text;
  }
  ASSERT_EQ(Run({"plan", "--json"}, &out), 0);
  EXPECT_NE(out.find("\"name\": \"映画\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"stale\": true"), std::string::npos) << out;
}

}  // namespace
}  // namespace pelkan
