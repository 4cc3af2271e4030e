#include "output/udp_sender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "tests/support/loopback_udp.h"

namespace pelkan {
namespace {

// A UDP socket bound to 127.0.0.1 on a free port.
class LoopbackReceiver {
 public:
  LoopbackReceiver() { fd_ = testing::OpenLoopbackUdp(8 << 20, &port_); }
  ~LoopbackReceiver() { ::close(fd_); }
  uint16_t port() const { return port_; }

  // Every datagram that arrives within `timeout_ms` of the previous one.
  std::vector<std::vector<uint8_t>> Drain(int timeout_ms = 200) {
    std::vector<std::vector<uint8_t>> out;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) break;
      std::vector<uint8_t> d(65536);
      const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
      if (n < 0) break;
      d.resize(static_cast<size_t>(n));
      out.push_back(std::move(d));
    }
    return out;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

std::vector<uint8_t> Packet(uint32_t index) {
  std::vector<uint8_t> p(188);
  p[0] = 0x47;
  for (size_t i = 1; i < p.size(); ++i) p[i] = static_cast<uint8_t>(index * 13 + i);
  return p;
}

TEST(UdpSender, FirstDatagramLeavesWithPacket175AndCarries32767Bytes) {
  LoopbackReceiver rx;
  UdpSender tx(32767);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < 174; ++i) {
    const auto p = Packet(i);
    stream.insert(stream.end(), p.begin(), p.end());
    uint32_t sent = 1;
    ASSERT_EQ(tx.WritePacket(p.data(), 188, &sent), 1);
    ASSERT_EQ(sent, 0u);
  }
  const auto p = Packet(174);
  stream.insert(stream.end(), p.begin(), p.end());
  uint32_t sent = 0;
  ASSERT_EQ(tx.WritePacket(p.data(), 188, &sent), 1);
  EXPECT_EQ(sent, 32767u);  // cut for the sending thread
  tx.Close();
  EXPECT_EQ(tx.GetBytesSent(), 32767u);
  const auto got = rx.Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::vector<uint8_t>(stream.begin(), stream.begin() + 32767));
}

// True when this system resolves "localhost" to an IPv4 address (a bare chroot may have no
// /etc/hosts, and then the name is unknown to every program).
bool LocalhostResolves() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo("localhost", nullptr, &hints, &result) != 0) return false;
  ::freeaddrinfo(result);
  return true;
}

TEST(UdpSender, SizeZeroSendsEachPacketAsItsOwnDatagram) {
  if (!LocalhostResolves()) GTEST_SKIP() << "\"localhost\" does not resolve on this system";
  LoopbackReceiver rx;
  UdpSender tx(0);
  ASSERT_EQ(tx.OpenSocket("localhost", rx.port()), 1);
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(tx.WritePacket(Packet(i).data(), 188), 1);
  tx.Close();
  const auto got = rx.Drain();
  ASSERT_EQ(got.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(got[i], Packet(i));
  EXPECT_EQ(tx.GetBytesSent(), 3u * 188u);
}

// Datagrams to a broadcast address were refused by the kernel (EACCES: the socket lacked
// SO_BROADCAST) and dropped without a word. The loopback network's broadcast address stands for a
// LAN's here; a receiver bound to it gets what is sent there.
TEST(UdpSender, ABroadcastAddressIsADestinationLikeAnother) {
  for (const char* address : {"127.0.0.1", "127.255.255.255"}) {
    SCOPED_TRACE(address);
    const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(rx, 0);
    const int buffer = 8 << 20;
    ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, address, &sin.sin_addr), 1);
    ASSERT_EQ(::bind(rx, reinterpret_cast<const sockaddr*>(&sin), sizeof sin), 0);
    socklen_t length = sizeof sin;
    ASSERT_EQ(::getsockname(rx, reinterpret_cast<sockaddr*>(&sin), &length), 0);
    UdpSender tx(1000);
    ASSERT_EQ(tx.OpenSocket(address, ntohs(sin.sin_port)), 1);
    for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(tx.WritePacket(Packet(i).data(), 188), 1);
    tx.Close();
    size_t datagrams = 0;
    for (pollfd p{rx, POLLIN, 0}; ::poll(&p, 1, 200) > 0; p.revents = 0) {
      std::vector<uint8_t> d(65536);
      if (::recv(rx, d.data(), d.size(), 0) != 1000) break;
      ++datagrams;
    }
    ::close(rx);
    EXPECT_EQ(datagrams, 93u);
  }
}

TEST(UdpSender, DatagramsReassembleIntoTheStream) {
  LoopbackReceiver rx;
  UdpSender tx(1000);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < 500; ++i) {
    const auto p = Packet(i);
    stream.insert(stream.end(), p.begin(), p.end());
    ASSERT_EQ(tx.WritePacket(p.data(), 188), 1);
  }
  tx.Close();
  std::vector<uint8_t> joined;
  for (const auto& d : rx.Drain()) {
    EXPECT_EQ(d.size(), 1000u);
    joined.insert(joined.end(), d.begin(), d.end());
  }
  // 94,000 bytes arrive; exactly 1,000 buffered is not more than a datagram, so they stay.
  ASSERT_EQ(joined.size(), 93u * 1000u);
  EXPECT_EQ(joined, std::vector<uint8_t>(stream.begin(), stream.begin() + joined.size()));
}

