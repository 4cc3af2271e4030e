#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace pelkan {

// First-in-first-out byte queue of copied chunks, limited by a byte capacity. Each Put stores one
// private copy (one block); blocks are never merged or split, and a fully consumed block leaves the
// queue at once. The memory of a few left blocks is kept for later Puts, so that a steady stream of
// equal chunks runs without a heap allocation (and without fresh pages to fault in) per chunk.
// Not thread-safe: see CBufferMT.
class CBuffer {
 public:
  explicit CBuffer(uint32_t capacity);
  virtual ~CBuffer();
  CBuffer(const CBuffer&) = delete;
  CBuffer& operator=(const CBuffer&) = delete;

  // Stores up to `length` bytes (as many as the free room allows) as one new block.
  // Returns the number stored; 0 when nothing fits, `length` is 0 or memory runs out.
  virtual uint32_t Put(const void* data, uint32_t length);
  // Copies up to `max` unread bytes into `dest`; removes them when `consume` is non-zero.
  // Returns the number of bytes copied, min(max, GetSize()). With consume 0 the buffer is unchanged.
  virtual uint32_t Get(void* dest, uint32_t max, int consume);
  // Frees every block.
  virtual void Clear();

  // The first unread byte, or 0 when the buffer is empty.
  uint8_t PeekByte() const;
  // Number of unread bytes. A single aligned word: may be read without the lock of CBufferMT.
  uint32_t GetSize() const { return total_.load(std::memory_order_relaxed); }
  uint32_t GetCapacity() const { return capacity_; }
  // CRC-32/MPEG-2 of the first n unread bytes (or of all of them when fewer); 0xFFFFFFFF for none.
  uint32_t Crc32(uint32_t n) const;

 protected:
  uint32_t PutUnlocked(const void* data, uint32_t length);
  uint32_t GetUnlocked(void* dest, uint32_t max, int consume);
  void ClearUnlocked();

 private:
  struct Block {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length;
    uint32_t read_offset;
    uint32_t allocated;
  };
  // Memory of blocks that left the queue, kept for reuse.
  struct Spare {
    std::unique_ptr<uint8_t[]> data;
    uint32_t allocated;
  };
  static constexpr size_t kMaxSpares = 8;
  static constexpr uint32_t kMaxSpareSize = 0x100000;

  // Memory for `length` bytes: a kept spare large enough, or a new allocation (null when out of memory).
  Spare TakeMemory(uint32_t length);
  void KeepMemory(Block& block);

  const uint32_t capacity_;
  std::deque<Block> blocks_;
  std::vector<Spare> spares_;
  // Written only under the owner's lock; atomic so that GetSize may poll it from another thread.
  std::atomic<uint32_t> total_{0};
};

// CBuffer whose Put, Get and Clear hold a recursive mutex for the whole operation: one producer
// thread and one consumer thread may share it. The consumer may sleep in WaitForSize until the
// producer has put enough bytes, instead of polling GetSize.
class CBufferMT : public CBuffer {
 public:
  explicit CBufferMT(uint32_t capacity) : CBuffer(capacity) {}

  uint32_t Put(const void* data, uint32_t length) override;
  uint32_t Get(void* dest, uint32_t max, int consume) override;
  void Clear() override;

  // Waits until at least `bytes` (> 0) are unread or Wake is called. Returns true when the bytes
  // are there, false when woken. For one consumer thread at a time.
  bool WaitForSize(uint32_t bytes);
  // The same, but gives up after `timeout_ms`: false also when the time is up.
  bool WaitForSize(uint32_t bytes, uint32_t timeout_ms);
  // Makes the current WaitForSize return, or the next one when nobody waits. Any thread.
  void Wake();

 private:
  void NotifyWaiter();
  bool WaitUntilSize(uint32_t bytes, std::optional<std::chrono::steady_clock::time_point> deadline);

  std::recursive_mutex mutex_;
  // The waiter's state: the size it waits for (0: nobody waits) and a pending Wake.
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
  uint32_t wanted_ = 0;
  bool woken_ = false;
};

}  // namespace pelkan
