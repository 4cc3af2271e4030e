#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pelkan {

// The bytes waiting for one HTTP client: a ring of whole transport packets, filled by the
// processing thread and emptied by the HTTP server's thread. When it is full the oldest
// packets make room and are counted as lost, so a client that cannot keep up never holds up the
// capture or the other clients. What a client takes always starts at a packet boundary.
class HttpClientQueue {
 public:
  // `capacity` bytes, rounded down to whole 188-byte packets (at least one). The reader is woken
  // once `wake_bytes` are waiting (or at the timeout of its wait), not for every packet.
  HttpClientQueue(uint32_t capacity, uint32_t wake_bytes);

  // Producer: queues one packet (`length` bytes, at most one packet of 204), dropping the oldest
  // whole packets when there is no room. Never waits for the reader.
  void Push(const uint8_t* packet, uint32_t length);
  // Producer: queues `count` packets of `length` bytes each, laid end to end, as Push does each,
  // taking the lock once.
  void Push(const uint8_t* packets, size_t count, uint32_t length);
  // Reader: copies whole packets into `out` (when `max` is below the next packet, that packet
  // leaves the ring and is handed out over several calls), waiting at most `wait` for `wake_bytes`
  // to gather. Returns the bytes copied: 0 when nothing came in that time or the queue is closed.
  size_t Take(uint8_t* out, size_t max, std::chrono::milliseconds wait);
  // Wakes the reader for good: Take returns what is left without waiting, then 0.
  void Close();
  bool closed() const { return closed_.load(std::memory_order_relaxed); }

  // Bytes queued since the start and bytes the client lost (dropped as oldest). Any thread.
  uint64_t bytes_queued() const { return queued_total_.load(std::memory_order_relaxed); }
  uint64_t bytes_lost() const { return lost_.load(std::memory_order_relaxed); }

 private:
  const uint32_t capacity_;  // packet bytes held at most
  const uint32_t wake_bytes_;
  std::atomic<bool> closed_{false};
  std::atomic<uint64_t> queued_total_{0};
  std::atomic<uint64_t> lost_{0};

  // A place in the ring from one less than twice its size (a sum of places and lengths).
  size_t Wrap(size_t at) const;
  // Copies `length` ring bytes from place `at` (wrapping) into `out`.
  void CopyOut(size_t at, size_t length, uint8_t* out) const;
  // Removes the oldest packet from the ring; returns its length.
  uint32_t PopOldest();
  // Queues one packet; true when the reader is to be woken. Under mutex_.
  bool PushLocked(const uint8_t* packet, uint32_t length);

  // The ring holds the packets [read_, write_); positions count bytes since the start. Each packet
  // is stored after one byte of its length, so packets of 188, 192 and 204 bytes all stay whole.
  // `partial_` holds a packet that left the ring to be handed out in pieces, from `partial_at_`.
  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<uint8_t> ring_;
  uint64_t read_ = 0;
  uint64_t write_ = 0;
  size_t read_at_ = 0, write_at_ = 0;  // read_ and write_ as places in the ring
  uint64_t payload_ = 0;  // packet bytes (without the length fields) in [read_, write_)
  std::vector<uint8_t> partial_;
  size_t partial_at_ = 0;
  bool reader_waiting_ = false;
};

}  // namespace pelkan
