#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pelkan {

// Sends the transport stream as UDP datagrams of a fixed payload size to one IPv4 destination.
// Datagrams are cut from the byte stream without regard to packet boundaries; the receiver
// reassembles the stream by concatenating the payloads. WritePacket runs on the processing thread;
// OpenSocket and destruction on the owning thread. The counters may be read from any thread.
class UdpSender {
 public:
  // Largest payload of one IPv4 UDP datagram.
  static constexpr uint32_t kMaxDatagram = 65507;

  // A closed sender. `datagram_size` 0 sends every packet as its own datagram.
  explicit UdpSender(uint32_t datagram_size);
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Resolves `host` (name or dotted address, IPv4 only) and opens a UDP socket towards it and
  // `port`, after closing any open socket. Returns 1 on success; 0 when the name does not resolve,
  // the socket cannot be created, or the port is 0 or the datagram size exceeds kMaxDatagram
  // (nothing could ever be sent).
  int OpenSocket(const std::string& host, uint16_t port);
  // 1 while a socket is open.
  int IsSending() const { return fd_ >= 0 ? 1 : 0; }
  // Buffers `length` bytes and sends a datagram of `datagram size` bytes whenever more than that is
  // buffered (or sends the bytes at once when the size is 0). Returns 1 when the bytes were taken
  // and every send succeeded; 0 when no socket is open, the buffer could not take them all (the part
  // it took stays buffered) or a send failed (its bytes are lost). *sent (if given) receives the
  // bytes sent by this call.
  int WritePacket(const uint8_t* data, uint32_t length, uint32_t* sent = nullptr);
  // Sum of the bytes the socket layer reported sent.
  uint64_t GetBytesSent() const { return bytes_sent_.load(std::memory_order_relaxed); }
  // The four bytes of the destination address; zeros while closed.
  std::array<uint8_t, 4> GetDestinationAddress() const;
  // The destination port (host order); 0 while closed.
  uint16_t GetDestinationPort() const;
  uint32_t GetDatagramSize() const { return datagram_size_; }

 private:
  bool SendDatagram(const uint8_t* data, uint32_t length, uint32_t* sent);
  void CloseSocket();

  const uint32_t datagram_size_;
  const uint32_t capacity_;
  // The buffered bytes are buffer_[0, buffered_); allocated at the first OpenSocket.
  std::vector<uint8_t> buffer_;
  uint32_t buffered_ = 0;
  int fd_ = -1;
  std::atomic<uint32_t> address_{0};  // network order, as in sockaddr_in
  std::atomic<uint16_t> port_{0};     // host order
  std::atomic<uint64_t> bytes_sent_{0};
};

}  // namespace pelkan
