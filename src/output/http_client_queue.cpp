#include "output/http_client_queue.h"

#include <algorithm>
#include <cstring>

namespace pelkan {

namespace {
constexpr uint32_t kPacket = 188;
constexpr uint32_t kLargestPacket = 204;
}  // namespace

HttpClientQueue::HttpClientQueue(uint32_t capacity, uint32_t wake_bytes)
    : capacity_(std::max<uint32_t>(capacity / kPacket, 1) * kPacket),
      wake_bytes_(wake_bytes),
      // Room for the capacity in packets of any size, with their length bytes.
      ring_((capacity_ / kPacket + 1) * (kLargestPacket + 1)) {}

size_t HttpClientQueue::Wrap(size_t at) const {
  return at >= ring_.size() ? at - ring_.size() : at;
}

void HttpClientQueue::CopyOut(size_t at, size_t length, uint8_t* out) const {
  const size_t first = std::min(length, ring_.size() - at);
  std::memcpy(out, ring_.data() + at, first);
  std::memcpy(out + first, ring_.data(), length - first);
}

uint32_t HttpClientQueue::PopOldest() {
  const uint32_t length = ring_[read_at_];
  read_ += 1 + length;
  read_at_ = Wrap(read_at_ + 1 + length);
  payload_ -= length;
  return length;
}

bool HttpClientQueue::PushLocked(const uint8_t* packet, uint32_t length) {
  while (read_ < write_ && (payload_ + length > capacity_ || write_ - read_ + 1 + length > ring_.size())) {
    lost_.fetch_add(PopOldest(), std::memory_order_relaxed);
  }
  ring_[write_at_] = static_cast<uint8_t>(length);
  const size_t at = Wrap(write_at_ + 1);
  const size_t first = std::min<size_t>(length, ring_.size() - at);
  std::memcpy(ring_.data() + at, packet, first);
  std::memcpy(ring_.data(), packet + first, length - first);
  write_ += 1 + length;
  write_at_ = Wrap(write_at_ + 1 + length);
  payload_ += length;
  const bool wake = reader_waiting_ && payload_ >= wake_bytes_;
  if (wake) reader_waiting_ = false;
  return wake;
}

void HttpClientQueue::Push(const uint8_t* packet, uint32_t length) {
  Push(packet, 1, length);
}

void HttpClientQueue::Push(const uint8_t* packets, size_t count, uint32_t length) {
  if (length == 0 || length > kLargestPacket || count == 0) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_.load(std::memory_order_relaxed)) return;
    for (size_t i = 0; i < count; ++i) wake = PushLocked(packets + i * length, length) || wake;
  }
  queued_total_.fetch_add(uint64_t{length} * count, std::memory_order_relaxed);
  if (wake) wake_.notify_one();
}

size_t HttpClientQueue::Take(uint8_t* out, size_t max, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (partial_at_ < partial_.size()) {
    const size_t n = std::min(max, partial_.size() - partial_at_);
    std::memcpy(out, partial_.data() + partial_at_, n);
    partial_at_ += n;
    return n;
  }
  if (payload_ < wake_bytes_ && !closed_.load(std::memory_order_relaxed)) {
    reader_waiting_ = true;
    wake_.wait_for(lock, wait, [this] { return !reader_waiting_ || closed_.load(std::memory_order_relaxed); });
    reader_waiting_ = false;
  }
  size_t copied = 0;
  while (read_ < write_) {
    const uint32_t length = ring_[read_at_];
    if (copied + length > max) {
      if (copied > 0) break;
      // Less room than one packet: the packet leaves the ring whole and goes out in pieces.
      partial_.resize(length);
      CopyOut(Wrap(read_at_ + 1), length, partial_.data());
      PopOldest();
      partial_at_ = max;
      std::memcpy(out, partial_.data(), max);
      return max;
    }
    CopyOut(Wrap(read_at_ + 1), length, out + copied);
    copied += length;
    PopOldest();
  }
  return copied;
}

void HttpClientQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.store(true, std::memory_order_relaxed);
  }
  wake_.notify_all();
}

}  // namespace pelkan
