// The sender of the whole stream over connected sockets: every client gets whole packets in order,
// the slow ones losing only their oldest (counted), whatever part of a send its socket took; a
// client that hangs up or takes nothing for the idle time is let go.
#include "output/http_stream_sender.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace pelkan {
namespace {

using Clock = std::chrono::steady_clock;

// `count` 188-byte packets, each carrying its running number in its first payload bytes.
std::vector<uint8_t> Packets(size_t count, uint32_t* number) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i, ++*number) {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[4] = static_cast<uint8_t>(*number >> 8);
    p[5] = static_cast<uint8_t>(*number);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// One client: the sender writes to `ours`, the test reads `theirs`.
struct Peer {
  int ours = -1, theirs = -1;
  std::unique_ptr<HttpStreamRing::Reader> reader;
  std::atomic<uint64_t> sent{0};
  std::string got;

  explicit Peer(int buffer) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    ours = fds[0];
    theirs = fds[1];
    if (buffer > 0) setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  }
  ~Peer() {
    if (ours >= 0) close(ours);
    if (theirs >= 0) close(theirs);
  }
  void Read(size_t most) {
    char buf[4096];
    while (most > 0) {
      const ssize_t n = recv(theirs, buf, std::min(sizeof buf, most), MSG_DONTWAIT);
      if (n <= 0) return;
      got.append(buf, static_cast<size_t>(n));
      most -= static_cast<size_t>(n);
    }
  }
};

TEST(HttpStreamSender, EachClientGetsWholePacketsInOrderLosingOnlyItsOldest) {
  struct Case {
    const char* name;
    int buffer;         // the socket's send buffer (0: the system's)
    size_t read_bytes;  // what the client reads between cycles
    bool loses;
  };
  const Case cases[] = {
      {"reads everything", 0, SIZE_MAX, false},
      {"small buffer: sends taken in part, caught up while the stream is quiet", 4096, 6000, false},
      {"reads far less than comes", 4096, 700, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr uint32_t kBound = 40 * 188;
    HttpStreamRing ring(kBound + 129 * 204);
    HttpStreamSender sender(ring, std::chrono::seconds(30));
    // Two clients in step beside the one of the case, so that sends from the shared copy are tried.
    std::vector<std::unique_ptr<Peer>> peers;
    peers.push_back(std::make_unique<Peer>(c.buffer));
    peers.push_back(std::make_unique<Peer>(0));
    peers.push_back(std::make_unique<Peer>(0));
    uint32_t number = 0;
    for (size_t i = 0; i < peers.size(); ++i) {
      Peer& peer = *peers[i];
      ASSERT_GE(peer.ours, 0);
      peer.reader = ring.Attach(kBound, 0);
      const std::vector<uint8_t> lead = Packets(1, &number);  // its own first packet
      peer.reader->Lead(lead.data(), 188);
      sender.Add(i, peer.ours, peer.reader.get(), &peer.sent);
    }
    const uint32_t first_shared = number;
    // 30 cycles of 25 packets (4,700 bytes), then 40 quiet ones.
    for (int cycle = 0; cycle < 70; ++cycle) {
      if (cycle < 30) ring.Write(Packets(25, &number).data(), 25, 188);
      EXPECT_TRUE(sender.Cycle(Clock::now()).empty()) << "cycle " << cycle;
      for (size_t i = 0; i < peers.size(); ++i) peers[i]->Read(i == 0 ? c.read_bytes : SIZE_MAX);
    }
    for (size_t i = 0; i < peers.size(); ++i) {
      SCOPED_TRACE(i);
      const Peer& peer = *peers[i];
      const std::string& got = peer.got;
      ASSERT_EQ(got.size() % 188, 0u);
      ASSERT_GE(got.size(), 188u);
      EXPECT_EQ(peer.sent.load(), got.size());
      // Its own packet, then shared ones in order, with gaps only where it lost some.
      EXPECT_EQ(static_cast<uint8_t>(got[5]), i);
      uint32_t last = first_shared - 1;
      size_t packets = 0;
      for (size_t off = 188; off < got.size(); off += 188, ++packets) {
        ASSERT_EQ(static_cast<uint8_t>(got[off]), 0x47) << off;
        const uint32_t n = static_cast<uint8_t>(got[off + 4]) << 8 | static_cast<uint8_t>(got[off + 5]);
        ASSERT_GT(n, last) << off;
        if (!c.loses || i > 0) {
          ASSERT_EQ(n, last + 1) << off;
        }
        last = n;
      }
      const uint64_t lost = peer.reader->bytes_lost();
      if (c.loses && i == 0) {
        EXPECT_GT(lost, 0u);
      } else {
        EXPECT_EQ(lost, 0u);
      }
      // Everything came but what was lost.
      EXPECT_EQ(got.size() - 188 + lost, (number - first_shared) * 188u);
      if (!c.loses || i > 0) {
        EXPECT_EQ(last, number - 1);
      }
    }
  }
}

TEST(HttpStreamSender, ClientThatHangsUpOrTakesNothingIsLetGo) {
  HttpStreamRing ring(64 * 188);
  HttpStreamSender sender(ring, std::chrono::seconds(30));
  Peer staying(0), leaving(0), stuck(4096);
  for (Peer* p : {&staying, &leaving, &stuck}) p->reader = ring.Attach(32 * 188, 0);
  sender.Add(1, staying.ours, staying.reader.get(), &staying.sent);
  sender.Add(2, leaving.ours, leaving.reader.get(), &leaving.sent);
  sender.Add(3, stuck.ours, stuck.reader.get(), &stuck.sent);
  uint32_t number = 0;
  ring.Write(Packets(60, &number).data(), 60, 188);
  EXPECT_TRUE(sender.Cycle(Clock::now()).empty());
  // The peer hangs up with the stream quiet: let go at the next cycle.
  close(leaving.theirs);
  leaving.theirs = -1;
  EXPECT_EQ(sender.Cycle(Clock::now()), std::vector<uint64_t>{2});
  // The stuck client has not taken a byte since before the idle time: let go; the others stay.
  staying.Read(SIZE_MAX);
  ring.Write(Packets(10, &number).data(), 10, 188);
  EXPECT_EQ(sender.Cycle(Clock::now() + std::chrono::seconds(31)), std::vector<uint64_t>{3});
  EXPECT_FALSE(sender.empty());
  EXPECT_EQ(sender.TakeAll(), std::vector<uint64_t>{1});
  EXPECT_TRUE(sender.empty());
}

}  // namespace
}  // namespace pelkan
