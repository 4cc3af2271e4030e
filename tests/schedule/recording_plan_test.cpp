#include "schedule/recording_plan.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan {
namespace {

// A request over [start, end) minutes, on `tuning` ("" = the stream being received).
PlanRequest At(int64_t start_min, int64_t end_min, uint8_t priority = kDefaultPriority, std::string tuning = "v1",
               uint16_t stream_id = 0) {
  PlanRequest r;
  r.known = true;
  r.start = start_min * 60;
  r.end = end_min * 60;
  r.priority = priority;
  r.tuning = std::move(tuning);
  r.stream_id = stream_id;
  return r;
}

struct Expect {
  PlanVerdict verdict;
  int64_t start_min, end_min;  // what it records
  int head_by, tail_by, by;
};

TEST(RecordingPlan, VerdictsOverTheListTable) {
  const PlanVerdict W = PlanVerdict::kWhole, P = PlanVerdict::kPart, N = PlanVerdict::kNone;
  struct Case {
    const char* what;
    std::vector<PlanRequest> requests;
    std::vector<Expect> expected;
  };
  PlanRequest unknown;
  const std::vector<Case> cases = {
      {"apart: both whole", {At(0, 30), At(30, 60, 3, "v2")}, {{W, 0, 30, -1, -1, -1}, {W, 30, 60, -1, -1, -1}}},
      {"equal priority: the later one starts when the first ends",
       {At(0, 30), At(20, 60, 3, "v2")},
       {{W, 0, 30, -1, -1, -1}, {P, 30, 60, 0, -1, -1}}},
      {"a higher one takes the tuner at its start: tail cut",
       {At(0, 30), At(20, 60, 5, "v2")},
       {{P, 0, 20, -1, 1, -1}, {W, 20, 60, -1, -1, -1}}},
      {"a higher one inside a lower one: the lower stops and does not resume",
       {At(0, 60, 1), At(10, 20, 2, "v2")},
       {{P, 0, 10, -1, 1, -1}, {W, 10, 20, -1, -1, -1}}},
      {"a lower one wholly inside a higher one records nothing, naming the winner",
       {At(0, 60, 4), At(10, 20, 2, "v2")},
       {{W, 0, 60, -1, -1, -1}, {N, 0, 0, -1, -1, 0}}},
      {"same start and priority: the one earlier in the list",
       {At(0, 30, 3, "v2"), At(0, 30)},
       {{W, 0, 30, -1, -1, -1}, {N, 0, 0, -1, -1, 0}}},
      {"same tuning records at once", {At(0, 30), At(10, 40)}, {{W, 0, 30, -1, -1, -1}, {W, 10, 40, -1, -1, -1}}},
      {"same tuning but other known streams collide",
       {At(0, 30, 3, "", 0x7FE0), At(10, 40, 3, "", 0x7FE1)},
       {{W, 0, 30, -1, -1, -1}, {P, 30, 40, 0, -1, -1}}},
      {"an unknown stream shares with a known one", {At(0, 30, 3, "", 0x7FE0), At(10, 40, 3, "", 0)},
       {{W, 0, 30, -1, -1, -1}, {W, 10, 40, -1, -1, -1}}},
      {"head and tail cut by two winners",
       {At(0, 20, 5, "v2"), At(10, 60), At(40, 70, 4, "v3")},
       {{W, 0, 20, -1, -1, -1}, {P, 20, 40, 0, 2, -1}, {W, 40, 70, -1, -1, -1}}},
      {"a partner of the winner's stream keeps what the winner took from a third",
       {At(0, 60, 5, "v1"), At(0, 60, 4, "v2"), At(30, 90, 3, "v1")},
       {{W, 0, 60, -1, -1, -1}, {N, 0, 0, -1, -1, 0}, {W, 30, 90, -1, -1, -1}}},
      {"chain: the cut one's granted time is what it holds",
       {At(0, 40, 4, "v1"), At(20, 60, 3, "v2"), At(45, 80, 2, "v3")},
       {{W, 0, 40, -1, -1, -1}, {P, 40, 60, 0, -1, -1}, {P, 60, 80, 1, -1, -1}}},
      {"an unknown time takes nothing", {unknown, At(0, 30)},
       {{PlanVerdict::kUnknown, 0, 0, -1, -1, -1}, {W, 0, 30, -1, -1, -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<PlanLine> lines = MakePlan(c.requests);
    ASSERT_EQ(lines.size(), c.expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      SCOPED_TRACE(i);
      const Expect& e = c.expected[i];
      EXPECT_EQ(lines[i].verdict, e.verdict);
      if (e.verdict == W || e.verdict == P) {
        EXPECT_EQ(lines[i].start, e.start_min * 60);
        EXPECT_EQ(lines[i].end, e.end_min * 60);
        EXPECT_EQ(lines[i].head_lost, lines[i].start - c.requests[i].start);
        EXPECT_EQ(lines[i].tail_lost, c.requests[i].end - lines[i].end);
      }
      EXPECT_EQ(lines[i].head_by, e.head_by);
      EXPECT_EQ(lines[i].tail_by, e.tail_by);
      EXPECT_EQ(lines[i].by, e.by);
    }
  }
}

TEST(RecordingPlan, ReservationsBringTheirMarginsTuningAndTexts) {
  ScheduleItem a{};
  a.flags = SI_BY_TIME | SI_CHANNEL_VALUE;
  a.channel_value = 13;
  a.start_day = 60000;
  a.start_second = 3600;
  a.duration = 1800;
  a.margin_before = 60;
  a.margin_after = 120;
  SetText(a.title, platform::Sjis("ニュース"));
  ScheduleItem b = a;
  b.channel_value = 27;
  b.start_second = 3600 + 1800;  // starts as a ends, but a's end margin reaches into it
  b.margin_before = 0;
  b.priority = 2;
  SetText(b.title, platform::Sjis("映画"));
  const std::vector<ScheduleItem> items = {a, b};
  const PlanRequest ra = PlanRequestOf(a);
  EXPECT_EQ(ra.start, int64_t{60000} * 86400 + 3600 - 60);
  EXPECT_EQ(ra.end, int64_t{60000} * 86400 + 3600 + 1800 + 120);
  EXPECT_FALSE(SharesTuner(ra, PlanRequestOf(b)));
  const std::vector<PlanLine> lines = MakePlan(std::vector<PlanRequest>{ra, PlanRequestOf(b)});
  EXPECT_EQ(platform::SjisToUtf8(PlanText(lines[0], items)), "全体");
  EXPECT_EQ(platform::SjisToUtf8(PlanText(lines[1], items)), "一部 (開始 2分遅れ)");
  EXPECT_EQ(platform::SjisToUtf8(PlanToolTip(lines[1], items, lines)), "00:59:00-01:32:00 ニュース が録画");
  PlanLine none;
  none.verdict = PlanVerdict::kNone;
  none.by = 0;
  EXPECT_EQ(platform::SjisToUtf8(PlanText(none, items)), "録画不可 (ニュース と重複)");
  PlanLine both;
  both.verdict = PlanVerdict::kPart;
  both.head_lost = 61;
  both.tail_lost = 600;
  EXPECT_EQ(platform::SjisToUtf8(PlanText(both, items)), "一部 (開始 2分遅れ、終了 10分早め)");
}

}  // namespace
}  // namespace pelkan
