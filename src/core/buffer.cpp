#include "core/buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/crc32.h"

namespace pelkan {

CBuffer::CBuffer(uint32_t capacity) : capacity_(capacity) { spares_.reserve(kMaxSpares); }

CBuffer::~CBuffer() = default;

uint32_t CBuffer::Put(const void* data, uint32_t length) { return PutUnlocked(data, length); }

uint32_t CBuffer::Get(void* dest, uint32_t max, int consume) { return GetUnlocked(dest, max, consume); }

void CBuffer::Clear() { ClearUnlocked(); }

uint32_t CBuffer::PutUnlocked(const void* data, uint32_t length) {
  if (length == 0) return 0;
  const uint32_t room = capacity_ - total_.load(std::memory_order_relaxed);
  if (length > room) length = room;
  if (length == 0) return 0;
  Spare memory = TakeMemory(length);
  if (!memory.data) return 0;
  std::memcpy(memory.data.get(), data, length);
  try {
    blocks_.push_back(Block{std::move(memory.data), length, 0, memory.allocated});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  total_.fetch_add(length, std::memory_order_relaxed);
  return length;
}

uint32_t CBuffer::GetUnlocked(void* dest, uint32_t max, int consume) {
  if (max == 0) return 0;
  auto* out = static_cast<uint8_t*>(dest);
  uint32_t copied = 0;
  for (auto it = blocks_.begin(); it != blocks_.end() && copied < max; ++it) {
    const uint32_t n = std::min(it->length - it->read_offset, max - copied);
    std::memcpy(out + copied, it->data.get() + it->read_offset, n);
    copied += n;
    if (consume) {
      it->read_offset += n;
      total_.fetch_sub(n, std::memory_order_relaxed);
    }
  }
  while (!blocks_.empty() && blocks_.front().read_offset == blocks_.front().length) {
    KeepMemory(blocks_.front());
    blocks_.pop_front();
  }
  return copied;
}

void CBuffer::ClearUnlocked() {
  for (Block& b : blocks_) KeepMemory(b);
  blocks_.clear();
  total_.store(0, std::memory_order_relaxed);
}

CBuffer::Spare CBuffer::TakeMemory(uint32_t length) {
  for (size_t i = spares_.size(); i-- > 0;) {
    if (spares_[i].allocated < length) continue;
    Spare spare = std::move(spares_[i]);
    spares_.erase(spares_.begin() + static_cast<std::ptrdiff_t>(i));
    return spare;
  }
  return Spare{std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[length]), length};
}

void CBuffer::KeepMemory(Block& block) {
  if (!block.data || block.allocated > kMaxSpareSize || spares_.size() >= kMaxSpares) return;
  spares_.push_back(Spare{std::move(block.data), block.allocated});  // room was reserved
}

uint8_t CBuffer::PeekByte() const {
  if (blocks_.empty()) return 0;
  const Block& b = blocks_.front();
  return b.data[b.read_offset];
}

uint32_t CBuffer::Crc32(uint32_t n) const {
  uint32_t crc = 0xFFFFFFFFu;
  for (const Block& b : blocks_) {
    if (n == 0) break;
    const uint32_t len = std::min(b.length - b.read_offset, n);
    crc = Crc32Mpeg2(b.data.get() + b.read_offset, len, crc);
    n -= len;
  }
  return crc;
}

uint32_t CBufferMT::Put(const void* data, uint32_t length) {
  uint32_t stored = 0;
  {
    std::lock_guard lock(mutex_);
    stored = PutUnlocked(data, length);
  }
  if (stored > 0) NotifyWaiter();
  return stored;
}

void CBufferMT::NotifyWaiter() {
  {
    // Uncontended but for the moment the consumer goes to sleep; a few nanoseconds per Put.
    std::lock_guard lock(wait_mutex_);
    if (wanted_ == 0 || GetSize() < wanted_) return;
    wanted_ = 0;  // one notification per wait is enough
  }
  // Outside the lock, so that the waiter does not wake only to block on it.
  wait_cv_.notify_one();
}

bool CBufferMT::WaitForSize(uint32_t bytes) {
  return WaitUntilSize(bytes, std::nullopt);
}

bool CBufferMT::WaitForSize(uint32_t bytes, uint32_t timeout_ms) {
  return WaitUntilSize(bytes, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
}

bool CBufferMT::WaitUntilSize(uint32_t bytes, std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::unique_lock lock(wait_mutex_);
  for (;;) {
    if (woken_) {
      woken_ = false;
      wanted_ = 0;
      return false;
    }
    if (GetSize() >= bytes) {
      wanted_ = 0;
      return true;
    }
    // Announced again on every pass: a Clear after the notifying Put may have emptied the buffer.
    wanted_ = bytes;
    if (!deadline) {
      wait_cv_.wait(lock);
    } else if (wait_cv_.wait_until(lock, *deadline) == std::cv_status::timeout) {
      wanted_ = 0;
      return GetSize() >= bytes;
    }
  }
}

void CBufferMT::Wake() {
  {
    std::lock_guard lock(wait_mutex_);
    woken_ = true;
  }
  wait_cv_.notify_one();
}

uint32_t CBufferMT::Get(void* dest, uint32_t max, int consume) {
  std::lock_guard lock(mutex_);
  return GetUnlocked(dest, max, consume);
}

void CBufferMT::Clear() {
  std::lock_guard lock(mutex_);
  ClearUnlocked();
}

}  // namespace pelkan
