#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/mjd_time.h"
#include "cli/cli_commands.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "schedule/schedule_file.h"
#include "tests/support/cli_process.h"

namespace pelkan {
namespace {

// pelkan-cli rule in a fresh current directory with a guide of a daily drama: episode 12
// tomorrow, its rerun the next morning, episode 13, and a film.
class CliRule : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_cli_rule_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    std::string error;
    auto store = GuideStore::Open("epg.sqlite", GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(store) << error;
    const GuideTime tomorrow = (GuideTime{JapanTimeNow().date} + 1) * 86400;
    ASSERT_TRUE(store->Begin());
    struct Airing {
      uint16_t event_id;
      GuideTime start;
      const char* title;
      uint16_t episode;
      uint8_t repeat;
    } airings[] = {{1, tomorrow + 8 * 3600, "麒麟の庭 第12話\U0001F211", 12, 0},
                   {2, tomorrow + 86400 + 5 * 3600, "麒麟の庭 第12話\U0001F21E", 12, 1},
                   {3, tomorrow + 86400 + 8 * 3600, "麒麟の庭 第13話\U0001F211", 13, 0},
                   {4, tomorrow + 20 * 3600, "映画「羅生門」", 0, 0}};
    for (const Airing& a : airings) {
      GuideEventUpdate u;
      u.event.key = {0x7FE8, 0x7FE8, 1024, a.event_id};
      u.event.start = a.start;
      u.event.duration = 900;
      u.event.title = platform::Utf8ToBroadcast(a.title).value();
      if (a.episode != 0) u.event.series_id = 3;
      u.event.episode_number = a.episode;
      u.event.repeat_label = a.repeat;
      u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
      u.basic = true;
      ASSERT_TRUE(store->ApplyEvent(u));
    }
    ASSERT_TRUE(store->Commit());
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  int Run(int (*command)(int, char**), std::vector<std::string> args, std::string* out = nullptr) {
    return testing::RunInProcess(command, std::move(args), out);
  }
  std::vector<std::string> Verdicts(const std::string& json) {
    std::vector<std::string> out;
    const std::regex verdict("\"event_id\": ([0-9]+).*?\"verdict\": \"([a-z]+)\"");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), verdict); it != std::sregex_iterator(); ++it)
      out.push_back((*it)[1].str() + ":" + (*it)[2].str());
    return out;
  }

  std::filesystem::path old_, dir_;
};

TEST_F(CliRule, AddReservesEachEpisodeOnceAndTestSaysWhyNotTheRest) {
  std::string out;
  ASSERT_EQ(Run(cli::RunRule, {"add", "--name", "麒麟", "--words", "麒麟 庭", "--dedup", "episode", "--priority", "4"},
                &out),
            0);
  EXPECT_EQ(out, "added: 1\t麒麟\nreserved: 2\n");
  const auto file = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[0].rule_id, 1u);
  EXPECT_EQ(file[0].priority, 4);
  ASSERT_EQ(Run(cli::RunRule, {"test", "1", "--json"}, &out), 0);
  EXPECT_EQ(Verdicts(out), (std::vector<std::string>{"1:reserved", "2:duplicate", "3:reserved"})) << out;
  EXPECT_NE(out.find("\"episode\": 12, \"verdict\": \"duplicate\", \"reason\": \"同じ回の放送が先にあります\""),
            std::string::npos)
      << out;
  // The add options without an id: nothing is stored.
  ASSERT_EQ(Run(cli::RunRule, {"test", "--words", "羅生門", "--time", "19:00-21:00"}, &out), 0);
  EXPECT_NE(out.find("\t4\t"), std::string::npos) << out;
  // A film tells no episode: every airing of it is recorded.
  EXPECT_NE(out.find("\treserve\t回の情報なし: 毎回録画\n"), std::string::npos) << out;
  ASSERT_EQ(Run(cli::RunSchedule, {"list"}, &out), 0);
  EXPECT_NE(out.find("[ルール: 麒麟]"), std::string::npos) << out;

  ASSERT_EQ(Run(cli::RunRule, {"disable", "1"}), 0);
  ASSERT_EQ(Run(cli::RunRule, {"list"}, &out), 0);
  EXPECT_NE(out.find("1\t無効\t麒麟\t麒麟 庭\tall\t"), std::string::npos) << out;
  EXPECT_NE(out.find("\t2\n"), std::string::npos) << out;
  ASSERT_EQ(Run(cli::RunRule, {"remove", "1", "--keep-reservations"}, &out), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 2u);
  EXPECT_EQ(Run(cli::RunRule, {"remove", "1"}), 1) << "gone already";
}

