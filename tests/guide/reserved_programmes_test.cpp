#include "guide/reserved_programmes.h"

#include <gtest/gtest.h>

#include "guide/guide_store.h"
#include "guide/programme_resolver.h"
#include "platform/text_codec.h"
#include "tests/support/guide_events.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

constexpr GuideTime kT = GuideTime{61000} * 86400 + 21 * 3600;

GuideEvent Event(uint16_t onid, uint16_t sid, uint16_t eid, GuideTime start, uint32_t duration = 1800) {
  GuideEvent e;
  e.key = {onid, 0x10, sid, eid};
  e.start = start;
  e.duration = duration;
  return e;
}

ScheduleItem ByEvent(uint16_t onid, uint16_t sid, uint16_t eid) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  item.network_id = onid;
  item.service_id = sid;
  item.event_id = eid;
  return item;
}

ScheduleItem ByTime(GuideTime start, uint32_t duration, const char* service) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME | (service ? SI_SERVICE_LIMIT : 0u);
  item.start_day = static_cast<uint32_t>(start / 86400);
  item.start_second = static_cast<uint32_t>(start % 86400);
  item.duration = duration;
  if (service) SetText(item.service_id_text, service);
  return item;
}

TEST(ReservedProgrammes, EventAndServiceLimitedTimeReservationsMarkTheirProgrammes) {
  const ReservedProgrammes r({ByEvent(0, 1024, 7), ByEvent(5, 1025, 8), ByTime(kT, 3600, "1032"),
                              ByTime(kT, 3600, nullptr), ByTime(kT, 3600, "x1")});
  EXPECT_TRUE(r.Contains(Event(9, 1024, 7, kT))) << "no network given: any network";
  EXPECT_FALSE(r.Contains(Event(9, 1024, 8, kT)));
  EXPECT_TRUE(r.Contains(Event(5, 1025, 8, kT)));
  EXPECT_FALSE(r.Contains(Event(6, 1025, 8, kT))) << "another network's event";
  EXPECT_TRUE(r.Contains(Event(1, 1032, 1, kT)));
  EXPECT_TRUE(r.Contains(Event(1, 1032, 2, kT + 1800)));
  EXPECT_FALSE(r.Contains(Event(1, 1032, 3, kT + 3000))) << "only partly in the span";
  EXPECT_FALSE(r.Contains(Event(1, 1032, 4, kT, kUndefinedDuration)));
  EXPECT_FALSE(r.Contains(Event(1, 1033, 1, kT))) << "the whole-stream reservation marks nothing";
  EXPECT_TRUE(r == ReservedProgrammes({ByEvent(0, 1024, 7), ByEvent(5, 1025, 8), ByTime(kT, 3600, "1032")}));
  EXPECT_FALSE(r == ReservedProgrammes({ByEvent(0, 1024, 7)}));
}

// A programme reserved by a rule is told apart (its own frame); by hand, or not reserved, it is not.
TEST(ReservedProgrammes, TellsTheProgrammesARuleReserved) {
  ScheduleItem by_rule = ByEvent(0, 1024, 7);
  by_rule.rule_id = 3;
  const ReservedProgrammes r({by_rule, ByEvent(0, 1024, 8)});
  EXPECT_TRUE(r.ByRule(Event(9, 1024, 7, kT)));
  EXPECT_FALSE(r.ByRule(Event(9, 1024, 8, kT))) << "reserved by hand";
  EXPECT_FALSE(r.ByRule(Event(9, 1024, 9, kT))) << "not reserved";
  EXPECT_FALSE(r == ReservedProgrammes({ByEvent(0, 1024, 7), ByEvent(0, 1024, 8)}))
      << "the rule is part of the mark";
}

PlanLine Line(PlanVerdict verdict) {
  PlanLine line;
  line.verdict = verdict;
  return line;
}

