// The shared ring of the whole stream: each reader loses and receives exactly what a client with a
// queue of its own (HttpClientQueue) would, whatever the others do.
#include "output/http_stream_ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "output/http_client_queue.h"

namespace pelkan {
namespace {

constexpr std::chrono::milliseconds kNoWait{0};

// `count` packets of `length` bytes, each filled with its own running number.
std::vector<uint8_t> Packets(size_t count, uint32_t length, uint32_t* number) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i, ++*number) {
    std::vector<uint8_t> p(length, static_cast<uint8_t>(*number));
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(*number >> 8);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

TEST(HttpStreamRing, EachReaderGetsAndLosesWhatItsOwnQueueWould) {
  struct Case {
    const char* name;
    uint32_t bound;
    std::vector<uint32_t> lengths;  // packet lengths of the writes, one picked per write
    size_t max_room;                // a Take's room is 1..max_room bytes
    uint32_t max_write;             // packets per write: 1..max_write
  };
  const Case cases[] = {
      {"fast reader, large room", 64 * 188, {188}, 256 << 10, 128},
      {"reader behind its bound", 20 * 188, {188}, 3000, 40},
      {"mixed packet sizes", 16 * 188, {188, 192, 204}, 1000, 12},
      {"room below a packet", 8 * 188, {188, 204}, 200, 6},
      {"bound of one packet", 100, {188, 192}, 400, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A second reader that never reads must not change what the first one gets.
    HttpStreamRing ring(c.bound + 129 * 204);
    std::unique_ptr<HttpStreamRing::Reader> reader = ring.Attach(c.bound, 188);
    std::unique_ptr<HttpStreamRing::Reader> idle = ring.Attach(c.bound, 188);
    HttpClientQueue queue(c.bound, 188);
    uint32_t number = 0;
    for (const uint32_t length : {188u, 204u}) {  // the tables a client starts with, its own
      const std::vector<uint8_t> lead = Packets(1, length, &number);
      reader->Lead(lead.data(), length);
      queue.Push(lead.data(), length);
    }
    std::mt19937 random(7);
    std::vector<uint8_t> got(c.max_room), want(c.max_room);
    // A sender's copies: what it hands out is the same whether the reader stood at them or took.
    std::vector<uint8_t> shared, want_shared;
    uint64_t copied_to = 0;
    for (int step = 0; step < 600; ++step) {
      const unsigned kind = random() % 3;
      if (kind == 2) {
        const uint64_t start = ring.Copy(copied_to, &shared);
        copied_to = start + shared.size();
        size_t offset = 0;
        if (reader->StandAt(start, shared.size(), &offset) == HttpStreamRing::Reader::Stand::kAt) {
          const size_t left = shared.size() - offset;
          // As a socket takes it: often whole, else any part of it, a packet cut anywhere.
          const size_t sent = random() % 2 == 0 ? left : random() % (left + 1);
          reader->Sent(shared.data() + offset, left, sent);
          want_shared.resize(sent);
          for (size_t taken = 0, n = 1; taken < sent && n > 0; taken += n) {
            n = queue.Take(want_shared.data() + taken, sent - taken, kNoWait);
          }
          ASSERT_TRUE(std::equal(want_shared.begin(), want_shared.end(), shared.begin() + static_cast<ptrdiff_t>(offset)))
              << "step " << step;
        }
      } else if (kind == 0) {
        const uint32_t length = c.lengths[random() % c.lengths.size()];
        const size_t count = 1 + random() % c.max_write;
        const std::vector<uint8_t> packets = Packets(count, length, &number);
        ring.Write(packets.data(), count, length);
        queue.Push(packets.data(), count, length);
      } else {
        const size_t room = 1 + random() % c.max_room;
        const size_t n = reader->Take(got.data(), room, kNoWait);
        ASSERT_EQ(n, queue.Take(want.data(), room, kNoWait)) << "step " << step;
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(n), want.begin()))
            << "step " << step;
      }
      ASSERT_EQ(reader->bytes_lost(), queue.bytes_lost()) << "step " << step;
    }
    // It keeps at most its bound of the shared packets (the two leads were the other's own).
    EXPECT_GE(static_cast<int64_t>(idle->bytes_lost()), int64_t{number - 2} * 188 - c.bound);
  }
}

TEST(HttpStreamRing, ReaderStartsAtTheNextWriteAndEndsWhenClosed) {
  HttpStreamRing ring(64 * 188);
  uint32_t number = 0;
  std::unique_ptr<HttpStreamRing::Reader> first = ring.Attach(32 * 188, 188);
  ring.Write(Packets(2, 188, &number).data(), 2, 188);
  std::unique_ptr<HttpStreamRing::Reader> second = ring.Attach(32 * 188, 188);
  ring.Write(Packets(1, 188, &number).data(), 1, 188);
  std::vector<uint8_t> out(4096);
  EXPECT_EQ(first->Take(out.data(), out.size(), kNoWait), 3u * 188);
  ASSERT_EQ(second->Take(out.data(), out.size(), kNoWait), 188u);
  EXPECT_EQ(out[2], 2);  // the packet written after it came
  // Closed: what was written before is still handed out, nothing after, and Take does not wait.
  ring.Write(Packets(1, 188, &number).data(), 1, 188);
  second->Close();
  ring.Write(Packets(1, 188, &number).data(), 1, 188);
  EXPECT_EQ(second->Take(out.data(), out.size(), std::chrono::milliseconds(1000)), 188u);
  EXPECT_EQ(second->Take(out.data(), out.size(), std::chrono::milliseconds(1000)), 0u);
  EXPECT_EQ(first->Take(out.data(), out.size(), kNoWait), 2u * 188);
}

}  // namespace
}  // namespace pelkan