TEST_F(CliRule, RemoveTakesItsReservationsAndBadOptionsAreRefused) {
  ASSERT_EQ(Run(cli::RunRule, {"add", "--words", "麒麟"}), 0);
  ASSERT_EQ(Run(cli::RunRule, {"add", "--words", "羅生門"}), 0);
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 3u);
  std::string out;
  ASSERT_EQ(Run(cli::RunRule, {"remove", "1"}, &out), 0);
  EXPECT_EQ(out, "removed: rule 1, 2 reservations\n");
  const auto file = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(file.size(), 1u);
  EXPECT_EQ(file[0].event_id, 4);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"add"},
                                              {"add", "--words", "a", "--time", "49:00-50:00"},
                                              {"add", "--words", "a", "--weekday", "月,xyz"},
                                              {"add", "--regex", "("},
                                              {"add", "--words", "a", "--in", "x"},
                                              {"add", "--words", "a", "--dedup", "same"},
                                              {"add", "--words", "a", "--genre", "16"},
                                              {"add", "--words", "a", "--genre", "ドラマ/野球"},
                                              {"add", "--words", "a", "--from", "2026-13-01"},
                                              {"remove", "x"},
                                              {"test"}})
    EXPECT_EQ(Run(cli::RunRule, bad), 2) << bad.back();
}

}  // namespace
}  // namespace pelkan

namespace pelkan {
namespace {

// A regular expression the engine refuses is refused with its reason; one that backtracks without
// end over a long title is stopped as too complex: `rule add` stores it and says so, `rule list`
// says so, `rule test` says so and fails; none of them spins.
TEST_F(CliRule, RegularExpressionsAreRefusedOrStoppedNeverSpin) {
  {
    auto guide = GuideStore::Open("epg.sqlite", GuideStore::Access::kWrite, false, nullptr, nullptr);
    ASSERT_TRUE(guide);
    GuideEventUpdate u;
    u.event.key = {0x7FE8, 0x7FE8, 1024, 5};
    u.event.start = (GuideTime{JapanTimeNow().date} + 2) * 86400 + 22 * 3600;
    u.event.duration = 1800;
    u.event.title = platform::Utf8ToBroadcast("最終回 x" + std::string(70, 'a')).value();
    u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
    u.basic = true;
    ASSERT_TRUE(guide->ApplyEvent(u));
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run(cli::RunRule, {"add", "--regex", "麒麟("}), 2);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("is not a regular expression: missing closing parenthesis at offset 7"),
            std::string::npos)
      << err;

  std::string out;
  for (const char* regex : {"(.+)+最終回", "(.*)*x"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(cli::RunRule, {"add", "--regex", regex}, &out), 0);
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("reserved: 0"), std::string::npos) << out;
    EXPECT_NE(err.find(": its regular expression was stopped (too complex: "), std::string::npos) << err;
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run(cli::RunRule, {"list"}, &out), 0);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("rule 1: its regular expression was stopped (too complex: "), std::string::npos) << err;
  EXPECT_NE(err.find("rule 2: its regular expression was stopped (too complex: "), std::string::npos) << err;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run(cli::RunRule, {"test", "1"}, &out), 1);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("too complex"), std::string::npos) << err;
  EXPECT_TRUE(LoadScheduleFile("schedule.ini").empty());
}

