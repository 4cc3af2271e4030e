#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/cli_process.h"
#include "base/mjd_time.h"
#include "cli/cli_commands.h"
#include "guide/broadcast_text.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_file.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan {
namespace {

using streamgen::BroadcastGenerator;
using streamgen::GeneratorOptions;
using streamgen::ProgrammeInfo;

// Runs pelkan-cli's epg and schedule commands in a fresh current directory holding a generated
// recording (40 s of broadcast: every service's whole eight-day schedule).
class CliEpg : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GeneratorOptions o;
    o.bit_rate = 4'000'000;
    generator_ = new BroadcastGenerator(o);
    stream_ = new std::vector<uint8_t>(static_cast<size_t>(o.bit_rate / 8 * 40 / 188 * 188));
    generator_->Read(stream_->data(), stream_->size());
  }
  static void TearDownTestSuite() {
    delete generator_;
    delete stream_;
  }
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_cli_epg_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    std::ofstream(dir_ / "rec.ts", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream_->data()), static_cast<std::streamsize>(stream_->size()));
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  int Run(int (*command)(int, char**), std::vector<std::string> args, std::string* out = nullptr) {
    return testing::RunInProcess(command, std::move(args), out);
  }
  // Every programme of the recording's schedule: its services from the segment running at the
  // start to the end of the eighth day.
  static std::vector<std::pair<uint16_t, ProgrammeInfo>> Programmes() {
    const MjdTime start = generator_->Options().start_time;
    const MjdTime from{start.date, start.seconds / 10800 * 10800};
    std::vector<std::pair<uint16_t, ProgrammeInfo>> out;
    for (const auto& s : generator_->Multiplex(0).services) {
      for (ProgrammeInfo& p : generator_->ScheduleAt(0, s.service_id, from, {start.date + 8, 0}, start))
        out.emplace_back(s.service_id, std::move(p));
    }
    return out;
  }
  static std::string XmltvTime(MjdTime t) {
    int y = 0, m = 0, d = 0;
    MjdToDate(t.date, &y, &m, &d);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d +0900", y, m, d, t.seconds / 3600,
                  t.seconds / 60 % 60, t.seconds % 60);
    return text;
  }

  static BroadcastGenerator* generator_;
  static std::vector<uint8_t>* stream_;
  std::filesystem::path old_, dir_;
};

BroadcastGenerator* CliEpg::generator_ = nullptr;
std::vector<uint8_t>* CliEpg::stream_ = nullptr;

TEST_F(CliEpg, XmltvOfARecordingIsValidWithOneProgrammePerEvent) {
  std::string xml;
  ASSERT_EQ(Run(cli::RunEpg, {"--xmltv", "--from", "rec.ts"}, &xml), 0);
  std::ofstream("guide.xml") << xml;
  ASSERT_EQ(std::system("command -v tv_validate_file > /dev/null"), 0)
      << "tv_validate_file is missing: scripts/install-deps.sh installs xmltv-util";
  // The validator reads its DTD from the installed copy, not from the network.
  EXPECT_EQ(std::system("XMLTV_SUPPLEMENT=/usr/share/xmltv tv_validate_file guide.xml > validate.txt 2>&1"),
            0)
      << std::ifstream("validate.txt").rdbuf();

  // One programme per event of the stream: (channel, start, stop, title) each once.
  std::multiset<std::string> found;
  const std::regex programme(
      "<programme start=\"([^\"]*)\"(?: stop=\"([^\"]*)\")? channel=\"([0-9]+)\\.7fe8\\.7fe8\\.pelkan\">\\s*"
      "<title lang=\"ja\">([^<]*)</title>");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), programme); it != std::sregex_iterator(); ++it)
    found.insert((*it)[3].str() + " " + (*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[4].str());
  std::multiset<std::string> expected;
  for (const auto& [sid, p] : Programmes()) {
    MjdTime end = p.start;
    AddSeconds(&end, p.duration);
    expected.insert(std::to_string(sid) + " " + XmltvTime(p.start) + " " + XmltvTime(end) + " " + p.title);
  }
  EXPECT_EQ(found.size(), expected.size());
  // Present/following may leave the end of the programmes on air open (no stop attribute).
  std::vector<std::string> missing;
  for (const std::string& e : expected) {
    if (found.count(e) == 0) missing.push_back(e);
  }
  EXPECT_LE(missing.size(), 2u * generator_->Multiplex(0).services.size());
  EXPECT_EQ(xml.find("<display-name lang=\"ja\">" + generator_->Multiplex(0).services[0].name +
                     "</display-name>") != std::string::npos,
            true);
  EXPECT_NE(xml.find("<category lang=\"ja\">"), std::string::npos);
}

TEST_F(CliEpg, JsonTextSearchAndServiceChoose) {
  ASSERT_EQ(Run(cli::RunEpg, {"--from", "rec.ts", "--service", "1025"}), 0);
  const auto programmes = Programmes();
  const auto& [sid, p] = programmes[programmes.size() / 2];
  std::string json;
  ASSERT_EQ(Run(cli::RunEpg, {"--json", "--service", std::to_string(sid)}, &json), 0);
  EXPECT_EQ(json.rfind("{\"events\": [", 0), 0u);
  EXPECT_NE(json.find("\"event_id\": " + std::to_string(p.event_id) + ", \"start\": \""), std::string::npos);
  EXPECT_NE(json.find("\"title\": \"" + p.title + "\""), std::string::npos);
  EXPECT_NE(json.find("+09:00\", \"duration\": " + std::to_string(p.duration)), std::string::npos);
  std::set<std::string> services;
  const std::regex id("\\{\"service_id\": ([0-9]+)");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), id); it != std::sregex_iterator(); ++it)
    services.insert((*it)[1]);
  EXPECT_EQ(services, std::set<std::string>{std::to_string(sid)});

  std::string text;
  ASSERT_EQ(Run(cli::RunEpg, {"--search", p.title}, &text), 0);
  EXPECT_NE(text.find(std::to_string(sid) + ":" + std::to_string(p.event_id) + "  "), std::string::npos)
      << text;
  for (size_t line = 0; line < text.size(); line = text.find('\n', line) + 1) {
    EXPECT_NE(text.substr(line, text.find('\n', line) - line).find(p.title), std::string::npos);
  }
  EXPECT_EQ(Run(cli::RunEpg, {"--search", "存在しない番組名"}, &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(Run(cli::RunEpg, {"--json", "--xmltv"}), 2);
  EXPECT_EQ(Run(cli::RunEpg, {"--from", "missing.ts"}), 1);
}

TEST_F(CliEpg, CaptureFillsTheGuideWhileProcEpgIsOn) {
  const std::string cli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";
  const std::string capture = cli + " capture --seconds 10 --virtual-speed 6 > out.txt 2> err.txt";
  ASSERT_EQ(std::system(capture.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists("epg.sqlite")) << "PROC_EPG is 0 by default";
  // --epg fills it for one run.
  const std::string once = cli + " capture --epg --seconds 3 --virtual-speed 6 > out.txt 2> err.txt";
  ASSERT_EQ(std::system(once.c_str()), 0) << std::ifstream("err.txt").rdbuf();
  ASSERT_TRUE(std::filesystem::exists("epg.sqlite")) << "--epg";
  std::filesystem::remove("epg.sqlite");
  std::filesystem::remove("epg.sqlite-wal");
  std::filesystem::remove("epg.sqlite-shm");
  std::ofstream("pelkan.ini") << "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n";
  // A minute of broadcast: every service's whole schedule, complete. A slow build (ThreadSanitizer)
  // plays less of the broadcast in ten seconds, so it may take further captures into the same guide.
  const auto services = generator_->Multiplex(0).services;
  auto complete = [&](const std::string& text) {
    for (const auto& s : services) {
      if (text.find("service " + std::to_string(s.service_id) + " " + s.name + " (番組表取得完了 ") ==
          std::string::npos)
        return false;
    }
    return true;
  };
  std::string text;
  for (int capture_run = 0; capture_run < 6 && !complete(text); ++capture_run) {
    ASSERT_EQ(std::system(capture.c_str()), 0) << std::ifstream("err.txt").rdbuf();
    // 1 (no guide yet) while no service has been written.
    ASSERT_LE(Run(cli::RunEpg, {}, &text), 1);
  }
  EXPECT_TRUE(complete(text)) << text.substr(0, 400);
}

// A guide event on MJD day 0 used to print as 0000-00-00, and a title with a line break broke the
// one-line table; a search that is no UTF-8 or of a thousand words was run (and the second said the
// guide was unreadable).
TEST_F(CliEpg, TheTableHasOneLinePerDatedProgrammeAndBadSearchesAreRefused) {
  {
    std::string error;
    auto store = GuideStore::Open("epg.sqlite", GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Begin());
    const GuideTime soon = (GuideTime{JapanTimeNow().date} + 1) * 86400 + 3600;
    for (const auto& [event_id, start, title] : {std::tuple<uint16_t, GuideTime, const char*>{1, 0, "undated"},
                                                 {2, 3600, "undated too"},
                                                 {3, soon, "first line\nsecond\tline"}}) {
      GuideEventUpdate u;
      u.event.key = {0x7FE8, 0x7FE8, 1024, event_id};
      u.event.start = start;
      u.event.duration = 1800;
      u.event.title = platform::Utf8ToSjis(title);
      u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
      u.basic = true;
      ASSERT_TRUE(store->ApplyEvent(u));
    }
    ASSERT_TRUE(store->Commit());
  }
  std::string out;
  ASSERT_EQ(Run(cli::RunEpg, {}, &out), 0);
  EXPECT_EQ(out.find("0000-00-00"), std::string::npos) << out;
  EXPECT_EQ(out.find("undated"), std::string::npos) << out;
  EXPECT_NE(out.find("  1024:3  "), std::string::npos) << out;
  EXPECT_NE(out.find("first line\\nsecond\\tline\n"), std::string::npos) << out;
  ASSERT_EQ(Run(cli::RunEpg, {"--json"}, &out), 0);
  EXPECT_EQ(out.find("\"event_id\": 1,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"title\": \"first line\\nsecond\\tline\""), std::string::npos) << out;

  std::string words;
  for (int i = 0; i < 64; ++i) words += "a ";
  struct Case {
    std::string search;
    int exit_code;
  };
  const Case cases[] = {
      {"first", 0},
      {words, 0},                  // 64 short words
      {words + "b", 2},            // 65
      {"\xFF\xFE", 2},             // not UTF-8
      {"caf\xC3", 2},              // cut in a character
      {"\xED\xA0\x80", 2},         // a surrogate
      {"\xC0\xAF", 2},              // an overlong form
      {"\xE3\x83\x89\xE3\x83\xA9\xE3\x83\x9E", 0},  // ドラマ
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(cli::RunEpg, {"--search", c.search}, &out), c.exit_code) << c.search;
  }
  ASSERT_EQ(Run(cli::RunEpg, {"--search", "first"}, &out), 0);
  EXPECT_NE(out.find("first line\\nsecond\\tline\n"), std::string::npos) << out;
}

// No guide (no file, or a file without a service) is an error that says how to get one.
TEST_F(CliEpg, NoGuideIsAnErrorThatTellsHowToGetOne) {
  for (const bool empty_file : {false, true}) {
    if (empty_file) {
      ASSERT_TRUE(GuideStore::Open("epg.sqlite", GuideStore::Access::kWrite, true, nullptr, nullptr));
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(cli::RunEpg, {}), 1) << empty_file;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no programme guide yet"), std::string::npos) << err;
    EXPECT_NE(err.find("PROC_EPG=1 in [Pelkan_Q_PSI]"), std::string::npos) << err;
    EXPECT_NE(err.find("capture --epg"), std::string::npos) << err;
    EXPECT_EQ(std::filesystem::exists("epg.sqlite"), empty_file);
  }
}

TEST_F(CliEpg, EventReservationTakesTimeAndTitleFromTheGuide) {
  ASSERT_EQ(Run(cli::RunEpg, {"--from", "rec.ts"}), 0);
  const auto programmes = Programmes();
  const auto& [sid, p] = programmes.back();
  std::string added;
  ASSERT_EQ(Run(cli::RunSchedule, {"add", "--event", std::to_string(sid) + ":" + std::to_string(p.event_id)},
                &added),
            0);
  int y = 0, m = 0, d = 0;
  MjdToDate(p.start.date, &y, &m, &d);
  char start[64];
  std::snprintf(start, sizeof start, "%04d年%02d月%02d日", y, m, d);
  EXPECT_NE(added.find(start), std::string::npos) << added;
  const auto items = LoadScheduleFile("schedule.ini");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service_id, sid);
  EXPECT_EQ(items[0].event_id, p.event_id);
  EXPECT_EQ(items[0].network_id, generator_->Multiplex(0).original_network_id);
  EXPECT_EQ(items[0].stream_id, generator_->Multiplex(0).transport_stream_id);
  // The file name offered is the one the edit dialog makes of the guide's title.
  std::string error;
  const auto guide = GuideStore::Open("epg.sqlite", GuideStore::Access::kRead, false, nullptr, &error);
  ASSERT_TRUE(guide) << error;
  const auto e = guide->Find({items[0].network_id, items[0].stream_id, sid, p.event_id});
  ASSERT_TRUE(e);
  EXPECT_EQ(BroadcastTextUtf8(e->title), p.title);
  const ScheduleItem made = MakeEventReservation("", 0, 0, sid, p.event_id, e->title, {});
  EXPECT_EQ(GetText(items[0].file_name), GetText(made.file_name));
}

}  // namespace
}  // namespace pelkan
