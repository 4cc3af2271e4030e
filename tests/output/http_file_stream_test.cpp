// A recording's file over HTTP, read with curl over loopback: byte ranges as RFC 9110 has them
// (exact bytes, the end cut to the file, unsatisfiable ones, malformed ones served whole), HEAD,
// and chasing playback: a file that grows in steps and pauses (a tuner's drop-out) is followed by
// a whole-file client and a `bytes=N-` client until the recorder lets it go.
#include "output/http_file_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "output/http_stream_server.h"
#include "tests/support/cli_process.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

struct CurlAnswer {
  int exit_code = -1;  // curl's
  int status = 0;
  std::string head;
  std::string body;
};

// curl's answer to `path` with `args` (its headers and body, the chunks joined).
CurlAnswer Curl(uint16_t port, const std::string& path, const std::string& args = "") {
  const testing::CliRun run =
      testing::RunShell("curl -s -i --max-time 30 " + args + " http://127.0.0.1:" + std::to_string(port) + path);
  const std::string& out = run.out;
  CurlAnswer answer;
  answer.exit_code = run.exit_code;
  const size_t split = out.find("\r\n\r\n");
  if (out.size() < 12 || split == std::string::npos) return answer;
  answer.status = std::atoi(out.c_str() + 9);
  answer.head = out.substr(0, split);
  answer.body = out.substr(split + 4);
  return answer;
}

std::string Header(const CurlAnswer& answer, const std::string& name) {
  const size_t at = answer.head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 4;
  return answer.head.substr(from, answer.head.find("\r\n", from) - from);
}

// Bytes that tell their place: byte i of the file is Pattern(i).
char Pattern(size_t i) {
  return static_cast<char>((i * 7 + i / 251) % 256);
}
std::string Bytes(size_t from, size_t count) {
  std::string out(count, '\0');
  for (size_t i = 0; i < count; ++i) out[i] = Pattern(from + i);
  return out;
}

class HttpFileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("rec.ts");
    Append(0, kStart);
    HttpPages pages;
    pages.site = [this](const HttpRequest& request) {
      if (request.path != "/recordings/1") return HttpReply{404, nullptr, "text/plain"};
      auto source = std::make_shared<HttpFileSource>();
      source->path = path_;
      source->name = request.path;
      source->writing = [this] { return writing_.load(); };
      HttpReply reply;
      reply.file = std::move(source);
      return reply;
    };
    server_ = std::make_unique<HttpStreamServer>(std::move(pages));
    std::string error;
    ASSERT_TRUE(server_->Start({}, &error)) << error;
    port_ = server_->port();
  }
  void TearDown() override { server_->Stop(); }

  // Whether every client has gone within a few seconds.
  bool ClientsGone() {
    for (int i = 0; i < 150 && !server_->Clients().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return server_->Clients().empty();
  }
  void Append(size_t from, size_t count) {
    std::ofstream(path_, std::ios::binary | std::ios::app) << Bytes(from, count);
  }

  static constexpr size_t kStart = 10000;
  test::TempDir dir_;
  std::string path_;
  std::atomic<bool> writing_{false};
  std::unique_ptr<HttpStreamServer> server_;
  uint16_t port_ = 0;
};

TEST_F(HttpFileStreamTest, RangesAreServedAsTheStandardSays) {
  const struct {
    const char* range;  // the Range header ("" none)
    int status;
    const char* content_range;
    size_t first, count;  // the bytes the body holds
  } cases[] = {
      {"", 200, "", 0, kStart},
      {"bytes=0-99", 206, "bytes 0-99/10000", 0, 100},
      {"bytes=1000-1999", 206, "bytes 1000-1999/10000", 1000, 1000},
      {"bytes=-500", 206, "bytes 9500-9999/10000", 9500, 500},
      {"bytes=-20000", 206, "bytes 0-9999/10000", 0, kStart},
      {"bytes=9000-", 206, "bytes 9000-9999/10000", 9000, 1000},
      {"bytes=9990-20000", 206, "bytes 9990-9999/10000", 9990, 10},
      {"Bytes = 5-5", 206, "bytes 5-5/10000", 5, 1},
      {"bytes=10000-", 416, "bytes */10000", 0, 0},
      {"bytes=20000-30000", 416, "bytes */10000", 0, 0},
      {"bytes=-0", 416, "bytes */10000", 0, 0},
      // Not a range this server understands: ignored, the whole file.
      {"bytes=abc", 200, "", 0, kStart},
      {"bytes=5-3", 200, "", 0, kStart},
      {"bytes=1-2-3", 200, "", 0, kStart},
      {"bytes=+1-2", 200, "", 0, kStart},
      {"bytes=99999999999999999999-", 200, "", 0, kStart},
      {"bytes=0-9,20-29", 200, "", 0, kStart},
      {"items=0-9", 200, "", 0, kStart},
  };
  for (const auto& c : cases) {
    const std::string args = *c.range ? std::string("-H 'Range: ") + c.range + "'" : "";
    const CurlAnswer a = Curl(port_, "/recordings/1", args);
    EXPECT_EQ(a.status, c.status) << c.range;
    EXPECT_EQ(Header(a, "Content-Range"), c.content_range) << c.range;
    if (c.status != 416) {
      EXPECT_EQ(Header(a, "Accept-Ranges"), "bytes") << c.range;
      EXPECT_EQ(Header(a, "Content-Length"), std::to_string(c.count)) << c.range;
      EXPECT_TRUE(a.body == Bytes(c.first, c.count)) << c.range << ": " << a.body.size() << " bytes";
    }
  }
  // HEAD: the head of GET, no body.
  const CurlAnswer head = Curl(port_, "/recordings/1", "-I -H 'Range: bytes=1000-1999'");
  EXPECT_EQ(head.status, 206);
  EXPECT_EQ(Header(head, "Content-Length"), "1000");
  EXPECT_EQ(Header(head, "Content-Range"), "bytes 1000-1999/10000");
  EXPECT_TRUE(head.body.empty());
  EXPECT_TRUE(ClientsGone());
}

