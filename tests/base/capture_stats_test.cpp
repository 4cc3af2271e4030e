#include "base/capture_stats.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

void Fill(CaptureStats& s) {
  s.transfer_rate = 1.5;
  s.packet_size = 188;
  s.sync_losses = 1;
  s.continuity_errors = 2;
  s.scrambled_packets = 3;
  s.clock_date = 4;
  s.clock_time = 5;
  s.clock_tick = 6;
  s.fifo_overflows = 7;
  s.input_overflows = 8;
  s.packet_stage_overflows = 9;
}

TEST(CaptureStats, ClearCountersKeepsRateSizeAndClock) {
  CaptureStats s;
  Fill(s);
  s.ClearCounters();
  EXPECT_EQ(s.sync_losses.load() + s.continuity_errors.load() + s.scrambled_packets.load() +
                s.fifo_overflows.load() + s.input_overflows.load() + s.packet_stage_overflows.load(),
            0u);
  EXPECT_EQ(s.transfer_rate.load(), 1.5);
  EXPECT_EQ(s.packet_size.load(), 188);
  EXPECT_EQ(s.clock_date.load(), 4u);
  EXPECT_EQ(s.clock_time.load(), 5u);
  EXPECT_EQ(s.clock_tick.load(), 6u);
}

TEST(CaptureStats, ResetZeroesEverything) {
  CaptureStats s;
  Fill(s);
  s.Reset();
  EXPECT_EQ(s.transfer_rate.load(), 0.0);
  EXPECT_EQ(s.packet_size.load(), 0);
  EXPECT_EQ(s.clock_date.load() + s.clock_time.load() + s.clock_tick.load() + s.input_overflows.load(), 0u);
}

}  // namespace
}  // namespace pelkan
