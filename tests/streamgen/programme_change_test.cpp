// What the present/following and schedule tables of the synthetic broadcast say about a programme
// made late, early, extended or undetermined, before and after the change shows.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "streamgen/programme_schedule.h"
#include "streamgen/si_tables.h"
#include "ts/tables/eit_section.h"

namespace pelkan::streamgen {
namespace {

constexpr uint16_t kService = 1032;  // third service: programmes of 15 minutes
constexpr size_t kServiceIndex = 2;
constexpr uint32_t kSlot = 900;
constexpr uint32_t kNone = 0xFFFFFFFFu;

// Programmes are named by their distance from the one scheduled at 21:30 ("k1"); times are seconds
// from 21:30 on the broadcast day the generator starts on (20:59:00). No 3-hour window of the
// schedule tables begins near it, so a new version there comes from the change alone.
const AbsTime kBase = ToAbs(MjdTime{MjdFromDate(2026, 12, 7), 21 * 3600 + 1800});
const uint64_t k1 = kBase / kSlot;
uint16_t EventId(int dk) {
  return static_cast<uint16_t>((k1 + dk) % 0xFFFE + 1);
}

// An event as a table says it: its distance from k1, start (from 21:30) and duration.
struct Said {
  int dk;
  int64_t start;
  uint32_t duration;
  bool operator==(const Said&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Said& s) {
  return os << "{dk " << s.dk << ", start " << s.start << ", duration " << s.duration << "}";
}

Said Read(const EitSection::Event& e) {
  const int dk = static_cast<int>(e.event_id) - static_cast<int>(EventId(0));
  const int64_t start =
      static_cast<int64_t>(uint64_t{e.start_mjd} * 86400 + e.StartSecond()) - static_cast<int64_t>(kBase);
  return Said{dk, start, e.DurationSeconds()};
}

struct Tables {
  Said present, following;
  uint8_t pf_version = 0;
  std::map<int, Said> schedule;  // by dk, the programmes from k1 - 1 to k1 + 3
  uint8_t schedule_version = 0;
};

// The service's present/following and schedule (basic, near table) as the generator builds them at
// `at` seconds from 21:30.
Tables At(const std::vector<ProgrammeChange>& changes, int64_t at) {
  GeneratorOptions o;
  o.programme_changes = changes;
  EXPECT_EQ(CheckGeneratorOptions(o), "");
  const BroadcastGenerator g(o);
  const MultiplexInfo& mux = g.Multiplex(0);
  const ProgrammeSchedule schedule(o.seed, kService, kSlot, true, changes, ToAbs(o.start_time));
  const AbsTime now = static_cast<AbsTime>(static_cast<int64_t>(kBase) + at);
  Tables t;
  const std::vector<std::vector<uint8_t>> pf = BuildPresentFollowing(mux, kServiceIndex, schedule, now);
  EXPECT_EQ(pf.size(), 2u);
  for (size_t n = 0; n < pf.size(); ++n) {
    const std::optional<EitSection> s = EitSection::Read(pf[n].data(), pf[n].size());
    EXPECT_TRUE(s && s->events.size() == 1);
    if (!s || s->events.size() != 1) return t;
    (n == 0 ? t.present : t.following) = Read(s->events[0]);
    t.pf_version = s->header.version_number;
  }
  for (AbsTime segment = (kBase - 10800) / 10800 * 10800; segment <= kBase + 10800; segment += 10800) {
    for (const std::vector<uint8_t>& bytes :
         BuildScheduleSegment(mux, kServiceIndex, schedule, false, segment, now)) {
      const std::optional<EitSection> s = EitSection::Read(bytes.data(), bytes.size());
      if (!s) continue;
      if (s->header.table_id == 0x50) t.schedule_version = s->header.version_number;
      for (const EitSection::Event& e : s->events) {
        const Said said = Read(e);
        if (said.dk >= -1 && said.dk <= 3) t.schedule[said.dk] = said;
      }
    }
  }
  return t;
}

struct Moment {
  int64_t at;
  Said present, following;
};

struct Case {
  const char* name;
  std::vector<ProgrammeChange> changes;
  int64_t shows;                                        // when the change shows (seconds from 21:30)
  std::vector<Moment> moments;                          // what the present/following says
  std::map<int, Said> schedule_before, schedule_after;  // what the schedule says just before / at `shows`
};

ProgrammeChange Late(int dk, int32_t s) {
  return {ProgrammeChangeKind::kLate, kService, EventId(dk), s};
}
ProgrammeChange Extend(int dk, int32_t s) {
  return {ProgrammeChangeKind::kExtend, kService, EventId(dk), s};
}
ProgrammeChange Undetermined(int dk) {
  return {ProgrammeChangeKind::kUndetermined, kService, EventId(dk), 0};
}

const std::map<int, Said> kUnchanged = {
    {-1, {-1, -900, 900}}, {0, {0, 0, 900}}, {1, {1, 900, 900}}, {2, {2, 1800, 900}}, {3, {3, 2700, 900}}};

std::map<int, Said> With(std::map<int, Said> m, std::vector<Said> said) {
  for (const Said& s : said) m[s.dk] = s;
  return m;
}

TEST(ProgrammeChange, TablesSayTheChangeFromTheMomentItShows) {
  const Case cases[] = {
      {"7 minutes late: the programme before runs over, the late one stays following",
       {Late(0, 420)},
       0,
       {{-1, {-1, -900, 900}, {0, 0, 900}},
        {0, {-1, -900, 1320}, {0, 420, 480}},
        {419, {-1, -900, 1320}, {0, 420, 480}},
        {420, {0, 420, 480}, {1, 900, 900}}},
       kUnchanged,
       With(kUnchanged, {{-1, -900, 1320}, {0, 420, 480}})},
      {"5 minutes early: present at once, the programme before cut short",
       {Late(0, -300)},
       -300,
       {{-301, {-1, -900, 900}, {0, 0, 900}}, {-300, {0, -300, 1200}, {1, 900, 900}}},
       kUnchanged,
       With(kUnchanged, {{-1, -900, 600}, {0, -300, 1200}})},
      {"12 minutes over: stays present, every later programme moves back",
       {Extend(0, 720)},
       900,
       {{899, {0, 0, 900}, {1, 900, 900}},
        {900, {0, 0, 1620}, {1, 1620, 900}},
        {1619, {0, 0, 1620}, {1, 1620, 900}},
        {1620, {1, 1620, 900}, {2, 2520, 900}}},
       kUnchanged,
       With(kUnchanged, {{0, 0, 1620}, {1, 1620, 900}, {2, 2520, 900}, {3, 3420, 900}})},
      {"7 minutes late and 12 over: each shows at its own time",
       {Late(0, 420), Extend(0, 720)},
       900,
       {{0, {-1, -900, 1320}, {0, 420, 480}},
        {420, {0, 420, 480}, {1, 900, 900}},
        {900, {0, 420, 1200}, {1, 1620, 900}},
        {1620, {1, 1620, 900}, {2, 2520, 900}}},
       With(kUnchanged, {{-1, -900, 1320}, {0, 420, 480}}),
       With(kUnchanged, {{-1, -900, 1320}, {0, 420, 1200}, {1, 1620, 900}, {2, 2520, 900}, {3, 3420, 900}})},
      {"undetermined: no duration anywhere, the next programme comes at its time",
       {Undetermined(0)},
       900,
       {{-1, {-1, -900, 900}, {0, 0, kNone}},
        {0, {0, 0, kNone}, {1, 900, 900}},
        {900, {1, 900, 900}, {2, 1800, 900}}},
       With(kUnchanged, {{0, 0, kNone}}),
       With(kUnchanged, {{0, 0, kNone}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Moment& m : c.moments) {
      const Tables t = At(c.changes, m.at);
      EXPECT_EQ(t.present, m.present) << "at " << m.at;
      EXPECT_EQ(t.following, m.following) << "at " << m.at;
    }
    const Tables earlier = At(c.changes, c.shows - 2), before = At(c.changes, c.shows - 1),
                 after = At(c.changes, c.shows);
    EXPECT_EQ(before.schedule, c.schedule_before);
    EXPECT_EQ(after.schedule, c.schedule_after);
    EXPECT_EQ(earlier.pf_version, before.pf_version) << "nothing changed";
    EXPECT_EQ(earlier.schedule_version, before.schedule_version) << "nothing changed";
    const bool changes_content = c.schedule_before != c.schedule_after;
    EXPECT_EQ(before.schedule_version != after.schedule_version, changes_content);
    EXPECT_NE(before.pf_version, after.pf_version);
  }
}

TEST(ProgrammeChange, TheServiceKeepsItsTimelineWithoutGapsAndOthersAreUntouched) {
  // Late, extended and early programmes of one service, two hours of every minute: the present is
  // what the generator says runs, and follows its predecessor without a gap.
  GeneratorOptions o;
  o.programme_changes = {Late(0, 420), Extend(0, 720), Late(3, -200), Extend(4, 60), Undetermined(5)};
  ASSERT_EQ(CheckGeneratorOptions(o), "");
  const BroadcastGenerator g(o);
  const BroadcastGenerator plain{GeneratorOptions()};
  const ProgrammeSchedule schedule(o.seed, kService, kSlot, true, o.programme_changes, ToAbs(o.start_time));
  for (uint64_t k = k1 - 2; k < k1 + 10; ++k) {
    EXPECT_FALSE(schedule.Overruns(k));
    EXPECT_FALSE(schedule.OpenEnded(k));
    EXPECT_EQ(ToAbs(schedule.Final(k).start) + schedule.Final(k).duration,
              ToAbs(schedule.Final(k + 1).start));
  }
  for (AbsTime t = kBase - 600; t < kBase + 7200; t += 60) {
    const std::optional<ProgrammeInfo> on_air = g.ProgrammeAt(0, kService, FromAbs(t));
    ASSERT_TRUE(on_air);
    EXPECT_LE(ToAbs(on_air->start), t);
    EXPECT_GT(ToAbs(on_air->start) + on_air->duration, t);
    for (const uint16_t other : {1024, 1025}) {
      EXPECT_EQ(g.ProgrammeAt(0, other, FromAbs(t))->event_id,
                plain.ProgrammeAt(0, other, FromAbs(t))->event_id);
    }
  }
  const ProgrammeInfo early = *g.ProgrammeAt(0, kService, FromAbs(kBase + 3 * 900 + 720 - 200));
  EXPECT_EQ(early.event_id, EventId(3));
}

TEST(ProgrammeChange, ChangesThatCannotBePlayedAreRefused) {
  struct Bad {
    std::vector<ProgrammeChange> changes;
    const char* problem;
  };
  const Bad bad[] = {
      {{{ProgrammeChangeKind::kLate, 4242, 5, 60}},
       "service 4242 of a programme change is not one of the generated services"},
      {{{ProgrammeChangeKind::kUndetermined, kService, 0, 0}},
       "there is no event 0 of service 1032 (event ids run from 1 to 65534)"},
      {{Late(0, 900)}, "shorter than a minute"},
      {{Late(0, -850)}, "shorter than a minute"},
      {{Extend(0, 60), Extend(0, 120)}, "has two extend changes"},
  };
  for (const Bad& b : bad) {
    GeneratorOptions o;
    o.programme_changes = b.changes;
    EXPECT_NE(CheckGeneratorOptions(o).find(b.problem), std::string::npos) << CheckGeneratorOptions(o);
    // The generator plays such options without the changes.
    EXPECT_TRUE(BroadcastGenerator(o).Options().programme_changes.empty());
  }
}

// A late (or early) start counts from the start the tables show: a programme that the built-in
// overrun of the one before already moved back starts SECONDS after that, never earlier than the
// guide said. A programme whose predecessor keeps its time counts from its scheduled start.
TEST(ProgrammeChange, LateCountsFromTheStartTheTablesShow) {
  const GeneratorOptions o;
  const AbsTime reference = ToAbs(o.start_time);
  const ProgrammeSchedule unchanged(o.seed, kService, kSlot, true, {}, reference);
  const uint64_t running = reference / kSlot;
  std::optional<uint64_t> after_overrun, after_plain;
  for (uint64_t k = running + 1; k < running + 200 && (!after_overrun || !after_plain); ++k) {
    if (unchanged.Overruns(k - 1) && !after_overrun) after_overrun = k;
    if (!unchanged.Overruns(k - 1) && !after_plain) after_plain = k;
  }
  ASSERT_TRUE(after_overrun && after_plain);
  for (const uint64_t k : {*after_overrun, *after_plain}) {
    const ProgrammeInfo shown = unchanged.Final(k);
    for (const int32_t seconds : {420, -120}) {
      SCOPED_TRACE(std::to_string(k) + " " + std::to_string(seconds));
      const ProgrammeChange late{ProgrammeChangeKind::kLate, kService, shown.event_id, seconds};
      const ProgrammeSchedule changed(o.seed, kService, kSlot, true, {late}, reference, false, true);
      EXPECT_EQ(static_cast<int64_t>(ToAbs(changed.Final(k).start)), static_cast<int64_t>(ToAbs(shown.start)) + seconds);
    }
  }
}

}  // namespace
}  // namespace pelkan::streamgen
