#include "core/buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "base/crc32.h"

namespace pelkan {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(CBuffer, PutStoresOnlyWhatFits) {
  CBuffer b(100);
  const auto data = Bytes(100);
  EXPECT_EQ(b.Put(data.data(), 0), 0u);
  EXPECT_EQ(b.GetSize(), 0u);
  EXPECT_EQ(b.Put(data.data(), 60), 60u);
  EXPECT_EQ(b.Put(data.data(), 100), 40u);  // partial: the first 40 bytes
  EXPECT_EQ(b.GetSize(), 100u);
  EXPECT_EQ(b.Put(data.data(), 1), 0u);  // full
  std::vector<uint8_t> out(100);
  EXPECT_EQ(b.Get(out.data(), 100, 1), 100u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 60, data.begin()));
  EXPECT_TRUE(std::equal(out.begin() + 60, out.end(), data.begin()));
}

TEST(CBuffer, GetAcrossBlocksAndPeek) {
  CBuffer b(1000);
  const auto data = Bytes(30);
  b.Put(data.data(), 10);
  b.Put(data.data() + 10, 10);
  b.Put(data.data() + 20, 10);
  std::vector<uint8_t> out(30), again(30);
  EXPECT_EQ(b.Get(out.data(), 0, 1), 0u);
  EXPECT_EQ(b.Get(out.data(), 25, 0), 25u);
  EXPECT_EQ(b.Get(again.data(), 25, 0), 25u);
  EXPECT_EQ(out, again);
  EXPECT_EQ(b.GetSize(), 30u);
  EXPECT_EQ(b.Get(out.data(), 25, 1), 25u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 25, data.begin()));
  EXPECT_EQ(b.GetSize(), 5u);
  EXPECT_EQ(b.PeekByte(), 25);
  EXPECT_EQ(b.Get(out.data(), 30, 1), 5u);
  EXPECT_EQ(out[4], 29);
  EXPECT_EQ(b.PeekByte(), 0);
  EXPECT_EQ(b.Get(out.data(), 30, 1), 0u);
}

TEST(CBuffer, ClearAllowsFullCapacityAgain) {
  CBuffer b(16);
  b.Clear();
  const auto data = Bytes(16);
  b.Put(data.data(), 16);
  b.Clear();
  EXPECT_EQ(b.GetSize(), 0u);
  EXPECT_EQ(b.Put(data.data(), 16), 16u);
}

TEST(CBuffer, ReusedBlockMemoryKeepsEveryChunkIntact) {
  // Chunks of changing sizes are put, partly read, cleared and put again, so that left blocks'
  // memory serves later chunks both larger and smaller than the ones it first held.
  CBuffer b(4096);
  std::vector<uint8_t> expected;
  std::vector<uint8_t> out(4096);
  uint8_t seed = 0;
  for (int round = 0; round < 200; ++round) {
    const size_t n = 1 + (round * 37) % 700;
    const auto chunk = Bytes(n, seed);
    seed = static_cast<uint8_t>(seed + 13);
    const uint32_t stored = b.Put(chunk.data(), static_cast<uint32_t>(n));
    expected.insert(expected.end(), chunk.begin(), chunk.begin() + stored);
    if (round % 3 == 0) {
      const uint32_t want = static_cast<uint32_t>(std::min<size_t>(expected.size(), 500));
      ASSERT_EQ(b.Get(out.data(), want, 1), want);
      ASSERT_TRUE(std::equal(out.begin(), out.begin() + want, expected.begin()));
      expected.erase(expected.begin(), expected.begin() + want);
    }
    if (round % 29 == 28) {
      b.Clear();
      expected.clear();
    }
    ASSERT_EQ(b.GetSize(), expected.size());
  }
  ASSERT_EQ(b.Get(out.data(), 4096, 1), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
}

TEST(CBuffer, CrcOverBlocksEqualsSingleBlock) {
  // A PAT section with its CRC: the CRC over the whole section is 0.
  const std::vector<uint8_t> pat = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                    0x00, 0x01, 0xE1, 0x00, 0,    0,    0,    0};
  std::vector<uint8_t> sec = pat;
  const uint32_t crc = Crc32Mpeg2(sec.data(), sec.size() - 4);
  for (int i = 0; i < 4; ++i) sec[12 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  CBuffer one(100), many(100);
  one.Put(sec.data(), static_cast<uint32_t>(sec.size()));
  many.Put(sec.data(), 3);
  many.Put(sec.data() + 3, 9);
  many.Put(sec.data() + 12, 4);
  EXPECT_EQ(one.Crc32(16), 0u);
  EXPECT_EQ(many.Crc32(16), 0u);
  EXPECT_EQ(many.Crc32(1000), 0u);  // n beyond the stored bytes covers only those
  EXPECT_EQ(many.Crc32(7), one.Crc32(7));
  EXPECT_EQ(one.Crc32(0), 0xFFFFFFFFu);
}

TEST(Crc32Mpeg2, KnownValueAndSlicingMatchesBytewise) {
  const char* check = "123456789";
  EXPECT_EQ(Crc32Mpeg2(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
  const auto data = Bytes(1000, 7);
  uint32_t bytewise = 0xFFFFFFFFu;
  for (uint8_t b : data) bytewise = Crc32Mpeg2(&b, 1, bytewise);
  EXPECT_EQ(Crc32Mpeg2(data.data(), data.size()), bytewise);
}

TEST(CBufferMT, OneProducerOneConsumerDeliverEveryByteInOrder) {
  CBufferMT b(4096);
  constexpr uint32_t kTotal = 1 << 20;
  std::thread producer([&] {
    std::vector<uint8_t> chunk(777);
    uint32_t sent = 0;
    while (sent < kTotal) {
      const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(chunk.size()), kTotal - sent);
      for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) * 31 + 7);
      uint32_t put = 0;
      while (put < n) {
        const uint32_t k = b.Put(chunk.data() + put, n - put);
        if (k == 0) std::this_thread::yield();
        put += k;
      }
      sent += n;
    }
  });
  uint32_t received = 0;
  bool in_order = true;
  std::vector<uint8_t> out(1000);
  while (received < kTotal) {
    if (b.GetSize() == 0) {
      std::this_thread::yield();
      continue;
    }
    const uint32_t n = b.Get(out.data(), static_cast<uint32_t>(out.size()), 1);
    for (uint32_t i = 0; i < n; ++i) in_order &= out[i] == static_cast<uint8_t>((received + i) * 31 + 7);
    received += n;
  }
  producer.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(b.GetSize(), 0u);
}

