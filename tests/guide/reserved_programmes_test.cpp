#include "guide/reserved_programmes.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pelkan
