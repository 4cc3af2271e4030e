// The HTTP server over loopback: the answers to good and hostile requests, a service's stream
// through its own filter starting with its tables, a slow client that loses only its own data, a
// client that hangs up, the client limit, and stopping while clients wait.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output/http_stream_server.h"
#include "tests/support/http_exchange.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::TsBuilder;

// Two services: 1 (PMT 0x100, video 0x101) and 2 (PMT 0x200, video 0x201).
const std::vector<ProgramListEntry> kPrograms = {{1, 0x100}, {2, 0x200}};

int Connect(uint16_t port, int receive_buffer = 0) {
  return test::ConnectLoopback(port, receive_buffer);
}

// Reads until the peer closes, `limit` bytes have come, or `ms` pass.
std::string ReadSome(int fd, size_t limit, int ms) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char buf[65536];
  while (out.size() < limit) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The status code of the answer to `request` ("" when the server answered nothing); *closed (if
// given) tells whether the server closed the connection after its answer.
std::string StatusOf(uint16_t port, const std::string& request, bool* closed = nullptr) {
  const int fd = Connect(port);
  if (fd < 0) return "no connection";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer = ReadSome(fd, 12, 3000);
  if (closed) {
    answer += ReadSome(fd, 1 << 20, 3000);
    char byte;
    *closed = recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
  }
  close(fd);
  return answer.size() >= 12 ? answer.substr(9, 3) : "";
}

// A numbered packet's number (its first four payload bytes).
uint32_t NumberAt(const std::string& s, size_t off) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data() + off + 4);
  return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// This process's resident memory in KiB.