// The plan decides how a reserved programme is framed; of two reservations of one programme the
// one that records more counts, and a plan that does not fit the list is not used.
TEST(ReservedProgrammes, ThePlanTellsHowAProgrammeWillBeRecorded) {
  const std::vector<ScheduleItem> items = {ByEvent(0, 1024, 1), ByEvent(0, 1024, 2), ByEvent(0, 1024, 3),
                                           ByEvent(0, 1024, 4), ByTime(kT, 3600, "1024"),
                                           ByEvent(0, 1024, 6)};
  const PlanLine plan[] = {Line(PlanVerdict::kWhole), Line(PlanVerdict::kPart),   Line(PlanVerdict::kNone),
                           Line(PlanVerdict::kUnknown), Line(PlanVerdict::kNone), Line(PlanVerdict::kNone)};
  const ReservedProgrammes r(items, plan);
  struct Case {
    uint16_t event_id;
    GuideTime start;
    ReservedMark mark;
  } const cases[] = {
      {1, kT - 7200, ReservedMark::kWhole},
      {2, kT - 7200, ReservedMark::kPart},
      {3, kT - 7200, ReservedMark::kNotRecorded},
      {4, kT - 7200, ReservedMark::kWhole},  // its time is not known yet: a plain mark
      {5, kT, ReservedMark::kNotRecorded},   // in the span of the date-time reservation
      {2, kT, ReservedMark::kPart},          // also there: part is more than nothing
      {6, kT - 7200, ReservedMark::kNotRecorded},
      {7, kT - 7200, ReservedMark::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(r.MarkOf(Event(1, 1024, c.event_id, c.start)), c.mark) << c.event_id << " at " << c.start;
    EXPECT_EQ(r.Contains(Event(1, 1024, c.event_id, c.start)), c.mark != ReservedMark::kNone);
  }
  EXPECT_FALSE(r == ReservedProgrammes(items)) << "the same programmes, marked otherwise";
  const ReservedProgrammes unplanned(items, std::span<const PlanLine>(plan, 2));
  EXPECT_EQ(unplanned.MarkOf(Event(1, 1024, 3, kT - 7200)), ReservedMark::kWhole);
  EXPECT_TRUE(unplanned == ReservedProgrammes(items));
}

// The programme a reservation is for, as the guide has it, with its service's name: the edit
// dialog's heading, the reservation list's columns; a date-time reservation's is the first
// programme it marks.
TEST(ReservedProgrammes, TheProgrammeOfAReservationComesFromTheGuide) {
  const test::TempDir dir;
  std::string error;
  auto store = GuideStore::Open(dir.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, &error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->Begin());
  ASSERT_TRUE(store->SetServiceName(4, 5, 1024, platform::Utf8ToSjis("ペルカン総合")));
  ASSERT_TRUE(test::AddGuideEvent(*store, {4, 5, 1024, 7}, "麒麟の道", kT, 0, 0));
  ASSERT_TRUE(test::AddGuideEvent(*store, {4, 5, 1024, 8}, "ニュース", kT + 1800, 0, 0));
  ASSERT_TRUE(test::AddGuideEvent(*store, {4, 5, 1032, 9}, "名のない局の番組", kT, 0, 0));
  ASSERT_TRUE(store->Commit());
  ScheduleItem by_ids = ByEvent(4, 1024, 7);
  by_ids.stream_id = 5;
  const struct {
    const char* what;
    ScheduleItem item;
    const char* title;  // nullptr: none
    const char* service;
  } cases[] = {
      {"its four ids", by_ids, "麒麟の道", "ペルカン総合"},
      {"service and event id alone", ByEvent(0, 1024, 8), "ニュース", "ペルカン総合"},
      {"a service without a name", ByEvent(0, 1032, 9), "名のない局の番組", ""},
      {"an event the guide lacks", ByEvent(0, 1024, 99), nullptr, ""},
      {"by time, its service", ByTime(kT + 1800, 1800, "1024"), "ニュース", "ペルカン総合"},
      {"by time, a longer span: its first", ByTime(kT - 60, 3700, "1024"), "麒麟の道", "ペルカン総合"},
      {"by time, the whole stream", ByTime(kT, 1800, nullptr), nullptr, ""},
  };
  ProgrammeResolver guide(dir.File("epg.sqlite"));
  for (const auto& c : cases) {
    const ResolvedProgramme p = guide.OfReservation(c.item);
    ASSERT_EQ(p.in_guide, c.title != nullptr) << c.what;
    if (!p.in_guide) continue;
    EXPECT_EQ(platform::SjisToUtf8(p.event.title), c.title) << c.what;
    EXPECT_EQ(platform::SjisToUtf8(p.service_name), c.service) << c.what;
  }
}

}  // namespace
}  // namespace pelkan
