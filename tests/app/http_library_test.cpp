// The recordings' catalogue over HTTP, on a server over loopback: which ids and paths reach a file
// (only the catalogue's, never through a link out of its folder), the playlist and list with the
// view token in their URLs, and the API's changes with the command line's refusals and texts.
#include "app/http_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/http_api.h"
#include "hooks/recording_outcome.h"
#include "library/recording_library.h"
#include "output/http_stream_server.h"
#include "tests/support/api_request.h"
#include "tests/support/cli_process.h"
#include "tests/support/http_exchange.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

using nlohmann::json;

class HttpLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.File("rec"));
    std::filesystem::create_directory(dir_.File("elsewhere"));
    std::ofstream(dir_.File("elsewhere/secret.ts")) << "not a recording of the catalogue";
    std::ofstream(dir_.File("pelkan.ini")) << "[Pelkan_Q]\r\n";
    std::string error;
    library_ = RecordingLibrary::Open(dir_.File("library.sqlite"), nullptr, &error);
    ASSERT_TRUE(library_) << error;
    // 1 a file, 2 a file gone, 3 a link out of its folder, 4 a link within it, 5 protected,
    // 6 being recorded; each an hour after the one before.
    const char* names[] = {"a.ts", "gone.ts", "out.ts", "near.ts", "kept.ts", "now.ts"};
    for (int i = 0; i < 6; ++i) {
      hooks::RecordingOutcome o;
      o.file = dir_.File(std::string("rec/") + names[i]);
      o.title = i == 0 ? "ニュース🈑" : std::string("番組") + std::to_string(i + 1);
      o.result = "complete";
      o.actual_start = "2026-12-08T0" + std::to_string(i + 1) + ":00:00+09:00";
      o.actual_end = "2026-12-08T0" + std::to_string(i + 1) + ":30:00+09:00";
      ASSERT_TRUE(library_->Complete(o, o.file, 1, i == 5));
    }
    std::ofstream(dir_.File("rec/a.ts")) << std::string(5000, 'G');
    std::ofstream(dir_.File("rec/kept.ts")) << "kept";
    std::ofstream(dir_.File("rec/now.ts")) << "now";
    ASSERT_EQ(::symlink(dir_.File("elsewhere/secret.ts").c_str(), dir_.File("rec/out.ts").c_str()), 0);
    ASSERT_EQ(::symlink("a.ts", dir_.File("rec/near.ts").c_str()), 0);
    ASSERT_TRUE(library_->SetProtected(5, true));
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }

  void StartServer(HttpAccessConfig access = {}) {
    sources_.library = std::make_shared<HttpLibrary>(HttpLibrarySource{dir_.File("library.sqlite"), nullptr});
    HttpPages pages;
    pages.site = [this](const HttpRequest& request) {
      if (request.path.starts_with("/api/")) return AnswerApi(sources_, request);
      std::optional<HttpReply> reply = sources_.library->AnswerPage(request);
      return reply ? *reply : HttpReply{404, nullptr, "text/plain"};
    };
    server_ = std::make_unique<HttpStreamServer>(std::move(pages));
    HttpServerConfig config;
    config.access = std::move(access);
    std::string error;
    ASSERT_TRUE(server_->Start(config, &error)) << error;
  }
  test::HttpAnswer Get(const std::string& path) {
    return test::HttpExchange(server_->port(), test::HttpRequestText("GET", path, "localhost"));
  }
  HttpReply Ask(const std::string& method, const std::string& path, const std::string& body = "") {
    return AnswerApi(sources_, test::ApiRequest(method, path, body));
  }

  test::TempDir dir_;
  std::unique_ptr<RecordingLibrary> library_;
  HttpApiSources sources_;
  std::unique_ptr<HttpStreamServer> server_;
};

TEST_F(HttpLibraryTest, OnlyTheCataloguesFilesAreServedByTheirIds) {
  StartServer();
  const struct {
    const char* path;
    int status;
  } cases[] = {
      {"/recordings/1", 200},
      {"/recordings/4", 200},  // a link to a file of the same folder
      {"/recordings/3", 403},  // a link out of the folder
      {"/recordings/2", 404},  // the file is gone
      {"/recordings/99", 404},
      {"/recordings/0", 404},
      {"/recordings/01", 404},
      {"/recordings/-1", 404},
      {"/recordings/1x", 404},
      {"/recordings/abc", 404},
      {"/recordings/", 404},
      {"/recordings/../pelkan.ini", 404},
      {"/recordings/%2e%2e%2fpelkan.ini", 404},
      {"/recordings/..%2F..%2Felsewhere%2Fsecret.ts", 404},
      {"/recordings/%2Fetc%2Fpasswd", 404},
      {"/recordings/1/../3", 404},
  };
  for (const auto& c : cases) EXPECT_EQ(Get(c.path).status, c.status) << c.path;
}

