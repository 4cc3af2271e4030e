#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelkan {

// Sends the transport stream as UDP datagrams of a fixed payload size to one IPv4 destination.
// Datagrams are cut from the byte stream without regard to packet boundaries; the receiver
// reassembles the stream by concatenating the payloads.
//
// The sending runs on a thread of its own, so that a slow network (or a datagram size too small
// for the stream) never holds up the caller: WritePacket only copies the packet into a bounded
// queue. A packet the queue has no room for is dropped whole and counted (GetBytesDropped), as are
// datagrams the socket layer refuses. WritePacket runs on one producer thread (the processing
// thread); OpenSocket, Close and destruction on the owning thread. The counters and the
// destination may be read from any thread.
class UdpSender {
 public:
  // Largest payload of one IPv4 UDP datagram.
  static constexpr uint32_t kMaxDatagram = 65507;
  // Bytes the queue holds: about two seconds of a terrestrial broadcast.
  static constexpr uint32_t kQueueBytes = 4u << 20;
  // How long Close goes on sending the datagrams still queued; the rest is dropped (counted).
  static constexpr uint32_t kCloseDrainMs = 500;

  // A closed sender. `datagram_size` 0 sends every packet as its own datagram.
  explicit UdpSender(uint32_t datagram_size);
  // Close.
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Resolves `host` (name or dotted address, IPv4 only) and opens a UDP socket towards it and
  // `port` with its sending thread, after closing any open socket. Returns 1 on success; 0 when the
  // name does not resolve, the socket or the thread cannot be created, or the port is 0 or the
  // datagram size exceeds kMaxDatagram (nothing could ever be sent).
  int OpenSocket(const std::string& host, uint16_t port);
  // 1 while a socket is open.
  int IsSending() const { return open_.load(std::memory_order_relaxed) ? 1 : 0; }
  // Queues `length` bytes; whenever more than `datagram size` bytes are queued and not yet cut,
  // a datagram of that size is cut for the sending thread (with size 0 the packet is a datagram of
  // its own). Never waits for the network. Returns 1 when the bytes were queued; 0 when no socket
  // is open or the queue had no room (the packet is dropped whole and counted). *sent (if given)
  // receives the bytes of the datagrams this call cut.
  int WritePacket(const uint8_t* data, uint32_t length, uint32_t* sent = nullptr);
  // Sends what is queued as datagrams (for at most kCloseDrainMs), ends the sending thread and
  // closes the socket. Bytes that do not make a whole datagram are not sent. Nothing when closed.
  void Close();
  // Sum of the bytes the socket layer reported sent.
  uint64_t GetBytesSent() const { return bytes_sent_.load(std::memory_order_relaxed); }
  // Sum of the bytes dropped: packets the queue had no room for, datagrams whose send failed, and
  // datagrams still queued when Close gave up.
  uint64_t GetBytesDropped() const { return bytes_dropped_.load(std::memory_order_relaxed); }
  // The errno of the last send the socket layer refused (EMSGSIZE for a datagram larger than one
  // can be), 0 once a send succeeds again and after OpenSocket: while it is not 0 the receiver
  // gets nothing, and the status says why.
  int GetLastSendError() const { return last_send_error_.load(std::memory_order_relaxed); }
  // The four bytes of the destination address; zeros while closed.
  std::array<uint8_t, 4> GetDestinationAddress() const;
  // The destination port (host order); 0 while closed.
  uint16_t GetDestinationPort() const;

 private:
  void SendLoop(int fd);
  // Copies `length` bytes of the queue from stream position `pos` (wrapping) into `out`.
  void CopyOut(uint64_t pos, uint32_t length, uint8_t* out) const;

  const uint32_t datagram_size_;
  std::atomic<bool> open_{false};
  int fd_ = -1;
  std::atomic<uint32_t> address_{0};  // network order, as in sockaddr_in
  std::atomic<uint16_t> port_{0};     // host order
  std::atomic<uint64_t> bytes_sent_{0};
  std::atomic<uint64_t> bytes_dropped_{0};
  std::atomic<int> last_send_error_{0};

  // The queue: a ring of kQueueBytes holding the stream bytes [taken_, queued_); of these,
  // [taken_, cut_) are cut into datagrams (of datagram_size_ bytes, or of the lengths in
  // `lengths_` when the size is 0) that the sending thread takes in order. Positions count bytes
  // since OpenSocket. Everything below is guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<uint8_t> ring_;
  uint64_t queued_ = 0;
  uint64_t cut_ = 0;
  uint64_t taken_ = 0;
  std::deque<uint32_t> lengths_;
  bool sender_waiting_ = false;
  bool closing_ = false;
  std::chrono::steady_clock::time_point close_deadline_;
  std::thread thread_;
};

}  // namespace pelkan
