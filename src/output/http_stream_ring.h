#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace pelkan {

// The whole stream as all its HTTP clients share it: the processing thread writes each packet once
// into one ring, and every client of the whole stream reads it with a cursor of its own, so adding
// a client adds no copy on the processing thread. A reader may fall behind by at most its bound:
// beyond that it skips its oldest whole packets, counted as lost, exactly as a client with a queue
// of that size (HttpClientQueue) would lose them. A reader's first packets (the tables a new client
// starts with) are its own and come before the shared ones.
//
// A sender of many readers copies what is new out once (Copy) and hands the same bytes to every
// reader that stands at them (Reader::Stand, Reader::Sent); the others read with Take.
class HttpStreamRing {
 public:
  class Reader;

  // Keeps the last `span` bytes of the stream: at least the largest bound of a reader and one write.
  explicit HttpStreamRing(size_t span);
  HttpStreamRing(const HttpStreamRing&) = delete;
  HttpStreamRing& operator=(const HttpStreamRing&) = delete;

  // Producer: `count` packets of `length` bytes (at most 204), laid end to end, for every reader;
  // wakes the readers that now have their wake bytes. Nothing is kept while no reader is attached.
  void Write(const uint8_t* packets, size_t count, uint32_t length);
  // A reader of the packets written from now on, at most `bound` bytes behind (rounded down to
  // whole 188-byte packets, at least one), woken once `wake_bytes` wait. It detaches when destroyed,
  // which must be before the ring is.
  std::unique_ptr<Reader> Attach(uint32_t bound, uint32_t wake_bytes);
  // Bytes written since the start (the position of the next one).
  uint64_t written();
  // Copies the stream from `from` (or from the oldest whole packet still kept, if that is later)
  // to the newest byte into `out`, and returns where the copy starts: whole packets.
  uint64_t Copy(uint64_t from, std::vector<uint8_t>* out);

 private:
  friend class Reader;
  // From `start` on the packets are `length` bytes long, up to the next segment's start.
  struct Segment {
    uint64_t start = 0;
    uint32_t length = 0;
  };

  // The segment `at` lies in (at or after the oldest kept). Under mutex_.
  const Segment& SegmentAt(uint64_t at) const;
  // Where the segment after the one `at` lies in starts (written_ for the newest). Under mutex_.
  uint64_t SegmentEnd(uint64_t at) const;
  // The first packet start at or after `at`. Under mutex_.
  uint64_t Boundary(uint64_t at) const;
  // The bytes of whole packets from `at` (a packet start) to at most `end`, at most `max`. Under mutex_.
  size_t WholeBytes(uint64_t at, uint64_t end, size_t max) const;
  // Copies `length` bytes of the stream from `at` into `out`. Under mutex_.
  void CopyOut(uint64_t at, size_t length, uint8_t* out) const;

  std::mutex mutex_;
  std::vector<uint8_t> ring_;
  // Bytes written since the start; the ring holds the last ring_.size() of them.
  uint64_t written_ = 0;
  std::deque<Segment> segments_;
  std::vector<Reader*> readers_;
};

class HttpStreamRing::Reader {
 public:
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // A packet of the reader's own, before the shared ones written after it attached. Call it before
  // the next Write.
  void Lead(const uint8_t* packet, uint32_t length);
  // Copies whole packets into `out` (when `max` is below the next packet, that packet is handed out
  // over several calls), waiting at most `wait` for the wake bytes to gather. Returns the bytes
  // copied: 0 when nothing came in that time or the reader is closed.
  size_t Take(uint8_t* out, size_t max, std::chrono::milliseconds wait);
  // Where the reader stands to `size` bytes of the stream from `from` (as Copy gave them):
  enum class Stand {
    kAt,     // at a packet among them, with nothing of its own before: *offset is its place in
             // them, and the reader stays there, never trimmed, until Sent
    kAhead,  // past them
    kAside,  // elsewhere (its own packets first, a packet handed out in part, fallen behind,
             // closed): it reads with Take
  };
  Stand StandAt(uint64_t from, size_t size, size_t* offset);
  // After kAt: `sent` of the `size` bytes at `bytes` (the copy from the reader's place on) went out
  // to the reader. A packet sent in part leaves its rest to be taken first.
  void Sent(const uint8_t* bytes, size_t size, size_t sent);
  // Ends the reader for good: Take returns what was written until now without waiting, then 0.
  void Close();
  // Bytes the reader lost (skipped as oldest), those it will skip at its next Take included.
  uint64_t bytes_lost();

 private:
  friend class HttpStreamRing;
  Reader(HttpStreamRing& ring, uint32_t bound, uint32_t wake_bytes);
  // The end of what the reader may take. Under the ring's mutex.
  uint64_t End() const;
  // The bytes waiting for the reader, its own packets included. Under the ring's mutex.
  uint64_t Waiting() const;
  // Skips the oldest whole packets beyond the bound, counted as lost. Under the ring's mutex.
  void Trim();

  HttpStreamRing& ring_;
  const uint32_t bound_;
  const uint32_t wake_bytes_;
  // Guarded by the ring's mutex: the next shared byte, the reader's own packets, a packet handed
  // out in pieces (from partial_at_), and whether the reader waits or is closed (at closed_at_).
  uint64_t cursor_ = 0;
  std::deque<std::vector<uint8_t>> own_;
  uint64_t own_bytes_ = 0;
  std::vector<uint8_t> partial_;
  size_t partial_at_ = 0;
  bool waiting_ = false;
  bool held_ = false;  // between StandAt's kAt and Sent
  bool closed_ = false;
  uint64_t closed_at_ = 0;
  uint64_t lost_ = 0;
  std::condition_variable wake_;
};

}  // namespace pelkan
