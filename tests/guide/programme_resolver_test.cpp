#include "guide/programme_resolver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "guide/guide_reader.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

using platform::Sjis;

constexpr GuideTime kDay = GuideTime{54528} * 86400;  // 2008-03-03
constexpr GuideTime kNow = kDay + 19 * 3600;
constexpr uint16_t kService = 1024;
constexpr uint16_t kSilentService = 2048;  // not heard from for two days

GuideEventUpdate Programme(uint16_t service_id, uint16_t event_id, GuideTime start, uint32_t duration,
                           const char* title) {
  GuideEventUpdate u;
  u.event.key = {0x7FE8, 0x7FF0, service_id, event_id};
  u.event.start = start;
  u.event.duration = duration;
  u.event.title = Sjis(title);
  u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
  u.version = 1;
  u.basic = true;
  return u;
}

ScheduleItem ByEvent(uint16_t service_id, uint16_t event_id) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  item.service_id = service_id;
  item.event_id = event_id;
  SetText(item.service_id_text, std::to_string(service_id));
  return item;
}

ScheduleItem ByTime(GuideTime start, uint32_t duration, int service = -1) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = static_cast<uint32_t>(start / 86400);
  item.start_second = static_cast<uint32_t>(start % 86400);
  item.duration = duration;
  if (service >= 0) {
    item.flags |= SI_SERVICE_LIMIT;
    SetText(item.service_id_text, std::to_string(service));
  }
  return item;
}

class ProgrammeResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto store = GuideStore::Open(dir_.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, nullptr);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->Begin());
    for (const GuideEventUpdate& u :
         {Programme(kService, 0x1001, kDay + 20 * 3600, 900, "連続テレビ小説"),
          Programme(kService, 0x1002, kDay + 21 * 3600, 1800, "ニュース"),
          Programme(kSilentService, 0x2001, kDay + 20 * 3600, 3600, "映画")})
      ASSERT_TRUE(store->ApplyEvent(u));
    ASSERT_TRUE(store->SetServiceName(0x7FE8, 0x7FF0, kService, Sjis("NHK総合")));
    ASSERT_TRUE(store->SetServiceHeard(0x7FE8, 0x7FF0, kService, kNow - 180));
    ASSERT_TRUE(store->SetServiceHeard(0x7FE8, 0x7FF0, kSilentService, kNow - 2 * 86400));
    ASSERT_TRUE(store->Commit());
  }
  ProgrammeResolver Resolver() { return ProgrammeResolver(dir_.File("epg.sqlite"), [] { return kNow; }); }

  test::TempDir dir_;
};

// Every reservation reads by programme without a capture: an event the guide has shows its title,
// service and time; one it lacks says so; a date-time reservation of one service names what is on
// air then; the guide is old beyond its last programme and for a service silent for a day.
TEST_F(ProgrammeResolverTest, ReservationsReadByProgramme) {
  struct Case {
    const char* what;
    ScheduleItem item;
    const char* name;
    const char* service;
    const char* start;
    bool stale;
  } const cases[] = {
      {"event in the guide", ByEvent(kService, 0x1001), "連続テレビ小説", "NHK総合", "2008年03月03日(月) 20時00分00秒",
       false},
      {"event not in the guide", ByEvent(kService, 0x1234), "番組表にない番組", "NHK総合", "不明(ID=0000:0000:0400:1234)",
       false},
      {"date-time of the service", ByTime(kDay + 21 * 3600 + 600, 600, kService), "ニュース", "NHK総合",
       "2008年03月03日(月) 21時10分00秒", false},
      {"date-time beyond the guide", ByTime(kDay + 3 * 86400, 600, kService), "", "NHK総合",
       "2008年03月06日(木) 00時00分00秒", true},
      {"date-time of the whole stream", ByTime(kDay + 20 * 3600, 600), "", "", "2008年03月03日(月) 20時00分00秒", false},
      {"event of a silent service", ByEvent(kSilentService, 0x2001), "映画", "2048", "2008年03月03日(月) 20時00分00秒",
       true},
  };
  ProgrammeResolver resolver = Resolver();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ResolvedProgramme p = resolver.OfReservation(c.item);
    EXPECT_EQ(platform::SjisToUtf8(ProgrammeNameText(c.item, p)), c.name);
    EXPECT_EQ(platform::SjisToUtf8(ServiceNameText(c.item, p)), c.service);
    EXPECT_EQ(platform::SjisToUtf8(ItemStartText(resolver.WithGuideTime(c.item))), c.start);
    EXPECT_EQ(p.stale, c.stale);
  }
}

