#include "output/udp_sender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace pelkan {

namespace {

uint32_t BufferCapacity(uint32_t size) {
  const uint64_t twice = 2ull * size;
  if (twice > 0xFFFFF) return twice > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(twice);
  return 0x100000;
}

}  // namespace

UdpSender::UdpSender(uint32_t datagram_size)
    : datagram_size_(datagram_size), capacity_(BufferCapacity(datagram_size)) {}

UdpSender::~UdpSender() {
  CloseSocket();
}

void UdpSender::CloseSocket() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  address_.store(0, std::memory_order_relaxed);
  port_.store(0, std::memory_order_relaxed);
}

int UdpSender::OpenSocket(const std::string& host, uint16_t port) {
  CloseSocket();
  // Port 0 takes no datagrams: every send would fail.
  if (datagram_size_ > kMaxDatagram || port == 0) return 0;
  if (datagram_size_ > 0 && buffer_.size() != capacity_) {
    try {
      buffer_.resize(capacity_);
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return 0;
  uint32_t address = 0;
  bool found = false;
  for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, ai->ai_addr, sizeof sin);
      address = sin.sin_addr.s_addr;
      found = true;
      break;
    }
  }
  ::freeaddrinfo(result);
  if (!found) return 0;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  fd_ = fd;
  address_.store(address, std::memory_order_relaxed);
  port_.store(port, std::memory_order_relaxed);
  bytes_sent_.store(0, std::memory_order_relaxed);
  buffered_ = 0;
  return 1;
}

std::array<uint8_t, 4> UdpSender::GetDestinationAddress() const {
  const uint32_t a = address_.load(std::memory_order_relaxed);
  std::array<uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &a, 4);
  return bytes;
}

uint16_t UdpSender::GetDestinationPort() const {
  return port_.load(std::memory_order_relaxed);
}

bool UdpSender::SendDatagram(const uint8_t* data, uint32_t length, uint32_t* sent) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_.load(std::memory_order_relaxed));
  to.sin_addr.s_addr = address_.load(std::memory_order_relaxed);
  ssize_t n;
  do {
    n = ::sendto(fd_, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  bytes_sent_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  *sent += static_cast<uint32_t>(n);
  return true;
}

int UdpSender::WritePacket(const uint8_t* data, uint32_t length, uint32_t* sent) {
  uint32_t out = 0;
  if (sent) *sent = 0;
  if (fd_ < 0) return 0;
  if (datagram_size_ == 0) {
    const bool ok = SendDatagram(data, length, &out);
    if (sent) *sent = out;
    return ok ? 1 : 0;
  }
  const uint32_t taken = std::min(capacity_ - buffered_, length);
  if (taken > 0) std::memcpy(buffer_.data() + buffered_, data, taken);
  buffered_ += taken;
  if (taken < length) return 0;
  int result = 1;
  // While the datagram size is at least the packet size this sends at most one datagram per call;
  // smaller datagrams need several per packet or the buffer would grow without bound.
  while (buffered_ > datagram_size_) {
    // The datagram's bytes leave the buffer even when the send fails.
    if (!SendDatagram(buffer_.data(), datagram_size_, &out)) result = 0;
    buffered_ -= datagram_size_;
    std::memmove(buffer_.data(), buffer_.data() + datagram_size_, buffered_);
  }
  if (sent) *sent = out;
  return result;
}

}  // namespace pelkan
