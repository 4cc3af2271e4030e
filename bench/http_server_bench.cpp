// What serving the stream over HTTP costs: the HTTP server fed the synthetic broadcast at the
// broadcast rate, in blocks as the capture's processing thread feeds it, while a recording of it
// grows on disk, with 0 or 8 clients (curl processes writing to /dev/null, so their own reading is
// not counted) of the whole stream (/stream, the second argument 0) or of the recording being
// written (/recordings/1 chasing it, 1).
//
// Reports the process's CPU time as a share of one core (pct_of_core; user_pct of it outside the
// kernel, the rest mostly the loopback network's work for both ends) over a fixed span, its
// threads' wake-ups a second (wakeups_per_s: voluntary context switches, the producer's own
// included), the bytes the clients were sent (MB_sent) and lost (MB_lost). The clients' cost is pct_of_core of
// the 8-client run less that of the 0-client run; chasing against /stream is the 8-client runs'
// difference. The span is PELKAN_HTTP_SECONDS (default 10).
//
// BM_BareLoopbackAtBroadcastRate is the floor beneath it: the same rate written straight to eight
// sockets in blocks of the given size (the server's sends to a client of /stream are about
// 530 KB, what 250 ms of the broadcast brings; to a chasing client about 200 KiB), read by child
// processes that throw the bytes away; what it costs is the kernel's loopback path alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "output/http_file_stream.h"
#include "output/http_stream_server.h"
#include "streamgen/broadcast_generator.h"
#include "usb/driver_config.h"

namespace pelkan {
namespace {

constexpr uint64_t kBroadcastRate = usb::kDefaultVirtualBitRate;  // 17 Mbit/s
constexpr size_t kBlock = 0x8000 / 188 * 188;                      // about what the processor hands on at once

// User and system seconds of the process.
std::pair<double, double> CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6,
          static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6};
}

// The times the process's threads have gone to sleep of their own accord.
double WakeUps() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_nvcsw);
}

double SpanSeconds() {
  const char* text = std::getenv("PELKAN_HTTP_SECONDS");
  const double s = text ? std::strtod(text, nullptr) : 0;
  return s >= 2 ? s : 10;
}

// About two seconds of the synthetic broadcast, played in a loop.
const std::vector<uint8_t>& Broadcast() {
  static const std::vector<uint8_t> bytes = [] {
    streamgen::BroadcastGenerator generator{streamgen::GeneratorOptions{}};
    std::vector<uint8_t> out(kBlock * 130);
    generator.Read(out.data(), out.size());
    return out;
  }();
  return bytes;
}

