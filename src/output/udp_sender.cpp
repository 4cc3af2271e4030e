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
#include <system_error>

namespace pelkan {

namespace {

// The sending thread is woken once this many bytes of datagrams wait (or at Close), not for every
// small datagram: about one wake-up per block the processing thread feeds.
constexpr uint64_t kWakeBytes = 0x4000;

}  // namespace

UdpSender::UdpSender(uint32_t datagram_size) : datagram_size_(datagram_size) {}

UdpSender::~UdpSender() {
  Close();
}

void UdpSender::Close() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      close_deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
    }
    wake_.notify_one();
    thread_.join();
  }
  open_.store(false, std::memory_order_relaxed);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  address_.store(0, std::memory_order_relaxed);
  port_.store(0, std::memory_order_relaxed);
}

int UdpSender::OpenSocket(const std::string& host, uint16_t port) {
  Close();
  // Port 0 takes no datagrams: every send would fail.
  if (datagram_size_ > kMaxDatagram || port == 0) return 0;
  if (ring_.size() != kQueueBytes) {
    try {
      ring_.resize(kQueueBytes);
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
  // A broadcast address (a LAN's x.x.x.255) is a destination like any other: without the option
  // the kernel refuses every datagram to it (EACCES) and they were all dropped without a word.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_ = cut_ = taken_ = 0;
    lengths_.clear();
    sender_waiting_ = false;
    closing_ = false;
  }
  address_.store(address, std::memory_order_relaxed);
  port_.store(port, std::memory_order_relaxed);
  bytes_sent_.store(0, std::memory_order_relaxed);
  bytes_dropped_.store(0, std::memory_order_relaxed);
  last_send_error_.store(0, std::memory_order_relaxed);
  try {
    thread_ = std::thread(&UdpSender::SendLoop, this, fd);
  } catch (const std::system_error&) {
    ::close(fd);
    address_.store(0, std::memory_order_relaxed);
    port_.store(0, std::memory_order_relaxed);
    return 0;
  }
  fd_ = fd;
  open_.store(true, std::memory_order_relaxed);
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

void UdpSender::CopyOut(uint64_t pos, uint32_t length, uint8_t* out) const {
  const size_t start = static_cast<size_t>(pos % ring_.size());
  const size_t first = std::min<size_t>(length, ring_.size() - start);
  std::memcpy(out, ring_.data() + start, first);
  std::memcpy(out + first, ring_.data(), length - first);
}

int UdpSender::WritePacket(const uint8_t* data, uint32_t length, uint32_t* sent) {
  uint32_t out = 0;
  if (sent) *sent = 0;
  if (!open_.load(std::memory_order_relaxed)) return 0;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return 0;
    if (length > ring_.size() - (queued_ - taken_)) {
      // The network does not keep up: this packet is lost to the receiver, never to the caller.
      bytes_dropped_.fetch_add(length, std::memory_order_relaxed);
      return 0;
    }
    const size_t start = static_cast<size_t>(queued_ % ring_.size());
    const size_t first = std::min<size_t>(length, ring_.size() - start);
    std::memcpy(ring_.data() + start, data, first);
    std::memcpy(ring_.data(), data + first, length - first);
    queued_ += length;
    if (datagram_size_ == 0) {
      lengths_.push_back(length);
      cut_ = queued_;
      out = length;
    } else {
      // With datagrams at least as large as a packet this cuts at most one per call; smaller ones
      // need several per packet.
      while (queued_ - cut_ > datagram_size_) {
        cut_ += datagram_size_;
        out += datagram_size_;
      }
    }
    wake = sender_waiting_ && cut_ - taken_ >= kWakeBytes;
    if (wake) sender_waiting_ = false;
  }
  if (wake) wake_.notify_one();
  if (sent) *sent = out;
  return 1;
}

void UdpSender::SendLoop(int fd) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_.load(std::memory_order_relaxed));
  to.sin_addr.s_addr = address_.load(std::memory_order_relaxed);
  std::vector<uint8_t> datagram(datagram_size_ > 0 ? datagram_size_ : kMaxDatagram);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (cut_ == taken_) {
      if (closing_) break;
      sender_waiting_ = true;
      wake_.wait(lock, [this] { return closing_ || cut_ - taken_ >= kWakeBytes; });
      sender_waiting_ = false;
      continue;
    }
    if (closing_ && std::chrono::steady_clock::now() >= close_deadline_) {
      bytes_dropped_.fetch_add(cut_ - taken_, std::memory_order_relaxed);
      taken_ = cut_;
      lengths_.clear();
      break;
    }
    uint32_t n = datagram_size_;
    if (n == 0) {
      n = lengths_.front();
      lengths_.pop_front();
    }
    const bool fits = n <= datagram.size();
    if (fits) CopyOut(taken_, n, datagram.data());
    taken_ += n;
    lock.unlock();
    ssize_t r = -1;
    int error = EMSGSIZE;
    if (fits) {
      do {
        r = ::sendto(fd, datagram.data(), n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      } while (r < 0 && errno == EINTR);
      error = r < 0 ? errno : 0;
    }
    last_send_error_.store(error, std::memory_order_relaxed);
    if (r < 0) {
      bytes_dropped_.fetch_add(n, std::memory_order_relaxed);
    } else {
      bytes_sent_.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
    }
    lock.lock();
  }
}

}  // namespace pelkan
