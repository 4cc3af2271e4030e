// The HTTP server's access rules over loopback: who may connect, which Host names it, which token
// reads and which changes, and the holes other servers were known for (a method in the query or a
// header, a trusted X-Forwarded-For, a body of megabytes, a foreign Origin).
#include "output/http_access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>
#include <string>

#include "output/http_stream_server.h"
#include "tests/support/http_exchange.h"

namespace pelkan {
namespace {

using test::HttpExchange;
using test::HttpRequestText;

const std::string kView(64, 'a');
const std::string kControl(64, 'c');

// A server whose site says what reached it: "METHOD PATH QUERY BODY-BYTES".
class HttpAccessTest : public ::testing::Test {
 protected:
  void Start(bool loopback) {
    HttpPages pages;
    pages.status = [] { return std::string("{}"); };
    pages.playlist = [](const std::string& base, const std::string& query) {
      return "#EXTM3U\n" + base + "/service/1" + query + "\n";
    };
    pages.site = [](const HttpRequest& r) {
      std::string query;
      for (const auto& [k, v] : r.query) query += k + "=" + v + ";";
      return HttpReply{200,
                       std::make_shared<const std::string>(r.method + " " + r.path + " " + query + " " +
                                                           std::to_string(r.body.size())),
                       "text/plain"};
    };
    server_ = std::make_unique<HttpStreamServer>(std::move(pages));
    HttpServerConfig config;
    config.access.view_token = kView;
    config.access.control_token = kControl;
    config.access.hosts = {"tv.home"};
    config.access.loopback = loopback;
    std::string error;
    ASSERT_TRUE(server_->Start(config, &error)) << error;
    port_ = server_->port();
  }
  std::string Here() const { return "localhost:" + std::to_string(port_); }

