#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/capture_stats.h"
#include "ts/packet_header.h"

namespace pelkan {

// The alignment stage of the processor: finds the 188, 192 or 204-byte packets in a byte stream
// and counts the sync losses. While not synchronised (stats.packet_size 0) it searches a window
// of 612 bytes for the first of its first 204 offsets where a sync byte is followed by two more at
// the packet size (188 tried first, then 192, then 204); when none qualifies those 204 bytes are
// discarded. Synchronised, every packet must start with the sync byte; a missing one counts a sync
// loss and starts a new search at that byte. The packet size and the counters live in `stats`.
// One thread at a time.
class PacketAligner {
 public:
  static constexpr uint32_t kSearchWindow = 612;

  PacketAligner() : pending_(kSearchWindow) {}

  // Aligns the next `n` bytes of the stream and calls on_packet(packet, size) for every whole
  // packet, in order. The bytes of one call are looked at where they are; only what does not make
  // a whole packet (or, before synchronisation, a search window) is kept for the next call.
  template <typename OnPacket>
  void Feed(const uint8_t* p, uint32_t n, CaptureStats& stats, OnPacket&& on_packet);

  // Bytes kept for the next call (at most one search window).
  uint32_t pending() const { return pending_length_; }
  // Forgets the bytes kept: the stream broke off, and a torn packet is not joined to what follows.
  void Discard() { pending_length_ = 0; }

  // Packet size found at the first qualifying offset of a 612-byte window, or 0; `offset` receives
  // the offset (it is left alone when none qualifies).
  static uint32_t FindSync(const uint8_t* window, uint32_t* offset);
  // Offsets of a window tried as a packet start. When none qualifies, exactly these bytes are
  // discarded and the search goes on behind them, so a burst of garbage costs no more than itself.
  static constexpr uint32_t kSearchSpan = 204;
  // How many packets ahead of the one handed on the bytes are fetched into the cache.
  static constexpr uint32_t kPrefetchPackets = 64;

 private:
  static void LoseSync(CaptureStats& stats) {
    stats.sync_losses.fetch_add(1, std::memory_order_relaxed);
    stats.packet_size.store(0, std::memory_order_relaxed);
  }

  std::vector<uint8_t> pending_;
  uint32_t pending_length_ = 0;
};

template <typename OnPacket>
void PacketAligner::Feed(const uint8_t* p, uint32_t n, CaptureStats& stats, OnPacket&& on_packet) {
  uint32_t size = stats.packet_size.load(std::memory_order_relaxed);
  if (size != 0 && size != 188 && size != 192 && size != 204) {
    size = 0;
    stats.packet_size.store(0, std::memory_order_relaxed);
  }
  for (;;) {
    // The kept bytes are worked off first, topped up from the new ones.
    if (pending_length_ > 0) {
      const uint32_t need = size ? size : kSearchWindow;
      if (pending_length_ < need) {
        const uint32_t take = std::min(n, need - pending_length_);
        std::memcpy(pending_.data() + pending_length_, p, take);
        pending_length_ += take;
        p += take;
        n -= take;
        if (pending_length_ < need) return;
      }
      uint32_t consumed;
      if (size == 0) {
        uint32_t offset = 0;
        size = FindSync(pending_.data(), &offset);
        if (size == 0) {
          consumed = kSearchSpan;  // no packet starts there; the search goes on behind them
        } else {
          stats.packet_size.store(static_cast<uint16_t>(size), std::memory_order_relaxed);
          consumed = offset;
        }
      } else if (pending_[0] != kSyncByte) {
        LoseSync(stats);
        size = 0;
        continue;
      } else {
        on_packet(static_cast<const uint8_t*>(pending_.data()), size);
        consumed = size;
      }
      pending_length_ -= consumed;
      if (pending_length_ > 0) std::memmove(pending_.data(), pending_.data() + consumed, pending_length_);
      continue;
    }

    while (size == 0) {
      if (n < kSearchWindow) break;
      uint32_t offset = kSearchSpan;
      size = FindSync(p, &offset);
      if (size != 0) stats.packet_size.store(static_cast<uint16_t>(size), std::memory_order_relaxed);
      p += offset;
      n -= offset;
    }
    if (size == 0) break;
    while (n >= size && p[0] == kSyncByte) {
      // Bytes of a file mapped from the page cache are not in the processor's cache yet: the
      // header of a packet some kilobytes on is asked for now, so that memory works meanwhile.
      // (An address past the bytes is harmless: a prefetch never faults.)
      __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + kPrefetchPackets * size));
      on_packet(p, size);
      p += size;
      n -= size;
    }
    if (n < size) break;
    LoseSync(stats);
    size = 0;
  }
  std::memcpy(pending_.data(), p, n);
  pending_length_ = n;
}

}  // namespace pelkan