TEST_F(HttpLibraryTest, PlaylistAndListCarryTheViewTokenNewestFirst) {
  HttpAccessConfig access;
  access.loopback = false;  // as if open to the network: the view token is asked for
  access.view_token = "VIEW";
  StartServer(access);
  EXPECT_EQ(Get("/recordings.m3u").status, 401);
  EXPECT_EQ(Get("/recordings.json").status, 401);
  EXPECT_EQ(Get("/recordings/1").status, 401);
  EXPECT_EQ(Get("/recordings/1?t=VIEW").status, 200);
  const test::HttpAnswer m3u = Get("/recordings.m3u?t=VIEW");
  ASSERT_EQ(m3u.status, 200);
  const std::string base = "http://localhost/recordings/";
  const size_t six = m3u.body.find(base + "6?t=VIEW\n");
  const size_t one = m3u.body.find("#EXTINF:1800 tvg-name=\"ニュース🈑\",ニュース🈑\n" + base + "1?t=VIEW\n");
  EXPECT_NE(six, std::string::npos) << m3u.body;
  EXPECT_NE(one, std::string::npos) << m3u.body;
  EXPECT_LT(six, one);
  EXPECT_NE(m3u.body.find("#EXTINF:-1 tvg-name=\"番組6\""), std::string::npos) << m3u.body;
  const json list = json::parse(Get("/recordings.json?t=VIEW").body)["recordings"];
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0]["id"], 6);
  EXPECT_EQ(list[0]["recording"], true);
}

TEST_F(HttpLibraryTest, ChangesRefuseAsTheCommandLineDoes) {
  sources_.library = std::make_shared<HttpLibrary>(HttpLibrarySource{dir_.File("library.sqlite"), nullptr});
  // The command line's texts of the same refusals.
  const auto cli = [this](const std::string& args) {
    const testing::CliRun run = testing::RunShell("PELKAN_HOME=" + dir_.path() + " XDG_DATA_HOME=" +
                                                  dir_.File("data") + " " + testing::CliPath() + " " + args + " 2>&1");
    EXPECT_EQ(run.exit_code, 1) << args;
    const std::string prefix = "pelkan-cli recordings: ";
    return run.out.substr(run.out.find(prefix) + prefix.size(), run.out.find('\n') - run.out.find(prefix) - prefix.size());
  };
  const std::string protected_text = cli("recordings delete 5");
  const std::string recording_text = cli("recordings delete 6");
  const std::string unknown_text = cli("recordings delete 99");
  ASSERT_NE(protected_text.find("protected"), std::string::npos) << protected_text;
  const struct {
    const char* method;
    const char* path;
    const char* body;
    unsigned status;
    std::string error;
  } cases[] = {
      {"DELETE", "/api/recordings/5", "{}", 409, protected_text},
      {"DELETE", "/api/recordings/6", R"({"force": false})", 409, recording_text},
      {"DELETE", "/api/recordings/99", "{}", 404, unknown_text},
      {"DELETE", "/api/recordings/5", R"({"force": "yes"})", 422, "force: is not true or false"},
      {"DELETE", "/api/recordings/5", "", 400, "the body is not a JSON object"},
      {"PUT", "/api/recordings/1", R"({"protected": "yes"})", 422, "protected: is not true or false"},
      {"PUT", "/api/recordings/1", "{}", 422, "protected: give true or false"},
      {"PUT", "/api/recordings/1", R"({"protected": true})", 200, ""},
      {"POST", "/api/recordings", "{}", 405, "not a method"},
      {"GET", "/api/recordings?result=bogus", "", 422, "result: is not"},
      {"GET", "/api/recordings?rule=x", "", 422, "rule: is not a rule's id"},
      {"GET", "/api/recordings/1/report", "", 404, "recording 1 has no report"},
      {"GET", "/api/recordings/1/other", "", 404, "not found"},
      {"GET", "/api/recordings?q=ﾆｭｰｽ", "", 200, ""},
      {"DELETE", "/api/recordings/1", "{}", 409, "recording 1 is protected"},
      {"PUT", "/api/recordings/1", R"({"protected": false})", 200, ""},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Ask(c.method, c.path, c.body);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << " " << c.body << "\n" << *reply.body;
    if (c.status >= 400) {
      EXPECT_EQ(json::parse(*reply.body)["error"].get<std::string>().find(c.error), 0u) << *reply.body;
    }
  }
  EXPECT_FALSE(library_->Find(1)->is_protected);
  EXPECT_EQ(json::parse(*Ask("GET", "/api/recordings?q=ﾆｭｰｽ").body)["recordings"].size(), 1u);
  EXPECT_EQ(json::parse(*Ask("GET", "/api/recordings/6").body)["recording"]["recording"], true);
  // A recording being recorded goes with force; its file to the trash (GIO, this folder's).
  ::setenv("XDG_DATA_HOME", dir_.File("data").c_str(), 1);
  EXPECT_EQ(Ask("DELETE", "/api/recordings/6", R"({"force": true})").status, 200u);
  EXPECT_FALSE(library_->Find(6));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("data/Trash/info/now.ts.trashinfo")));
  // Without a catalogue the API says so.
  sources_.library = nullptr;
  EXPECT_EQ(Ask("GET", "/api/recordings").status, 404u);
}

}  // namespace
}  // namespace pelkan
