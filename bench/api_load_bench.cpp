// The web page's API under load beside a recording, end to end as a user runs it:
// `pelkan-cli capture --record x.ts --http 0 --epg` from the virtual tuner at the broadcast rate in a
// new home, its port read from its "serving HTTP on http://..." line and the control token from
// `pelkan-cli http url`. For the span this process sends 50 requests a second over loopback, one
// new connection each (Connection: close), as the page does: GET /api/status, /api/services,
// /api/guide?service=ID (the services in turn), /api/reservations, /api/plan and /api/rules, and
// every second a POST /api/reservations of a programme from the guide followed by its DELETE (the
// control token as Authorization: Bearer, the body JSON). Requests are sent one after another at
// fixed instants; one that answers late delays the next ones, which then follow without pause.
// The capture is then stopped with SIGINT and the recording must be whole: its report says
// "complete" with no drop, error, sync loss, FIFO overflow or failed transfer, and
// `pelkan-cli check` exits 0. The benchmark fails when it is not, or when a request is answered
// with a 5xx or not at all (5 s).
//
// Counters: requests sent, answered by status class (`s2xx`, `s4xx`, `s5xx`, `unanswered`),
// `reserved` and `removed` (the POSTs and DELETEs that went through), latency `p50_ms`/`p99_ms`
// (connect to the end of the answer), the recorder's share of a core and wake-ups over the span
// (process_figures.h), the recording's `drops`, `errors` and `whole` (1 or 0).
//
// PELKAN_API_SECONDS (default 30) is the span.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_figures.h"