  std::unique_ptr<HttpStreamServer> server_;
  uint16_t port_ = 0;
};

struct Case {
  const char* what;
  std::string method, path, host;
  std::string headers;  // each ending in CRLF
  std::string body;
  int status;
  std::string seen;  // the start of what the site saw ("" when it must not be asked)
};

void RunCases(uint16_t port, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const test::HttpAnswer a =
        HttpExchange(port, HttpRequestText(c.method, c.path, c.host, c.headers, c.body));
    EXPECT_EQ(a.status, c.status) << c.what << "\n" << a.head;
    if (!c.seen.empty()) {
      EXPECT_EQ(a.body.substr(0, c.seen.size()), c.seen) << c.what;
    }
  }
}

TEST_F(HttpAccessTest, HostTokenMethodOriginAndBodyDecideOnLoopback) {
  Start(true);
  const std::string here = Here();
  const std::string control = "Authorization: Bearer " + kControl + "\r\n";
  const std::string json = "Content-Type: application/json\r\n";
  const std::string change = control + json;
  const std::vector<Case> cases = {
      {"page", "GET", "/", here, "", "", 200, "GET / "},
      {"API read needs no token on loopback", "GET", "/api/status", here, "", "", 200, "GET /api/status"},
      {"stream needs no token on loopback", "GET", "/stream", here, "", "", 200, ""},
      {"machine's address", "GET", "/", "127.0.0.1:" + std::to_string(port_), "", "", 200, ""},
      {"IPv6 loopback literal", "GET", "/", "[::1]:8080", "", "", 200, ""},
      {"configured name, any case", "GET", "/", "TV.Home", "", "", 200, ""},
      {"localhost with a final dot", "GET", "/", "localhost.:1", "", "", 200, ""},
      {"foreign name", "GET", "/", "evil.example", "", "", 421, ""},
      {"foreign name for a change", "POST", "/api/rules", "evil.example", change, "{}", 421, ""},
      {"rebinding name ending in localhost", "GET", "/", "localhost.evil.example", "", "", 421, ""},
      {"address not of this machine", "GET", "/stream", "192.0.2.7", "", "", 421, ""},
      {"malformed host", "GET", "/", "[::1", "", "", 421, ""},
      {"change", "POST", "/api/rules", here, change, "{\"a\":1}", 200, "POST /api/rules  7"},
      {"PUT", "PUT", "/api/rules/1", here, change, "{}", 200, "PUT /api/rules/1"},
      {"DELETE", "DELETE", "/api/reservations/1", here, change, "{}", 200, "DELETE"},
      {"change without token", "POST", "/api/rules", here, json, "{}", 401, ""},
      {"change with the view token", "POST", "/api/rules", here,
       "Authorization: Bearer " + kView + "\r\n" + json, "{}", 401, ""},
      {"change with the token in the query", "POST", "/api/rules?t=" + kControl, here, json, "{}", 401, ""},
      {"change with a token one letter short", "POST", "/api/rules", here,
       "Authorization: Bearer " + kControl.substr(1) + "\r\n" + json, "{}", 401, ""},
      {"change as a form", "POST", "/api/rules", here,
       control + "Content-Type: application/x-www-form-urlencoded\r\n", "a=1", 415, ""},
      {"change without a type", "POST", "/api/rules", here, control, "{}", 415, ""},
      {"change from a foreign page", "POST", "/api/rules", here, change + "Origin: http://evil.example\r\n",
       "{}", 403, ""},
      {"change from a sandboxed page", "POST", "/api/rules", here, change + "Origin: null\r\n", "{}", 403,
       ""},
      {"change from this server's page", "POST", "/api/rules", here,
       change + "Origin: http://" + here + "\r\n", "{}", 200, "POST"},
      {"change outside the API", "POST", "/stream", here, change, "{}", 405, ""},
      {"PATCH", "PATCH", "/api/rules/1", here, change, "{}", 405, ""},
      {"verb in the query", "GET", "/api/reservations/1?method=DELETE", here, "", "", 200,
       "GET /api/reservations/1 method=DELETE;"},
      {"verb in a header", "GET", "/api/reservations/1", here, "X-HTTP-Method-Override: DELETE\r\n", "", 200,
       "GET /api/reservations/1"},
      {"GET with a body", "GET", "/api/status", here, "", "{}", 413, ""},
      {"body of 10 MB", "POST", "/api/rules", here, change, std::string(10u << 20, ' '), 413, ""},
      {"body past the bound by one", "POST", "/api/rules", here, change,
       std::string(HttpAccess::kMaxBody + 1, ' '), 413, ""},
      {"body at the bound", "POST", "/api/rules", here, change, std::string(HttpAccess::kMaxBody, ' '), 200,
       "POST /api/rules  65536"},
      {"chunked body", "POST", "/api/rules", here, change + "Transfer-Encoding: chunked\r\n",
       "2\r\n{}\r\n0\r\n\r\n", 411, ""},
      {"encoded path reaches the site decoded", "GET", "/%2e%2e/etc/passwd", here, "", "", 200,
       "GET /../etc/passwd"},
  };
  RunCases(port_, cases);
}

TEST_F(HttpAccessTest, BeyondLoopbackReadingNeedsTheViewToken) {
  Start(false);
  const std::string here = Here();
  const std::vector<Case> cases = {
      {"page itself", "GET", "/", here, "", "", 200, ""},
      {"stream without token", "GET", "/stream", here, "", "", 401, ""},
      {"stream, forwarded for loopback", "GET", "/stream", here,
       "X-Forwarded-For: 127.0.0.1\r\nX-Real-IP: ::1\r\n", "", 401, ""},
      {"stream with the view token", "GET", "/stream?t=" + kView, here, "", "", 200, ""},
      {"stream with a wrong token", "GET", "/stream?t=" + kControl.substr(0, 63) + "x", here, "", "", 401,
       ""},
      {"service with the view token", "GET", "/service/1?t=" + kView, here, "", "", 200, ""},
      {"guide without token", "GET", "/guide.xml", here, "", "", 401, ""},
      {"status without token", "GET", "/status", here, "", "", 401, ""},
      {"recordings without token", "GET", "/recordings/1", here, "", "", 401, ""},
      {"recordings' playlist without token", "GET", "/recordings.m3u", here, "", "", 401, ""},
      {"recordings' list without token", "GET", "/recordings.json", here, "", "", 401, ""},
      {"HEAD of the stream without token", "HEAD", "/stream", here, "", "", 401, ""},
      {"API without token", "GET", "/api/reservations", here, "", "", 401, ""},
      {"API with the control token", "GET", "/api/reservations", here,
       "Authorization: Bearer " + kControl + "\r\n", "", 200, "GET /api/reservations  0"},
      {"API with the view token", "GET", "/api/status?t=" + kView, here, "", "", 200, "GET /api/status  0"},
  };
  RunCases(port_, cases);
  const test::HttpAnswer playlist =
      HttpExchange(port_, HttpRequestText("GET", "/playlist.m3u?t=" + kView, here));
  EXPECT_EQ(playlist.body, "#EXTM3U\nhttp://" + here + "/service/1?t=" + kView + "\n");
}

TEST(HttpAccessRules, PeersOfTheAllowListAndLoopbackAlone) {
  std::vector<HttpNetwork> networks;
  std::string error;
  ASSERT_TRUE(ParseHttpNetworks("192.168.0.0/16, fd00::/8,10.1.2.3", &networks, &error)) << error;
  HttpAccessConfig config;
  config.allow = networks;
  const HttpAccess access(config);
  const struct {
    const char* peer;
    bool allowed;
  } cases[] = {{"192.168.4.20", true},   {"192.169.0.1", false}, {"10.1.2.3", true},
               {"10.1.2.4", false},      {"127.0.0.1", true},    {"::1", true},
               {"fd12::1", true},        {"fe80::1", false},     {"::ffff:192.168.1.1", true},
               {"::ffff:8.8.8.8", false}};
  for (const auto& c : cases) {
    sockaddr_storage s{};
    if (inet_pton(AF_INET, c.peer, &reinterpret_cast<sockaddr_in*>(&s)->sin_addr) == 1) {
      s.ss_family = AF_INET;
    } else {
      ASSERT_EQ(inet_pton(AF_INET6, c.peer, &reinterpret_cast<sockaddr_in6*>(&s)->sin6_addr), 1) << c.peer;
      s.ss_family = AF_INET6;
    }
    EXPECT_EQ(access.PeerAllowed(reinterpret_cast<sockaddr*>(&s)), c.allowed) << c.peer;
  }
  for (const char* bad : {"192.168.0.0/33", "fd00::/129", "example.org", "10.0.0.0/", "10.0.0.0/8x"}) {
    EXPECT_FALSE(ParseHttpNetworks(bad, &networks, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  EXPECT_TRUE(SecretEquals(kControl, kControl));
  EXPECT_FALSE(SecretEquals(kControl + "c", kControl));
  EXPECT_FALSE(SecretEquals("", ""));
}

}  // namespace
}  // namespace pelkan
