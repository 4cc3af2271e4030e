#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/capture_stats.h"
#include "ts/packet_aligner.h"
#include "ts/pid_checker.h"

namespace pelkan {

// Checks a recorded byte stream as a capture would have taken it in: the processor's alignment stage
// finds the 188/192/204-byte packets and counts the sync losses by its rules (junk before the first
// packet is skipped without a count), and every aligned packet, null packets aside, goes through a
// PidChecker. One thread at a time.
class StreamCheck {
 public:
  StreamCheck();
  StreamCheck(const StreamCheck&) = delete;
  StreamCheck& operator=(const StreamCheck&) = delete;

  // Checks the next `length` bytes of the stream (any split of the stream gives the same result).
  void Feed(const uint8_t* data, size_t length);
  // Checks the whole file at `path` (from the page cache when it is there). False, with *error
  // set to the reason, when it cannot be opened or read; what was read until then stays checked.
  bool FeedFile(const std::string& path, std::string* error);

  // The stream broke off after these byte offsets (ascending; the gaps a recording's report lists,
  // where the tuner was away): the continuity restarts at the packet there, so what the break lost
  // is not counted as drops. Before the first Feed.
  void SetGaps(std::vector<uint64_t> offsets) { gaps_ = std::move(offsets); }

  const PidChecker& checker() const { return checker_; }
  // Size of the packets found (188, 192 or 204); 0 when none was found.
  uint32_t packet_size() const { return packet_size_; }
  // Bytes fed so far.
  uint64_t bytes() const { return bytes_; }
  // Bytes after the last whole packet that make no packet (a torn last packet); 0 when the stream
  // ends on a packet boundary or holds no packet.
  uint32_t trailing_bytes() const { return checker_.packets_checked() == 0 ? 0 : aligner_.pending(); }
  // Times an expected sync byte was missing.
  uint32_t sync_losses() const { return stats_.sync_losses.load(std::memory_order_relaxed); }

 private:
  CaptureStats stats_;
  PacketAligner aligner_;
  PidChecker checker_;
  uint32_t packet_size_ = 0;
  uint64_t bytes_ = 0;
  uint64_t offset_ = 0;  // where the next packet would start if no sync were lost
  std::vector<uint64_t> gaps_;
  size_t next_gap_ = 0;
};

// Why bytes in which the alignment found `packets` packets of `packet_size` bytes are no MPEG
// transport stream: "is not an MPEG transport stream (...)" with the reason, or the empty text for
// a stream. Random bytes hold a chance run of sync bytes now and then, so a stream must be mostly
// packets: at least half of its `bytes`. The one rule of every command that takes a stream in.
std::string NotAStreamText(uint64_t packets, uint32_t packet_size, uint64_t bytes);

// NotAStreamText of the first `sample` bytes of the file at `path` (all of a shorter one); the
// empty text also when the file cannot be read (its reader says so).
std::string FileNotAStreamText(const std::string& path, uint64_t sample);

}  // namespace pelkan