TEST(UdpSender, DatagramsSmallerThanAPacketKeepUp) {
  LoopbackReceiver rx;
  UdpSender tx(100);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < 50; ++i) {
    const auto p = Packet(i);
    stream.insert(stream.end(), p.begin(), p.end());
    ASSERT_EQ(tx.WritePacket(p.data(), 188), 1);
  }
  tx.Close();
  std::vector<uint8_t> joined;
  for (const auto& d : rx.Drain()) joined.insert(joined.end(), d.begin(), d.end());
  EXPECT_EQ(joined.size(), 9300u);  // 9,400 bytes: everything but the last 100 left
  EXPECT_EQ(joined, std::vector<uint8_t>(stream.begin(), stream.begin() + joined.size()));
}

TEST(UdpSender, LargeSizeSendsNothingBeforeEnoughArrives) {
  LoopbackReceiver rx;
  UdpSender tx(65000);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(tx.WritePacket(Packet(i).data(), 188), 1);
  tx.Close();
  EXPECT_EQ(tx.GetBytesSent(), 0u);
  EXPECT_EQ(tx.GetBytesDropped(), 0u);
  EXPECT_TRUE(rx.Drain(50).empty());
}

// Datagrams of one byte cannot keep up with a stream written as fast as memory allows: the writer
// still never waits. Whole packets that find the queue full are dropped and counted, and every
// byte written is sent, dropped or (the last one, not yet a whole datagram) still held.
TEST(UdpSender, SlowNetworkDropsWholePacketsAndNeverHoldsUpTheWriter) {
  LoopbackReceiver rx;
  UdpSender tx(1);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  constexpr uint32_t kPackets = 100000;  // 18.8 MB: more than four times the queue
  const auto p = Packet(0);
  uint32_t refused = 0;
  for (uint32_t i = 0; i < kPackets; ++i) {
    if (tx.WritePacket(p.data(), 188) == 0) ++refused;
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GE(tx.GetBytesDropped(), uint64_t{refused} * 188);
  tx.Close();
  EXPECT_GT(tx.GetBytesSent(), 0u);
  EXPECT_EQ(tx.GetBytesSent() + tx.GetBytesDropped() + 1, uint64_t{kPackets} * 188);
  EXPECT_EQ(tx.WritePacket(p.data(), 188), 0);  // closed
}

TEST(UdpSender, UnresolvableHostFailsToOpen) {
  UdpSender tx(32767);
  EXPECT_EQ(tx.OpenSocket("no-such-host.invalid", 1234), 0);
  EXPECT_EQ(tx.IsSending(), 0);
  EXPECT_EQ(tx.WritePacket(Packet(0).data(), 188), 0);
}

TEST(UdpSender, OversizedDatagramsAreRefusedAtOpen) {
  UdpSender tx(UdpSender::kMaxDatagram + 1);
  EXPECT_EQ(tx.OpenSocket("127.0.0.1", 1234), 0);
  UdpSender ok(UdpSender::kMaxDatagram);
  EXPECT_EQ(ok.OpenSocket("127.0.0.1", 1234), 1);
}

// A send the socket layer refuses leaves its reason for the status for as long as sends fail; the
// next send that succeeds clears it.
TEST(UdpSender, TheReasonOfAFailedSendIsKeptUntilASendSucceeds) {
  LoopbackReceiver rx;
  UdpSender tx(0);
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", rx.port()), 1);
  EXPECT_EQ(tx.GetLastSendError(), 0);
  // A datagram larger than UDP carries.
  std::vector<uint8_t> huge(UdpSender::kMaxDatagram + 1000, 0x47);
  ASSERT_EQ(tx.WritePacket(huge.data(), static_cast<uint32_t>(huge.size())), 1);
  for (int i = 0; i < 200 && tx.GetLastSendError() == 0; ++i) usleep(10000);
  EXPECT_EQ(tx.GetLastSendError(), EMSGSIZE);
  EXPECT_EQ(tx.GetBytesDropped(), huge.size());
  for (uint32_t i = 0; i < 200; ++i) tx.WritePacket(Packet(i).data(), 188);
  for (int i = 0; i < 200 && tx.GetLastSendError() != 0; ++i) usleep(10000);
  EXPECT_EQ(tx.GetLastSendError(), 0);
  EXPECT_FALSE(rx.Drain().empty());
}

TEST(UdpSender, DestinationAddressIsKnownOnlyWhileOpen) {
  UdpSender tx(188);
  EXPECT_EQ(tx.GetDestinationAddress(), (std::array<uint8_t, 4>{0, 0, 0, 0}));
  ASSERT_EQ(tx.OpenSocket("127.0.0.1", 4464), 1);
  EXPECT_EQ(tx.GetDestinationAddress(), (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(tx.GetDestinationPort(), 4464);
}

}  // namespace
}  // namespace pelkan