void BM_HttpClientsAtBroadcastRate(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  const bool chasing = state.range(1) != 0;
  const std::vector<uint8_t>& broadcast = Broadcast();
  for (auto _ : state) {
    // The recording, written as the stream comes; served as recording 1 while it is written.
    char path[] = "/tmp/pelkan-http-bench-XXXXXX";
    const int file = mkstemp(path);
    std::atomic<bool> writing{true};
    HttpPages pages;
    pages.site = [&](const HttpRequest&) {
      auto source = std::make_shared<HttpFileSource>();
      source->path = path;
      source->name = "/recordings/1";
      source->writing = [&writing] { return writing.load(); };
      HttpReply reply;
      reply.file = std::move(source);
      return reply;
    };
    HttpStreamServer server(std::move(pages));
    HttpServerConfig config;
    std::string error;
    if (file < 0 || !server.Start(config, &error)) {
      state.SkipWithError(file < 0 ? "cannot make a file in /tmp" : error.c_str());
      return;
    }
    std::vector<FILE*> readers;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + (chasing ? "/recordings/1" : "/stream");
    for (int i = 0; i < clients; ++i) readers.push_back(popen(("curl -s -o /dev/null " + url).c_str(), "r"));
    while (static_cast<int>(server.Clients().size()) < clients) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto interval = std::chrono::duration<double>(kBlock * 8.0 / kBroadcastRate);
    const double span = SpanSeconds();
    const auto [user0, system0] = CpuSeconds();
    const double wakeups0 = WakeUps();
    const auto start = std::chrono::steady_clock::now();
    auto due = start;
    size_t at = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(span)) {
      for (size_t off = 0; off < kBlock; off += 188) server.WritePacket(broadcast.data() + at + off, 188);
      if (write(file, broadcast.data() + at, kBlock) != static_cast<ssize_t>(kBlock)) break;
      at = (at + kBlock) % broadcast.size();
      due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
      std::this_thread::sleep_until(due);
    }
    const auto [user1, system1] = CpuSeconds();
    const double wakeups = WakeUps() - wakeups0;
    const double user = user1 - user0, system = system1 - system0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t sent = 0, lost = 0;
    for (const HttpClientInfo& c : server.Clients()) {
      sent += c.bytes_sent;
      lost += c.bytes_lost;
    }
    writing = false;
    server.Stop();
    for (FILE* r : readers) pclose(r);
    close(file);
    unlink(path);
    state.SetIterationTime(wall);
    state.counters["pct_of_core"] = 100.0 * (user + system) / wall;
    state.counters["user_pct"] = 100.0 * user / wall;
    state.counters["wakeups_per_s"] = wakeups / wall;
    state.counters["MB_sent"] = static_cast<double>(sent) / 1e6;
    state.counters["MB_lost"] = static_cast<double>(lost) / 1e6;
  }
}
BENCHMARK(BM_HttpClientsAtBroadcastRate)
    ->ArgNames({"clients", "chasing"})
    ->Args({0, 0})
    ->Args({8, 0})
    ->Args({8, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// What a request on a new connection costs the server's process: GET /status, one connection each
// (Connection: close), as the web page's API requests come; the client's side (connect, send, read
// the answer) runs in this process too, so only differences between builds count. Reports CPU
// microseconds a request (cpu_us_per_request).
void BM_HttpRequestsOnNewConnections(benchmark::State& state) {
  constexpr int kRequests = 2000;
  HttpPages pages;
  pages.status = [] { return std::string("{\"ok\":1}"); };
  HttpStreamServer server(std::move(pages));
  std::string error;
  if (!server.Start(HttpServerConfig{}, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(server.port());
  const std::string request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  for (auto _ : state) {
    const auto [user0, system0] = CpuSeconds();
    int answered = 0;
    for (int i = 0; i < kRequests; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char answer[4096];
        ssize_t n = 0, total = 0;
        while ((n = read(fd, answer, sizeof answer)) > 0) total += n;
        if (total > 0) ++answered;
      }
      close(fd);
    }
    const auto [user1, system1] = CpuSeconds();
    state.counters["cpu_us_per_request"] = 1e6 * (user1 - user0 + system1 - system0) / kRequests;
    state.counters["answered"] = answered;
  }
  server.Stop();
}
BENCHMARK(BM_HttpRequestsOnNewConnections)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_BareLoopbackAtBroadcastRate(benchmark::State& state) {
  constexpr int kClients = 8;
  const auto block = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, kClients) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      state.SkipWithError("cannot listen on loopback");
      return;
    }
    std::vector<pid_t> readers;
    for (int i = 0; i < kClients; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
          static char sink[1 << 16];
          while (read(fd, sink, sizeof sink) > 0) {
          }
        }
        _exit(0);
      }
      readers.push_back(pid);
    }
    std::vector<int> sockets;
    for (int i = 0; i < kClients; ++i) sockets.push_back(accept(listener, nullptr, nullptr));
    const std::vector<uint8_t> bytes(block, 0x47);
    const auto interval = std::chrono::duration<double>(static_cast<double>(block) * 8.0 / kBroadcastRate);
    const double span = SpanSeconds();
    const auto [user0, system0] = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    auto due = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(span)) {
      for (const int fd : sockets) {
        for (size_t off = 0; off < block;) {
          const ssize_t n = send(fd, bytes.data() + off, block - off, MSG_NOSIGNAL);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
      }
      due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
      std::this_thread::sleep_until(due);
    }
    const auto [user1, system1] = CpuSeconds();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const int fd : sockets) close(fd);
    close(listener);
    for (const pid_t pid : readers) waitpid(pid, nullptr, 0);
    state.SetIterationTime(wall);
    state.counters["pct_of_core"] = 100.0 * (user1 - user0 + system1 - system0) / wall;
    state.counters["user_pct"] = 100.0 * (user1 - user0) / wall;
  }
}
BENCHMARK(BM_BareLoopbackAtBroadcastRate)
    ->Arg(64 << 10)
    ->Arg(128 << 10)
    ->Arg(256 << 10)
    ->Arg(512 << 10)
    ->Arg(1 << 20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pelkan