TEST(CBufferMT, WaitForSizeReturnsWithEnoughBytesOrAWake) {
  CBufferMT b(0x10000);
  const std::vector<uint8_t> chunk = Bytes(100);
  b.Put(chunk.data(), 100);
  EXPECT_TRUE(b.WaitForSize(100));  // already there
  b.Wake();                          // a wake with nobody waiting ends the next wait, once
  EXPECT_FALSE(b.WaitForSize(200));
  std::thread producer([&] {
    for (int i = 0; i < 9; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      b.Put(chunk.data(), 100);
    }
  });
  EXPECT_TRUE(b.WaitForSize(1000));
  EXPECT_EQ(b.GetSize(), 1000u);
  producer.join();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    b.Wake();
  });
  EXPECT_FALSE(b.WaitForSize(2000));
  waker.join();
}

// The timed wait of the processing thread's batches: it ends with the bytes, a wake or the time.
TEST(CBufferMT, TimedWaitEndsWithTheBytesAWakeOrTheTime) {
  using Clock = std::chrono::steady_clock;
  constexpr uint32_t kLong = 60000;  // never reached: a wait that lasts this long has missed its wake
  CBufferMT b(0x10000);
  const std::vector<uint8_t> chunk = Bytes(100);
  b.Put(chunk.data(), 100);
  EXPECT_TRUE(b.WaitForSize(100, kLong));  // already there
  EXPECT_FALSE(b.WaitForSize(200, 5));     // the time is up first
  EXPECT_EQ(b.GetSize(), 100u);
  const auto t0 = Clock::now();
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 9; ++i) b.Put(chunk.data(), 100);
  });
  EXPECT_TRUE(b.WaitForSize(1000, kLong));
  producer.join();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    b.Wake();
  });
  EXPECT_FALSE(b.WaitForSize(2000, kLong));
  waker.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kLong / 2));
}

// The consumer sleeps between blocks; the producer empties the buffer now and then, as the capture
// callback does when it overflows. No block that stays in the buffer may be left unnoticed.
TEST(CBufferMT, NoWakeUpIsLostAroundClears) {
  CBufferMT b(0x10000);
  const std::vector<uint8_t> chunk = Bytes(1000);
  std::atomic<uint64_t> taken{0};
  std::thread consumer([&] {
    std::vector<uint8_t> out(1000);
    while (b.WaitForSize(1000)) taken += b.Get(out.data(), 1000, 1);
  });
  for (int i = 0; i < 3000; ++i) {
    b.Put(chunk.data(), 600);
    b.Put(chunk.data(), 400);
    if (i % 3 == 0) b.Clear();
    if (i % 50 == 0) std::this_thread::yield();
  }
  b.Put(chunk.data(), 1000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (b.GetSize() >= 1000 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_LT(b.GetSize(), 1000u) << "the consumer slept through a whole block";
  b.Wake();
  consumer.join();
  EXPECT_GE(taken.load(), 1000u);
}

}  // namespace
}  // namespace pelkan