// Of a file being written: open ranges follow it, "bytes=0-" (a player's first request) is the
// whole file even before the first byte, a range with an end stays within what is there.
TEST(HttpByteRange, OfAGrowingFile) {
  const struct {
    const char* range;
    uint64_t size;
    unsigned status;
    uint64_t first;
    std::optional<uint64_t> last;
  } cases[] = {
      {nullptr, 0, 200, 0, std::nullopt},
      {"bytes=0-", 0, 200, 0, std::nullopt},
      {"bytes=0-", 1000, 200, 0, std::nullopt},
      {"bytes=100-", 1000, 206, 100, std::nullopt},
      {"bytes=100-5000", 1000, 206, 100, 999},
      {"bytes=-100", 1000, 206, 900, 999},
      {"bytes=1000-", 1000, 416, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    const HttpByteRange r = ChooseByteRange(c.range, c.size, true);
    EXPECT_EQ(r.status, c.status) << (c.range ? c.range : "none");
    if (r.status != 416) {
      EXPECT_EQ(r.first, c.first) << c.range;
      EXPECT_EQ(r.last, c.last) << c.range;
    }
  }
}

// While the recorder writes, a client gets what comes after its request, through a pause of the
// writing, and the whole file once the recorder has let it go; a `bytes=N-` client the same from N.
TEST_F(HttpFileStreamTest, ChasingClientsFollowTheGrowingFileUntilItIsClosed) {
  writing_ = true;
  auto whole = std::async(std::launch::async, [this] { return Curl(port_, "/recordings/1"); });
  auto tail = std::async(std::launch::async, [this] { return Curl(port_, "/recordings/1", "-H 'Range: bytes=4000-'"); });
  for (int i = 0; i < 100 && server_->Clients().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(server_->Clients().size(), 2u);
  size_t size = kStart;
  const auto grow = [&](int steps) {
    for (int i = 0; i < steps; ++i, size += 30000) {
      Append(size, 30000);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  };
  grow(10);
  // The tuner drops out: nothing is written for a while, the clients wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(server_->Clients().size(), 2u);
  grow(10);
  Append(size, 77);  // the last piece, not a whole packet
  size += 77;
  writing_ = false;
  const CurlAnswer w = whole.get();
  const CurlAnswer t = tail.get();
  EXPECT_EQ(w.status, 200);
  EXPECT_EQ(Header(w, "Transfer-Encoding"), "chunked");
  EXPECT_EQ(w.body.size(), size);
  EXPECT_TRUE(w.body == Bytes(0, size));
  EXPECT_EQ(t.status, 206);
  EXPECT_EQ(Header(t, "Content-Range"), "bytes 4000-9999/*");
  EXPECT_EQ(t.body.size(), size - 4000);
  EXPECT_TRUE(t.body == Bytes(4000, size - 4000));
  EXPECT_TRUE(ClientsGone());
}

// A server that stops while a client follows a recording does not pass the cut for its end.
TEST_F(HttpFileStreamTest, StoppingCutsAChaseShortVisibly) {
  writing_ = true;
  auto chase = std::async(std::launch::async, [this] { return Curl(port_, "/recordings/1"); });
  for (int i = 0; i < 100 && server_->Clients().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(server_->Clients().size(), 1u);
  server_->Stop();
  const CurlAnswer a = chase.get();
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(a.body == Bytes(0, kStart));
  EXPECT_NE(a.exit_code, 0);  // curl: the transfer ended before its end
}

}  // namespace
}  // namespace pelkan
