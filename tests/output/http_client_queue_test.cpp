// The queue of one HTTP client: the oldest whole packets make room, counted, and what the reader
// takes is whole packets in order (a packet larger than the reader's room goes out in pieces).
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "output/http_client_queue.h"

namespace pelkan {
namespace {

std::vector<uint8_t> Packet(uint8_t number, uint32_t length = 188) {
  std::vector<uint8_t> p(length, number);
  p[0] = 0x47;
  return p;
}

TEST(HttpClientQueue, DropsTheOldestWholePacketsAndHandsOutTheRestInOrder) {
  // Packets pushed one by one, and the same packets pushed as one batch.
  for (const bool batch : {false, true}) {
    HttpClientQueue queue(3 * 188, 188);
    std::vector<uint8_t> packets;
    for (uint8_t n = 1; n <= 5; ++n) {
      const std::vector<uint8_t> p = Packet(n);
      if (batch) packets.insert(packets.end(), p.begin(), p.end());
      else queue.Push(p.data(), 188);
    }
    if (batch) queue.Push(packets.data(), 5, 188);
    EXPECT_EQ(queue.bytes_lost(), 2u * 188) << batch;
    EXPECT_EQ(queue.bytes_queued(), 5u * 188) << batch;
    std::vector<uint8_t> out(4096);
    ASSERT_EQ(queue.Take(out.data(), out.size(), std::chrono::milliseconds(0)), 3u * 188) << batch;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(out[i * 188], 0x47);
      EXPECT_EQ(out[i * 188 + 1], 3 + i) << batch;
    }
    EXPECT_EQ(queue.Take(out.data(), out.size(), std::chrono::milliseconds(1)), 0u);
  }
}

TEST(HttpClientQueue, ReaderRoomDecidesTheCut) {
  HttpClientQueue queue(8 * 188, 188);
  queue.Push(Packet(1).data(), 188);
  queue.Push(Packet(2, 204).data(), 204);
  std::vector<uint8_t> out(300);
  // Room for one packet and part of the next: only the whole one.
  EXPECT_EQ(queue.Take(out.data(), 300, std::chrono::milliseconds(0)), 188u);
  // Less room than a packet: it goes out in pieces, and a packet pushed meanwhile is not lost.
  EXPECT_EQ(queue.Take(out.data(), 100, std::chrono::milliseconds(0)), 100u);
  EXPECT_EQ(out[1], 2);
  queue.Push(Packet(3).data(), 188);
  EXPECT_EQ(queue.Take(out.data(), 300, std::chrono::milliseconds(0)), 104u);
  EXPECT_EQ(queue.Take(out.data(), 300, std::chrono::milliseconds(0)), 188u);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(queue.bytes_lost(), 0u);
  queue.Close();
  queue.Push(Packet(4).data(), 188);
  EXPECT_EQ(queue.Take(out.data(), 300, std::chrono::milliseconds(1000)), 0u);
}

}  // namespace
}  // namespace pelkan
