#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace pelkan {

// The capture application's statistics record. Three parties write it without a common lock: the
// device's receive thread (transfer rate, FIFO overflows), the processing thread (the processor's
// counters and packet size, the broadcast clock) and the UI thread (clearing). Every field is an
// atomic word, so any thread may read it at any time; relaxed order is enough for counters.
struct CaptureStats {
  // USB input rate in bytes per second.
  std::atomic<double> transfer_rate{0.0};
  // Detected TS packet size (188, 192 or 204); 0 while not synchronised. The processor keeps its
  // alignment state here, so zeroing it makes the next Feed search for packets again.
  std::atomic<uint16_t> packet_size{0};
  // Times an expected sync byte was missing.
  std::atomic<uint32_t> sync_losses{0};
  // continuity_counter breaks on packets that start a payload unit (the window's 不連続).
  std::atomic<uint32_t> continuity_errors{0};
  // Packets missing by continuity_counter as the packet checker counts them (`pelkan-cli check`,
  // a recording's report); counted only when the processor is asked to (SetCountDrops).
  std::atomic<uint32_t> dropped_packets{0};
  // Packets with a non-zero transport_scrambling_control.
  std::atomic<uint32_t> scrambled_packets{0};
  // Broadcast clock from the last time-offset table: Modified Julian Date (0 = none yet), seconds
  // of the day, and the millisecond tick at which it arrived. Written together by SetClock and
  // read together by ReadClock (clock_sequence is odd while they are being written).
  std::atomic<uint32_t> clock_date{0};
  std::atomic<uint32_t> clock_time{0};
  std::atomic<uint32_t> clock_tick{0};
  std::atomic<uint32_t> clock_sequence{0};
  // "R": times the capture FIFO was full and was emptied.
  std::atomic<uint32_t> fifo_overflows{0};
  // "Sy": Feed chunks the processor's input stage did not take whole.
  std::atomic<uint32_t> input_overflows{0};
  // "St": chunks the processor's packet stage did not take whole.
  std::atomic<uint32_t> packet_stage_overflows{0};

  // The broadcast clock as read at one moment: its last time and how long ago it was told.
  struct ClockReading {
    uint32_t date = 0;  // 0: none yet
    uint32_t seconds = 0;
    uint32_t age_ms = 0;
  };
  // Tells the clock (one writer at a time: the processing thread, or the owner while it stops).
  void SetClock(uint32_t date, uint32_t seconds, uint32_t tick) {
    clock_sequence.fetch_add(1);
    clock_date.store(date);
    clock_time.store(seconds);
    clock_tick.store(tick);
    clock_sequence.fetch_add(1);
  }
  // The clock at millisecond tick `now`: never a time with another time's tick, and a clock told
  // after `now` was taken (by another thread meanwhile) is not older than `now`.
  ClockReading ReadClock(uint32_t now) const {
    for (;;) {
      const uint32_t before = clock_sequence.load();
      if (before & 1) {
        std::this_thread::yield();
        continue;
      }
      ClockReading r{clock_date.load(), clock_time.load(), 0};
      const uint32_t tick = clock_tick.load();
      if (clock_sequence.load() != before) continue;
      r.age_ms = static_cast<int32_t>(now - tick) > 0 ? now - tick : 0;
      return r;
    }
  }

  // Zeroes the error and overflow counters; leaves rate, packet size and clock alone.
  void ClearCounters() {
    for (auto* c : {&sync_losses, &continuity_errors, &dropped_packets, &scrambled_packets, &fifo_overflows, &input_overflows,
                    &packet_stage_overflows}) {
      c->store(0, std::memory_order_relaxed);
    }
  }
  // Zeroes every field (done at disconnect).
  void Reset() {
    ClearCounters();
    transfer_rate.store(0.0, std::memory_order_relaxed);
    packet_size.store(0, std::memory_order_relaxed);
    SetClock(0, 0, 0);
  }
};

}  // namespace pelkan