// Through a connection the program lends (its one reader of the guide) the look-ups read as with
// their own: each takes the connection once, also when one look-up makes others, and a guide
// replaced by another file is read anew, though its data version may be the same number.
TEST_F(ProgrammeResolverTest, ReadsThroughALentConnectionAndFollowsAReplacedFile) {
  GuideReader shared(dir_.File("epg.sqlite"));
  int loans = 0;
  bool lent = false;
  ProgrammeResolver resolver(
      [&](const std::function<void(GuideReader&)>& use) {
        EXPECT_FALSE(lent) << "lent twice at once";
        ++loans;
        lent = true;
        use(shared);
        lent = false;
      },
      [] { return kNow; });
  const ScheduleItem item = ByEvent(kService, 0x1001);
  EXPECT_EQ(platform::SjisToUtf8(ProgrammeNameText(item, resolver.OfReservation(item))), "連続テレビ小説");
  EXPECT_EQ(loans, 1);
  RecordingScheduler::PlannedList planned;
  planned.items = {item, ByEvent(kService, 0x1002)};
  EXPECT_EQ(resolver.Resolve(planned).items[1].duration, 1800u);
  EXPECT_EQ(loans, 2);

  // Another file takes the guide's name (as the collector's repair does).
  {
    auto store = GuideStore::Open(dir_.File("new.sqlite"), GuideStore::Access::kWrite, true, nullptr, nullptr);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->Begin());
    ASSERT_TRUE(store->ApplyEvent(Programme(kService, 0x1001, kDay + 20 * 3600, 900, "天気予報")));
    ASSERT_TRUE(store->Commit());
  }
  ASSERT_EQ(std::rename(dir_.File("new.sqlite").c_str(), dir_.File("epg.sqlite").c_str()), 0);
  EXPECT_EQ(platform::SjisToUtf8(ProgrammeNameText(item, resolver.OfReservation(item))), "天気予報");
}

// Without a capture the plan takes the guide's times for event reservations, so that a date-time
// reservation on another channel collides with them; storing one names what the others lose.
TEST_F(ProgrammeResolverTest, PlanAndLosersUseTheGuidesTimes) {
  RecordingScheduler::PlannedList planned;
  planned.items = {ByEvent(kService, 0x1001)};
  ScheduleItem weather = ByTime(kDay + 20 * 3600 + 300, 1500);
  weather.flags |= SI_CHANNEL_VALUE;
  weather.channel_value = 13;
  weather.priority = 1;
  SetText(weather.title, Sjis("天気"));
  planned.items.push_back(weather);
  planned.requests = {PlanRequest{}, PlanRequestOf(weather)};  // the event not told by a broadcast
  ProgrammeResolver resolver = Resolver();
  const RecordingScheduler::PlannedList plan = resolver.Resolve(planned);
  ASSERT_EQ(plan.lines.size(), 2u);
  EXPECT_EQ(platform::SjisToUtf8(PlanText(plan.lines[0], plan.items)), "全体");
  EXPECT_EQ(platform::SjisToUtf8(PlanText(plan.lines[1], plan.items)), "一部 (開始 11分遅れ)");

  struct Case {
    const char* what;
    GuideTime start;
    uint32_t duration;
    uint8_t priority;
    std::vector<std::string> losers;
  } const cases[] = {
      {"takes the tail", kDay + 20 * 3600 + 300, 600, 5,
       {"この予約により 20:00 連続テレビ小説 が一部録画になります (終了 11分早め)"}},
      {"takes all", kDay + 19 * 3600 + 3000, 1800, 5,
       {"この予約により 20:00 連続テレビ小説 が録画不可になります",
        "この予約により 20:05 天気 が一部録画になります (開始 16分遅れ)"}},
      {"of a lower priority", kDay + 20 * 3600 + 300, 600, 1, {}},
  };
  planned.items.pop_back();
  planned.requests.pop_back();
  planned.items.push_back(weather);
  planned.requests.push_back(PlanRequestOf(weather));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScheduleItem candidate = ByTime(c.start, c.duration);
    candidate.flags |= SI_CHANNEL_VALUE;
    candidate.channel_value = 20;
    candidate.priority = c.priority;
    std::vector<std::string> losers;
    for (const std::string& text : resolver.Losers(planned, candidate, nullptr))
      losers.push_back(platform::SjisToUtf8(text));
    EXPECT_EQ(losers, c.losers);
  }
}

}  // namespace
}  // namespace pelkan