namespace {

using json = nlohmann::json;
using pelkan::bench::Child;
using pelkan::bench::EnvSeconds;
using pelkan::bench::RecordCommand;
using pelkan::bench::Sample;
using pelkan::bench::Scratch;
using pelkan::bench::Take;

constexpr int kRate = 50;  // requests a second

struct Reply {
  int status = 0;  // 0: no answer
  std::string body;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The body of a chunked answer.
std::string Unchunk(const std::string& text) {
  std::string body;
  size_t at = 0;
  while (at < text.size()) {
    const size_t line_end = text.find("\r\n", at);
    if (line_end == std::string::npos) break;
    const size_t size = std::strtoul(text.c_str() + at, nullptr, 16);
    if (size == 0 || line_end + 2 + size > text.size()) break;
    body.append(text, line_end + 2, size);
    at = line_end + 2 + size + 2;
  }
  return body;
}

// One request on a new connection, the answer read to its end.
Reply Ask(uint16_t port, const std::string& method, const std::string& target, const std::string& token = {},
          const std::string& body = {}) {
  Reply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return reply;
  const timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return reply;
  }
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n";
  if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
  if (method != "GET") {
    request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      ::close(fd);
      return reply;
    }
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  std::array<char, 16384> buffer;
  ssize_t n = 0;
  while ((n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0) answer.append(buffer.data(), static_cast<size_t>(n));
  ::close(fd);
  const size_t head_end = answer.find("\r\n\r\n");
  if (n < 0 || head_end == std::string::npos || !answer.starts_with("HTTP/1.")) return reply;
  reply.status = std::atoi(answer.c_str() + answer.find(' ') + 1);
  std::string head = answer.substr(0, head_end);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  reply.body = answer.substr(head_end + 4);
  if (head.find("transfer-encoding: chunked") != std::string::npos) reply.body = Unchunk(reply.body);
  return reply;
}

std::optional<json> Json(const Reply& reply) {
  json value = json::parse(reply.body, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// The port of the capture's "serving HTTP on http://ADDRESS:PORT/" line in its errors `log`; 0 when
// it does not come within 20 s or the capture ends.
uint16_t ServedPort(const std::string& log, pid_t capture) {
  constexpr char kServing[] = "serving HTTP on http://";
  for (int i = 0; i < 200; ++i) {
    const std::string text = ReadFile(log);
    if (const size_t at = text.find(kServing); at != std::string::npos) {
      const size_t slash = text.find('/', at + sizeof kServing - 1);
      const size_t colon = text.rfind(':', slash);
      if (slash != std::string::npos && colon != std::string::npos && colon > at)
        return static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
    }
    if (::waitpid(capture, nullptr, WNOHANG) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

// The control token of `pelkan-cli http url`'s "http://HOST:PORT/#token=..." in the home `dir`.
std::string ControlToken(const std::string& dir) {
  Child url({PELKAN_CLI_PATH, "--home", dir, "http", "url"}, dir + "/url.txt");
  url.Wait();
  std::string line;
  std::getline(std::istringstream(ReadFile(dir + "/url.txt")), line);
  const size_t at = line.find("#token=");
  return at == std::string::npos ? std::string() : line.substr(at + 7);
}

// The services of the guide and a programme of one of them to reserve (the day's last, well after
// now, so that nothing of it is on air), once the guide holds one; nullopt after 60 s.
struct GuideChoice {
  std::vector<int> services;
  json event;  // {"service_id", "event_id"}
};
std::optional<GuideChoice> ChooseProgramme(uint16_t port) {
  for (int i = 0; i < 120; ++i) {
    GuideChoice choice;
    if (const auto services = Json(Ask(port, "GET", "/api/services"))) {
      for (const json& s : services->value("services", json::array())) choice.services.push_back(s.value("service_id", 0));
    }
    for (const int id : choice.services) {
      const auto guide = Json(Ask(port, "GET", "/api/guide?service=" + std::to_string(id)));
      const json events = guide ? guide->value("events", json::array()) : json::array();
      if (events.size() >= 2) {
        choice.event = {{"service_id", events.back()["service_id"]}, {"event_id", events.back()["event_id"]}};
        return choice;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return std::nullopt;
}

// What the recorder's report says of the recording; empty when it is whole.
std::string ReportProblem(const std::string& report, double* drops, double* errors) {
  std::istringstream lines(report);
  std::string line, problem = report.empty() ? "no report" : "";
  bool complete = false;
  while (std::getline(lines, line)) {
    const auto value = [&line](const char* key) { return std::strtod(line.c_str() + line.find(key) + std::strlen(key), nullptr); };
    if (line.starts_with("result ")) complete = line.find("complete") != std::string::npos;
    if (line.starts_with("total ")) {
      *drops = value("drop ");
      *errors = value("error ");
    }
    for (const char* key : {"sync losses", "FIFO overflows (R)", "failed transfers"}) {
      if (line.starts_with(key) && value(key) != 0) problem += line + "; ";
    }
  }
  if (!complete) problem += "the result is not complete; ";
  if (*drops != 0 || *errors != 0) problem += "drops or errors; ";
  return problem;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

void BM_ApiBesideRecording(benchmark::State& state) {
  const double span = EnvSeconds("PELKAN_API_SECONDS", 30);
  for (auto _ : state) {
    const Scratch scratch;
    if (scratch.dir.empty()) {
      state.SkipWithError("no temporary folder");
      break;
    }
    std::vector<std::string> command = RecordCommand(scratch.dir, "x.ts");
    command.insert(command.end(), {"--http", "0", "--epg"});
    Child recorder(command, "/dev/null", scratch.dir + "/capture.log");
    const uint16_t port = recorder.pid() > 0 ? ServedPort(scratch.dir + "/capture.log", recorder.pid()) : 0;
    if (port == 0) {
      state.SkipWithError("pelkan-cli capture --http does not serve");
      break;
    }
    const std::string token = ControlToken(scratch.dir);
    const std::optional<GuideChoice> guide = ChooseProgramme(port);
    if (token.empty() || !guide) {
      state.SkipWithError(token.empty() ? "no control token from pelkan-cli http url" : "no programme in the guide");
      break;
    }
    const std::vector<std::string> reads = {"/api/status", "/api/services", "", "/api/reservations",
                                            "/api/plan", "/api/rules"};
    const std::string reserve = json({{"event", guide->event}}).dump();
    std::array<double, 6> classes{};  // by status / 100; 0: no answer
    double reserved = 0, removed = 0;
    std::vector<double> latencies;
    std::optional<json> expect;  // of the reservation made, until it is removed
    size_t next_service = 0;
    const Sample before = Take(recorder.pid());
    const auto t0 = std::chrono::steady_clock::now();
    const int total = static_cast<int>(span * kRate);
    for (int i = 0; i < total; ++i) {
      std::this_thread::sleep_until(t0 + std::chrono::microseconds(1000000LL * i / kRate));
      const auto sent = std::chrono::steady_clock::now();
      Reply reply;
      if (i % kRate == 0) {
        reply = Ask(port, "POST", "/api/reservations", token, reserve);
        const auto added = reply.status == 201 ? Json(reply) : std::nullopt;
        if (added && added->contains("added")) {
          expect = (*added)["added"]["expect"];
          ++reserved;
        }
      } else if (i % kRate == 1 && expect) {
        // The reservations began empty: the one made is the first.
        reply = Ask(port, "DELETE", "/api/reservations/1", token, json({{"expect", *expect}}).dump());
        if (reply.status == 200) {
          expect.reset();
          ++removed;
        }
      } else {
        std::string target = reads[static_cast<size_t>(i) % reads.size()];
        if (target.empty()) target = "/api/guide?service=" + std::to_string(guide->services[next_service++ % guide->services.size()]);
        reply = Ask(port, "GET", target);
      }
      latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
      classes[static_cast<size_t>(std::clamp(reply.status / 100, 0, 5))] += 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const Sample after = Take(recorder.pid());
    recorder.Stop();
    state.SetIterationTime(seconds);

    double drops = -1, errors = -1;
    std::string problem = ReportProblem(ReadFile(scratch.dir + "/x.ts.err"), &drops, &errors);
    Child check({PELKAN_CLI_PATH, "check", scratch.dir + "/x.ts"});
    if (check.Wait() != 0) problem += "pelkan-cli check does not pass; ";
    state.counters["requests"] = total;
    state.counters["per_s"] = total / seconds;
    state.counters["s2xx"] = classes[2];
    state.counters["s4xx"] = classes[4];
    state.counters["s5xx"] = classes[5];
    state.counters["unanswered"] = classes[0];
    state.counters["reserved"] = reserved;
    state.counters["removed"] = removed;
    state.counters["p50_ms"] = Percentile(latencies, 0.5);
    state.counters["p99_ms"] = Percentile(latencies, 0.99);
    state.counters["recorder_pct"] = (after.cpu - before.cpu) / seconds * 100;
    state.counters["recorder_wakeups_per_s"] = (after.wakeups - before.wakeups) / seconds;
    state.counters["drops"] = drops;
    state.counters["errors"] = errors;
    state.counters["whole"] = problem.empty() ? 1 : 0;
    if (!problem.empty()) {
      state.SkipWithError(("the recording is not whole: " + problem).c_str());
    } else if (classes[5] > 0 || classes[0] > 0) {
      state.SkipWithError("a request was answered with 5xx or not at all");
    }
  }
}
BENCHMARK(BM_ApiBesideRecording)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