// Reservations of a rule the rules file no longer knows are listed as such and kept when a rule is
// added; a '/' is refused in a rule's file name template.
TEST_F(CliRule, ReservationsOfAnUnknownRuleAreListedAndKept) {
  ASSERT_EQ(Run(cli::RunRule, {"add", "--words", "麒麟"}), 0);
  ASSERT_EQ(LoadScheduleFile("schedule.ini").size(), 2u);
  // A rules file made anew (the old one was damaged and set aside).
  std::filesystem::remove("rules.sqlite");
  std::filesystem::remove("rules.sqlite-wal");
  std::filesystem::remove("rules.sqlite-shm");
  std::string out;
  ASSERT_EQ(Run(cli::RunRule, {"add", "--words", "羅生門"}, &out), 0);
  EXPECT_NE(out.find("added: 2\t羅生門\n"), std::string::npos) << out;
  EXPECT_EQ(LoadScheduleFile("schedule.ini").size(), 3u);
  ASSERT_EQ(Run(cli::RunRule, {"list"}, &out), 0);
  EXPECT_NE(out.find("\n1\t-\tルール不明\t-\t-\t-\t2\n"), std::string::npos) << out;
  ASSERT_EQ(Run(cli::RunSchedule, {"list"}, &out), 0);
  EXPECT_NE(out.find("[ルール: ルール不明(ID=1)]"), std::string::npos) << out;
  EXPECT_NE(out.find("[ルール: 羅生門]"), std::string::npos) << out;
  EXPECT_EQ(Run(cli::RunRule, {"add", "--words", "a", "--file", "rec/{title}"}), 2);
  // Genres by the guide's names.
  ASSERT_EQ(Run(cli::RunRule, {"add", "--words", "羅生門", "--genre", "ドラマ/国内ドラマ,映画"}, &out), 0);
  ASSERT_EQ(Run(cli::RunRule, {"list", "--json"}, &out), 0);
  EXPECT_NE(out.find("\"id\": 3"), std::string::npos) << out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Through the virtual tuner: `capture --schedule` fills the guide from the broadcast, runs the rule
// over it by the broadcast's clock, reserves each first airing of the generator's daily drama (not
// its next-morning reruns, which carry the same episode in their series descriptor) and records the
// first as it comes due; `rule test` then says why each rerun was not reserved.
TEST(CliRuleCapture, TheDramaIsReservedOncePerEpisodeAndRecorded) {
  char pattern[] = "/tmp/pelkan-cli-rule-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/pelkan.ini") << "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n";
  const std::string cli = "cd " + dir + " && " + testing::CliPath();
  ASSERT_EQ(std::system((cli + " rule add --words 麒麟 --dedup episode --margin-before 0 > /dev/null").c_str()), 0);

  // The drama's episode of 2026-12-07 starts at 19:30, five broadcast minutes (20 s) after the start.
  const pid_t child = testing::StartCliInFolder(
      dir, {"capture", "--schedule", "--seconds", "120", "--virtual-start", "2026-12-07 19:25:00", "--virtual-speed",
            "16"});
  ASSERT_GT(child, 0);
  const std::optional<int> ended = testing::WaitInterruptingWhen(child, std::chrono::seconds(150), [&dir] {
    return ReadFile(dir + "/err.txt").find("scheduled recording to") != std::string::npos;
  });
  EXPECT_TRUE(ended);
  const std::string err = ReadFile(dir + "/err.txt");
  SCOPED_TRACE(err);
  EXPECT_NE(err.find("scheduled recording to " + dir + "/20261207-1930-連続テレビ小説「麒麟の庭」"), std::string::npos);

  std::set<uint16_t> reserved;
  for (const ScheduleItem& item : LoadScheduleFile(dir + "/schedule.ini")) {
    EXPECT_EQ(item.rule_id, 1u);
    reserved.insert(item.event_id);
  }
  // What the rule sees now (the machine's clock, a day or more after the broadcast's start): every
  // first airing still ahead is reserved, every rerun after it is a duplicate.
  FILE* p = ::popen((cli + " rule test 1 --json").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string json;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) json.append(buf, n);
  ::pclose(p);
  const std::regex match("\"event_id\": ([0-9]+), [^{]*\"title\": \"([^\"]*)\", \"episode\": ([0-9]+), "
                         "\"verdict\": \"([a-z]+)\"");
  // An episode whose reserved airing is on air by the machine's clock is taken while it records:
  // its rerun is a duplicate too.
  std::set<std::string> on_air;
  {
    auto guide = GuideStore::Open(dir + "/epg.sqlite", GuideStore::Access::kRead, false, nullptr, nullptr);
    ASSERT_TRUE(guide);
    const GuideTime now = ToGuideTime(JapanTimeNow());
    for (const ScheduleItem& item : LoadScheduleFile(dir + "/schedule.ini")) {
      const auto e = guide->Find({item.network_id, item.stream_id, item.service_id, item.event_id});
      if (e && e->start - item.margin_before <= now && now < e->End() + item.margin_after)
        on_air.insert(std::to_string(e->episode_number));
    }
  }
  int firsts = 0, reruns = 0;
  std::set<std::string> episodes;  // those whose first airing is listed
  for (auto it = std::sregex_iterator(json.begin(), json.end(), match); it != std::sregex_iterator(); ++it) {
    const std::string title = (*it)[2], episode = (*it)[3], verdict = (*it)[4];
    const bool rerun = title.find("🈞") != std::string::npos;
    if (!rerun) episodes.insert(episode);
    // A rerun whose first airing has passed by the machine's clock is the episode's next chance.
    EXPECT_EQ(verdict, !rerun                                             ? "reserved"
                       : episodes.count(episode) || on_air.count(episode) ? "duplicate"
                                                                          : "reserve")
        << title;
    if (!rerun) {
      EXPECT_TRUE(reserved.count(static_cast<uint16_t>(std::stoi((*it)[1])))) << title;
    }
    ++(rerun ? reruns : firsts);
  }
  EXPECT_GE(firsts, 5) << json;
  EXPECT_GE(reruns, 5) << json;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan
