// The web page's API on a home folder of its own: its refusals (bodies that are no JSON, fields of
// the wrong type or range, the reservation file's own refusals with the command line's texts, a
// list changed meanwhile), the page's files (nothing outside its folder), and changes from the API
// and pelkan-cli at once that lose none of each other's.
#include "app/http_api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/date_time_text.h"
#include "app/home_folder.h"
#include "app/web_files.h"
#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "tests/support/api_request.h"
#include "tests/support/cli_process.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

using nlohmann::json;

class HttpApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.File("rec"));
    std::ofstream(dir_.File("pelkan.ini")) << "[Pelkan_Q]\r\nREC_AUTOPATH=" << dir_.File("rec") << "\r\n";
    SetHomeFolder(dir_.path());
    sources_.guide_path = dir_.File("epg.sqlite");
    sources_.rules_path = dir_.File("rules.sqlite");
  }
  void TearDown() override { SetHomeFolder(""); }

  HttpReply Ask(const std::string& method, const std::string& path, const std::string& body = "") {
    return AnswerApi(sources_, test::ApiRequest(method, path, body));
  }
  json Reservations() { return json::parse(*Ask("GET", "/api/reservations").body)["reservations"]; }

  test::TempDir dir_;
  HttpApiSources sources_;
};

TEST_F(HttpApiTest, RefusesAsTheCommandLineDoes) {
  const std::string time = R"("start": "2030-01-10 21:00", "minutes": 30)";
  const struct {
    const char* method;
    std::string path, body;
    unsigned status;
    std::string error;  // a part of the answer's "error"
  } cases[] = {
      {"POST", "/api/reservations", "not json", 400, "not a JSON object"},
      {"POST", "/api/reservations", "[1, 2]", 400, "not a JSON object"},
      {"POST", "/api/reservations", R"({"event": "1024:5"})", 422, "event: is not an object"},
      {"POST", "/api/reservations", R"({"event": {"service_id": 1024, "event_id": 70000}})", 422,
       "event_id: is not a number 0-65535"},
      {"POST", "/api/reservations", R"({"start": 20300110, "minutes": 30})", 422, "start: is not a text"},
      {"POST", "/api/reservations", R"({"start": "2030-02-30 10:00", "minutes": 30})", 422, "start: "},
      {"POST", "/api/reservations", R"({"start": "2030-01-10 21:00", "minutes": 0})", 422,
       "minutes: is not a number 1-1440"},
      {"POST", "/api/reservations", R"({"start": "2030-01-10 21:00", "minutes": 30.5})", 422,
       "minutes: is not a number"},
      {"POST", "/api/reservations", "{" + time + R"(, "priority": "5"})", 422,
       "priority: is not a number 1-5"},
      {"POST", "/api/reservations", "{" + time + R"(, "priority": 6})", 422, "priority: is not a number 1-5"},
      {"POST", "/api/reservations", "{" + time + R"(, "margin_before": -1})", 422,
       "margin_before: is not a number"},
      {"POST", "/api/reservations", "{" + time + R"(, "force": "yes"})", 422, "force: is not true or false"},
      {"POST", "/api/reservations", R"({"minutes": 30})", 422, "give either start with minutes, or event"},
      {"POST", "/api/reservations", R"({"start": "2030-01-10 21:00"})", 422, "start needs minutes"},
      {"POST", "/api/reservations", R"({"event": {"service_id": 1024, "event_id": 5}, "minutes": 3})", 422,
       "an event reservation records the event's service"},
      {"POST", "/api/reservations", "{" + time + "}", 201, ""},
      {"POST", "/api/reservations", "{" + time + "}", 409, "not added (overlaps another reservation)"},
      {"POST", "/api/reservations", R"({"event": {"service_id": 1024, "event_id": 5}})", 201, ""},
      {"POST", "/api/reservations", R"({"event": {"service_id": 1024, "event_id": 5}})", 409,
       "not added: reservation 2 is for this event already"},
      {"PUT", "/api/reservations/1", R"({"expect": {"start": "2030-01-10 21:00:00"}, "priority": 5})", 200,
       ""},
      {"PUT", "/api/reservations/1", R"({"priority": 5})", 422, "expect: give the start"},
      {"DELETE", "/api/reservations/1", R"({"expect": {"start": "2030-01-10 21:30:00"}})", 409,
       "the list has changed?"},
      {"DELETE", "/api/reservations/2", R"({"expect": {"start": "2030-01-10 21:00:00"}})", 409,
       "the list has changed?"},
      {"DELETE", "/api/reservations/3", R"({"expect": {"start": "2030-01-10 21:00:00"}})", 404,
       "there is no reservation 3"},
      {"DELETE", "/api/reservations/0", "{}", 404, "not found"},
      {"DELETE", "/api/reservations/2", R"({"expect": {"event": {"service_id": 1024, "event_id": 5}}})", 200,
       ""},
      {"GET", "/api/reservations/1?method=DELETE", "", 405, "not a method"},
      {"GET", "/api/guide?service=abc", "", 422, "service: is not a service id"},
      {"GET", "/api/guide?from=yesterday", "", 422, "from: is not a date-time"},
      {"GET", "/api/guide", "", 404, "there is no programme guide yet"},
      {"POST", "/api/rules", R"({"name": "x"})", 422, ""},
      {"POST", "/api/rules", R"({"regex": "("})", 422, ""},
      {"POST", "/api/rules", R"({"words": "ニュース", "services": ["1024"]})", 422,
       "services: is not a list"},
      {"POST", "/api/rules", R"({"words": "ニュース", "in": "everywhere"})", 422, "in: is not title"},
      {"POST", "/api/rules", R"({"words": "ニュース", "services": [1024]})", 201, ""},
      {"PUT", "/api/rules/1", R"({"enabled": false})", 200, ""},
      {"GET", "/api/rules/2", "", 404, "no rule 2"},
      {"GET", "/api/rules/1/test", "", 200, ""},
      {"DELETE", "/api/rules/1", R"({"keep_reservations": 1})", 422,
       "keep_reservations: is not true or false"},
      {"GET", "/api/nothing", "", 404, "not found"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Ask(c.method, c.path, c.body);
    const json body = json::parse(*reply.body, nullptr, false);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << " " << c.body << "\n" << *reply.body;
    if (c.status >= 400) {
      ASSERT_TRUE(body.contains("error")) << *reply.body;
      EXPECT_NE(body["error"].get<std::string>().find(c.error), std::string::npos)
          << c.path << " " << c.body << "\n"
          << body;
    }
  }
  const json left = Reservations();
  ASSERT_EQ(left.size(), 1u) << left;
  EXPECT_EQ(left[0]["priority"], 5);
  EXPECT_EQ(left[0]["expect"], json({{"start", "2030-01-10 21:00:00"}}));
  const json rules = json::parse(*Ask("GET", "/api/rules").body)["rules"];
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]["enabled"], false);
  EXPECT_EQ(rules[0]["services"], json({1024}));
}

// The page's changes and the command line's at once: each holds the reservation file's lock from
// reading to writing, so none is lost.
TEST_F(HttpApiTest, ChangesFromThePageAndTheCommandLineAtOnceAreAllKept) {
  constexpr int kEach = 6;
  std::thread page([this] {
    for (int i = 0; i < kEach; ++i) {
      const std::string body =
          R"({"start": "2030-01-11 )" + std::to_string(10 + i) + R"(:00", "minutes": 30})";
      EXPECT_EQ(Ask("POST", "/api/reservations", body).status, 201u) << body;
    }
  });
  for (int i = 0; i < kEach; ++i) {
    const testing::CliRun run = testing::RunShell("cd " + dir_.path() + " && " + testing::CliPath() +
                                                  " schedule add --start \"2030-01-12 " +
                                                  std::to_string(10 + i) + ":00\" --minutes 30");
    EXPECT_EQ(run.exit_code, 0) << run.out;
  }
  page.join();
  EXPECT_EQ(Reservations().size(), 2u * kEach);
}

TEST(WebFiles, OnlyThePagesOwnFilesAreServed) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("web"));
  std::ofstream(dir.File("web/index.html")) << "<!doctype html>";
  std::ofstream(dir.File("web/app.js")) << "export {}";
  std::ofstream(dir.File("secret.html")) << "secret";
  std::ofstream(dir.File("web/.hidden.js")) << "hidden";
  std::filesystem::create_directory(dir.File("web/sub"));
  std::ofstream(dir.File("web/sub/x.js")) << "x";
  const struct {
    const char* path;
    unsigned status;
    const char* type;
  } cases[] = {
      {"/", 200, "text/html; charset=utf-8"},
      {"/index.html", 200, "text/html; charset=utf-8"},
      {"/app.js", 200, "text/javascript; charset=utf-8"},
      {"/../secret.html", 404, nullptr},
      {"/..", 404, nullptr},
      {"/sub/x.js", 404, nullptr},
      {"/.hidden.js", 404, nullptr},
      {"/app.js.bak", 404, nullptr},
      {"/missing.js", 404, nullptr},
      {"/pelkan.ini", 404, nullptr},
      {"//etc/passwd", 404, nullptr},
      {"/index.html%00.js", 404, nullptr},
      {"", 404, nullptr},
  };
  for (const auto& c : cases) {
    const HttpReply reply = WebFile(dir.File("web"), c.path);
    EXPECT_EQ(reply.status, c.status) << c.path;
    if (c.type != nullptr) {
      EXPECT_EQ(reply.type, c.type) << c.path;
    }
  }
}

// The guide's answer is written by hand, fast; it stays byte for byte what the JSON library writes
// of the same object (keys in order, no spaces, its escapes), for programmes with and without an
// end, with control characters, quotes and a byte that is no Shift-JIS in their texts.
TEST_F(HttpApiTest, TheGuideIsWrittenAsTheJsonLibraryWritesIt) {
  const GuideTime day = ToGuideTime(*ParseDateTimeText("2030-01-10 00:00"));
  {
    std::string error;
    auto guide = GuideStore::Open(sources_.guide_path, GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(guide) << error;
    guide->Begin();
    const struct {
      uint32_t duration;
      std::string title, description, extended;
      int genre;
      uint16_t episode;
      bool pay;
    } events[] = {
        {1800, platform::Utf8ToSjis("ニュース７"), platform::Utf8ToSjis("「今日」の\"話題\""),
         platform::Utf8ToSjis("番組内容\n天気\t\\予報"), 0x00, 0, false},
        {kUndefinedDuration, std::string("A\x01\x08\x0c\x1f\x7f") + "\x81", "\xa0\xfd", "", -1, 12, true},
    };
    uint16_t id = 1;
    for (const auto& e : events) {
      GuideEventUpdate u;
      u.event.key = {4, 5, 101, id};
      u.event.start = day + 3600 * id++;
      u.event.duration = e.duration;
      u.event.title = e.title;
      u.event.description = e.description;
      u.event.extended = e.extended;
      u.event.genre = e.genre;
      u.event.episode_number = e.episode;
      u.event.free_ca_mode = e.pay;
      u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
      u.basic = u.extended = true;
      guide->ApplyEvent(u);
    }
    ASSERT_TRUE(guide->Commit());
  }
  HttpRequest request = test::ApiRequest("GET", "/api/guide");
  request.query = {{"from", "2030-01-10"}, {"to", "2030-01-11"}};
  const HttpReply reply = AnswerApi(sources_, request);
  ASSERT_TRUE(reply.body);
  ASSERT_EQ(reply.status, 200u) << *reply.body;
  const json parsed = json::parse(*reply.body);
  ASSERT_EQ(parsed["events"].size(), 2u);
  EXPECT_EQ(parsed["events"][0]["title"], "ニュース７");
  EXPECT_EQ(parsed["events"][1]["end"], nullptr);
  EXPECT_EQ(*reply.body, parsed.dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace
}  // namespace pelkan