long ResidentKiB() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The body of a stream response, de-chunked by curl: the first `bytes` of `path`.
std::string Fetch(uint16_t port, const std::string& path, size_t bytes) {
  const std::string cmd = "curl -s --max-time 10 http://127.0.0.1:" + std::to_string(port) + path +
                          " | head -c " + std::to_string(bytes);
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

uint16_t PidAt(const std::string& s, size_t off) {
  return static_cast<uint16_t>((s[off + 1] & 0x1F) << 8 | static_cast<uint8_t>(s[off + 2]));
}

// A server with the two services' tables known, fed by a producer thread of numbered packets
// (the packet's number in its first payload bytes) for as long as the test runs.
class HttpServerTest : public ::testing::Test {
 protected:
  void StartServer(HttpServerConfig config, std::function<HttpDocument()> guide = [] { return HttpDocument(); }) {
    HttpPages pages;
    pages.status = [] { return std::string("{\"ok\":1}"); };
    pages.guide = std::move(guide);
    pages.playlist = [](const std::string& base, const std::string& query) { return "#EXTM3U\n" + base + "/service/1" + query + "\n"; };
    server_ = std::make_unique<HttpStreamServer>(std::move(pages));
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_->Start(config, &error)) << error;
    port_ = server_->port();
    server_->SetProgramList(kPrograms);
    const ComponentEntry video1{0x02, 0x101}, video2{0x02, 0x201};
    server_->SetComponents(1, {&video1, 1});
    server_->SetComponents(2, {&video2, 1});
    TsBuilder tables;
    tables.Section(0, test::PatSection(1, 0, {{1, 0x100}, {2, 0x200}}));
    tables.Section(0x100, test::PmtSection(1, 0, 0x101, {{0x02, 0x101, {}}}));
    tables.Section(0x200, test::PmtSection(2, 0, 0x201, {{0x02, 0x201, {}}}));
    Write(tables.bytes());
  }

  void Write(const Bytes& packets) {
    for (size_t off = 0; off < packets.size(); off += 188) server_->WritePacket(packets.data() + off, 188);
  }

  // Numbered video packets of both services, `per_ms` a millisecond, until StopProducer.
  void StartProducer(int per_ms) {
    producer_ = std::thread([this, per_ms] {
      TsBuilder b;
      uint32_t number = 0;
      while (!stop_.load()) {
        for (int i = 0; i < per_ms; ++i, ++number) {
          const Bytes payload = {uint8_t(number >> 24), uint8_t(number >> 16), uint8_t(number >> 8), uint8_t(number)};
          TsBuilder one;
          one.Packet(number % 2 ? 0x201 : 0x101, payload);
          Write(one.bytes());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  void StopProducer() {
    stop_.store(true);
    if (producer_.joinable()) producer_.join();
  }
  void TearDown() override {
    StopProducer();
    if (server_) server_->Stop();
  }

  std::unique_ptr<HttpStreamServer> server_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread producer_;
};

TEST_F(HttpServerTest, AnswersGoodBadAndHostileRequests) {
  StartServer({});
  const std::string big(HttpStreamServer::kHeaderMemory * 2, 'a');
  const struct {
    const char* what;
    std::string request;
    std::string status;
  } cases[] = {
      {"status page", "GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n", "200"},
      {"playlist", "GET /playlist.m3u HTTP/1.1\r\nHost: localhost\r\n\r\n", "200"},
      {"no guide", "GET /guide.xml HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"unknown path", "GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"path above", "GET /../etc/passwd HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"service 0", "GET /service/0 HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"service past 65535", "GET /service/65536 HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"service not a number", "GET /service/1x HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"service not in the PAT", "GET /service/3 HTTP/1.1\r\nHost: localhost\r\n\r\n", "404"},
      {"POST", "POST /stream HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc", "405"},
      {"GET with a body", "GET /status HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc", "413"},
      {"GET with chunks", "GET /status HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "413"},
      {"DELETE", "DELETE /status HTTP/1.1\r\nHost: localhost\r\n\r\n", "405"},
      {"no request line: dropped unanswered", "GARBAGE\r\n\r\n", ""},
      {"header line without colon", "GET /status HTTP/1.1\r\nHost: localhost\r\nNoColon\r\n\r\n", "400"},
      {"no HTTP version", "GET /status FOO/1.1\r\nHost: localhost\r\n\r\n", "400"},
      {"unknown HTTP version", "GET /status HTTP/9.9\r\nHost: localhost\r\n\r\n", "505"},
      {"bad length", "GET /status HTTP/1.1\r\nHost: localhost\r\nContent-Length: abc\r\n\r\n", "400"},
      {"HTTP/1.1 without Host", "GET /status HTTP/1.1\r\n\r\n", "400"},
      {"oversized header", "GET /status HTTP/1.1\r\nHost: localhost\r\nX-Big: " + big + "\r\n\r\n", "431"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusOf(port_, c.request), c.status) << c.what;
  EXPECT_TRUE(server_->Clients().empty());
}

// Only a loopback address keeps the server to this computer; any other opens it to the network.
TEST(HttpServerAddress, OnlyLoopbackAddressesStayOnThisComputer) {
  const struct {
    const char* address;
    bool loopback;
  } cases[] = {{"127.0.0.1", true},   {"127.1.2.3", true},      {"::1", true},      {"::ffff:127.0.0.1", true},
               {"0.0.0.0", false},    {"::", false},            {"192.168.1.5", false}, {"fe80::1", false},
               {"128.0.0.1", false},  {"localhost", false}};
  for (const auto& c : cases) EXPECT_EQ(IsLoopbackAddress(c.address), c.loopback) << c.address;
}

TEST_F(HttpServerTest, SlowHeaderSenderIsDroppedAfterTheTimeOut) {
  HttpServerConfig config;
  config.header_timeout_ms = 400;
  StartServer(config);
  const int fd = Connect(port_);
  ASSERT_GE(fd, 0);
  const std::string request = "GET /status HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  // A byte every 100 ms, which keeps any idle time-out from firing, for at most 4 s.
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) {
    if (send(fd, "a", 1, MSG_NOSIGNAL) != 1) {
      closed = true;
      break;
    }
    pollfd p{fd, POLLIN, 0};
    char answer[512];
    if (poll(&p, 1, 100) > 0 && recv(fd, answer, sizeof answer, 0) <= 0) closed = true;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_TRUE(closed);
  EXPECT_GE(took, std::chrono::milliseconds(config.header_timeout_ms));
}

TEST_F(HttpServerTest, ServiceStreamStartsWithItsTablesAndCarriesOnlyItsPids) {
  StartServer({});
  StartProducer(20);
  const size_t bytes = 188 * 400;
  const std::string service = Fetch(port_, "/service/1", bytes);
  const std::string whole = Fetch(port_, "/stream", bytes);
  ASSERT_EQ(service.size(), bytes);
  ASSERT_EQ(whole.size(), bytes);
  for (size_t off = 0; off < bytes; off += 188) {
    ASSERT_EQ(service[off], 0x47) << off;
    EXPECT_NE(PidAt(service, off), 0x201) << off;
    EXPECT_NE(PidAt(service, off), 0x200) << off;
  }
  // The PAT first, rewritten to the one programme (section length 13: one entry), then its PMT.
  EXPECT_EQ(PidAt(service, 0), 0);
  EXPECT_EQ(static_cast<uint8_t>(service[7]), 13);
  EXPECT_EQ((static_cast<uint8_t>(service[13]) << 8) | static_cast<uint8_t>(service[14]), 1);
  EXPECT_EQ(PidAt(service, 188), 0x100);
  // The whole stream starts with the whole PAT and both PMTs, and carries both services.
  EXPECT_EQ(PidAt(whole, 0), 0);
  EXPECT_EQ(static_cast<uint8_t>(whole[7]), 17);
  bool other = false;
  for (size_t off = 0; off < bytes; off += 188) other = other || PidAt(whole, off) == 0x201;
  EXPECT_TRUE(other);
}

TEST_F(HttpServerTest, SlowClientLosesItsOwnDataAndHangUpEndsItAtOnce) {
  HttpServerConfig config;
  config.queue_bytes = 1u << 20;
  StartServer(config);
  // A client that asks and then reads nothing, with a small socket buffer.
  const int slow = Connect(port_, 4096);
  ASSERT_GE(slow, 0);
  const std::string request = "GET /stream HTTP/1.1\r\nHost: localhost\r\n\r\n";
  send(slow, request.data(), request.size(), MSG_NOSIGNAL);
  for (int i = 0; i < 100 && server_->Clients().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server_->Clients().size(), 1u);
  StartProducer(20);  // about 3.8 MB/s, twice a broadcast's rate
  // The other client takes its share whole: the numbers of its packets follow each other.
  const std::string fast = Fetch(port_, "/service/1", 188 * 10000);
  ASSERT_EQ(fast.size(), 188u * 10000);
  // The fast client has hung up: it goes with the next packets.
  for (int i = 0; i < 200 && server_->Clients().size() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  uint32_t last = 0;
  int numbered = 0, gaps = 0;
  for (size_t off = 0; off < fast.size(); off += 188) {
    if (PidAt(fast, off) != 0x101) continue;
    const auto* p = reinterpret_cast<const uint8_t*>(fast.data() + off + 4);
    const uint32_t number = uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
    if (numbered++ > 0 && number != last + 2) ++gaps;
    last = number;
  }
  EXPECT_EQ(gaps, 0);
  std::vector<HttpClientInfo> clients = server_->Clients();
  for (int i = 0; i < 500 && clients.size() == 1 && clients[0].bytes_lost == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    clients = server_->Clients();
  }
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_GT(clients[0].bytes_lost, 0u);
  EXPECT_EQ(clients[0].path, "/stream");
  // Hanging up ends the client without waiting for the stream.
  StopProducer();
  close(slow);
  for (int i = 0; i < 200 && !server_->Clients().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(server_->Clients().empty());
}

// Packets are handed to the clients in batches; the last few before the stream goes quiet still
// reach a client (after its read wait), after the tables it starts with.
TEST_F(HttpServerTest, LastPacketsReachAClientWhenTheStreamGoesQuiet) {
  StartServer({});
  const int fd = Connect(port_);
  ASSERT_GE(fd, 0);
  const std::string request = "GET /stream HTTP/1.1\r\nHost: localhost\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  for (int i = 0; i < 300 && server_->Clients().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server_->Clients().size(), 1u);
  TsBuilder b;
  for (uint8_t number = 1; number <= 5; ++number) b.Packet(0x101, {0, 0, 0, number});
  Write(b.bytes());
  const std::string last(b.bytes().end() - 188, b.bytes().end());
  std::string got;
  for (int i = 0; i < 50 && got.find(last) == std::string::npos; ++i) got += ReadSome(fd, 1 << 20, 100);
  close(fd);
  const size_t at = got.find(last);
  ASSERT_NE(at, std::string::npos);
  // The stream starts with the PAT (its first payload byte the pointer, then table 0).
  const size_t pat = got.find(std::string("\x47\x40\x00", 3));
  ASSERT_NE(pat, std::string::npos);
  EXPECT_LT(pat, at);
}

// Clients of a quiet stream wait suspended; stopping the server still ends and closes each one.
TEST_F(HttpServerTest, StopClosesClientsThatWaitForData) {
  StartServer({});
  std::vector<int> fds;
  for (const char* path : {"/stream", "/service/1"}) {
    fds.push_back(Connect(port_));
    ASSERT_GE(fds.back(), 0);
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    send(fds.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  for (int i = 0; i < 300 && server_->Clients().size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(server_->Clients().size(), 2u);
  // The tables they start with, and then nothing for a few cycles.
  for (const int fd : fds) EXPECT_FALSE(ReadSome(fd, 1 << 20, 300).empty());
  server_->Stop();
  for (const int fd : fds) {
    ReadSome(fd, 1 << 20, 5000);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "the connection is still open";
    close(fd);
  }
  EXPECT_TRUE(server_->Clients().empty());
}

TEST_F(HttpServerTest, ClientPastTheLimitGets503) {
  HttpServerConfig config;
  config.max_clients = 1;
  StartServer(config);
  const int first = Connect(port_);
  const std::string request = "GET /stream HTTP/1.1\r\nHost: localhost\r\n\r\n";
  send(first, request.data(), request.size(), MSG_NOSIGNAL);
  for (int i = 0; i < 100 && server_->Clients().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bool closed = false;
  EXPECT_EQ(StatusOf(port_, request, &closed), "503");
  EXPECT_TRUE(closed) << "a 503 keeps its connection";
  close(first);
}

// A stream client beside what could hold up the serving thread: repeated requests for a large guide
// that takes long to make (some never read), and twenty clients trickling request bodies. The stream
// client loses nothing, /status answers throughout, the tricklers are refused at their header and
// let go, no more documents are made at once than the bound, and the guide is never copied per
// request.
TEST_F(HttpServerTest, DocumentsAndTrickledBodiesNeverHoldUpAStreamClient) {
  const auto guide = std::make_shared<const std::string>(std::string(24u << 20, 'g'));
  std::atomic<int> making{0}, most{0};
  StartServer({}, [&] {
    const int now = ++making;
    for (int m = most.load(); now > m && !most.compare_exchange_weak(m, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    --making;
    return guide;
  });
  StartProducer(20);
  const long resident_before = ResidentKiB();
  std::atomic<long> resident_most{resident_before};
  std::atomic<bool> done{false};

  // Twenty clients announce a large body and trickle it, a byte every 50 ms for at most 3 s.
  std::atomic<int> refused{0};
  std::vector<std::thread> tricklers;
  for (int i = 0; i < 20; ++i) {
    tricklers.emplace_back([&] {
      const int fd = Connect(port_);
      if (fd < 0) return;
      const std::string header = "POST /stream HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1000000\r\n\r\n";
      send(fd, header.data(), header.size(), MSG_NOSIGNAL);
      std::string answer;
      for (int n = 0; n < 60; ++n) {
        if (send(fd, "a", 1, MSG_NOSIGNAL) != 1) break;
        const std::string more = ReadSome(fd, 1 << 16, 50);
        answer += more;
        if (answer.size() >= 12 && more.empty()) break;
      }
      if (answer.compare(0, 12, "HTTP/1.1 405") == 0) ++refused;
      close(fd);
    });
  }
  // Guide readers: three that read it whole, twice each, and three that ask and never read.
  std::vector<std::thread> readers;
  std::atomic<int> whole{0};
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      for (int n = 0; n < 2; ++n) {
        // Counted by curl, not kept here: only the server's memory is measured.
        const std::string cmd = "curl -s --max-time 20 -o /dev/null -w '%{http_code} %{size_download}' http://127.0.0.1:" +
                                std::to_string(port_) + "/guide.xml";
        char line[64] = "";
        FILE* p = popen(cmd.c_str(), "r");
        if (std::fgets(line, sizeof line, p) == nullptr) line[0] = '\0';
        pclose(p);
        if (std::string(line) == "200 " + std::to_string(guide->size())) ++whole;
      }
    });
  }
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(Connect(port_, 4096));
    const std::string request = "GET /guide.xml HTTP/1.1\r\nHost: localhost\r\n\r\n";
    send(idle.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  std::thread watcher([&] {
    while (!done.load()) {
      const long now = ResidentKiB();
      for (long m = resident_most.load(); now > m && !resident_most.compare_exchange_weak(m, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::string> statuses;
  std::thread status([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 10; ++i) {
      statuses.push_back(StatusOf(port_, "GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });

  // The stream client: service 1's numbered packets, in order, for about four seconds.
  const std::string stream = Fetch(port_, "/service/1", 188 * 40000);
  for (std::thread& t : tricklers) t.join();
  for (std::thread& t : readers) t.join();
  status.join();
  done.store(true);
  watcher.join();
  for (const int fd : idle) close(fd);

  ASSERT_EQ(stream.size(), 188u * 40000);
  uint32_t last = 0;
  int numbered = 0, gaps = 0;
  for (size_t off = 0; off < stream.size(); off += 188) {
    if (PidAt(stream, off) != 0x101) continue;
    const uint32_t number = NumberAt(stream, off);
    if (numbered++ > 0 && number != last + 2) ++gaps;
    last = number;
  }
  EXPECT_EQ(gaps, 0);
  EXPECT_GT(numbered, 30000);
  for (const std::string& code : statuses) EXPECT_EQ(code, "200");
  EXPECT_EQ(statuses.size(), 10u);
  EXPECT_EQ(refused.load(), 20);
  EXPECT_EQ(whole.load(), 6);
  EXPECT_LE(most.load(), static_cast<int>(HttpStreamServer::kDocumentBuilders));
  // Nine requests of a 24 MiB document: a copy each would be over 200 MiB.
  EXPECT_LT(resident_most.load() - resident_before, 120L * 1024) << "KiB";
}

}  // namespace
}  // namespace pelkan
