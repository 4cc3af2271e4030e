#include "core/tuner_dropout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelkan {
namespace {

using Kind = RecordingStop::Kind;

// When a manual recording in a drop-out's gap gives up, and what its report then says.
TEST(TunerDropout, ManualRecordingGivesUpAtItsTimerOrTheWait) {
  struct Case {
    const char* name;
    uint32_t lost_at;
    Kind kind;
    int error;
    bool in_gap;
    uint32_t away_ms;
    int wait_minutes;
    const char* why;  // nullptr: goes on
  };
  const Case cases[] = {
      {"timer in gap", 1000, Kind::kTimerReached, 0, true, 65000, 0,
       "the tuner dropped out 1:05 ago and was not back by the stop time"},
      {"wait reached", 1000, Kind::kNone, 0, true, 5 * 60000, 5,
       "the tuner dropped out 5:00 ago and was not back within DROPOUT_WAIT (5 min)"},
      {"wait not yet", 1000, Kind::kNone, 0, true, 5 * 60000 - 1, 5, nullptr},
      {"no wait limit", 1000, Kind::kNone, 0, true, 600 * 60000, 0, nullptr},
      {"tick wrapped", 0xFFFFF000u, Kind::kNone, 0, true, 2 * 60000, 2,
       "the tuner dropped out 2:00 ago and was not back within DROPOUT_WAIT (2 min)"},
      {"not in a gap", 1000, Kind::kTimerReached, 0, false, 65000, 1, nullptr},
      {"write failed", 1000, Kind::kWriteFailed, 28, true, 10 * 60000, 1, nullptr},
  };
  for (const Case& c : cases) {
    TunerDropout dropout;
    std::vector<std::string> log;
    dropout.SetLog([&](const std::string& line) { log.push_back(line); });
    dropout.Lost(
        c.lost_at, false, [&] { dropout.BreakMarked(); }, 0);
    ASSERT_TRUE(dropout.IsAway()) << c.name;
    ASSERT_TRUE(dropout.TakeBreakRequest()) << c.name;
    RecordingStop stop;
    stop.kind = c.kind;
    stop.error = c.error;
    const std::optional<std::string> why =
        dropout.GiveUpReason(stop, c.in_gap, c.lost_at + c.away_ms, c.wait_minutes);
    if (c.why == nullptr) {
      EXPECT_FALSE(why) << c.name << ": " << why.value_or("");
    } else {
      EXPECT_EQ(why.value_or("(goes on)"), c.why) << c.name;
    }
    dropout.Back(c.lost_at + c.away_ms);
    EXPECT_FALSE(dropout.IsAway()) << c.name;
    ASSERT_EQ(log.size(), 2u) << c.name;
    EXPECT_NE(log[1].find("(away " + std::to_string(c.away_ms / 60000) + ":"), std::string::npos) << log[1];
  }
}

}  // namespace
}  // namespace pelkan
