#include "guide/guide_grid_model.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

constexpr GuideTime kT = GuideTime{61000} * 86400;
using Cell = GuideGridModel::Cell;
using Move = GuideGridModel::Move;

GuideEvent Event(uint16_t sid, uint16_t eid, GuideTime start, uint32_t duration) {
  GuideEvent e;
  e.key = {1, 2, sid, eid};
  e.start = start;
  e.duration = duration;
  return e;
}

// Service 10: 0-30 min, 30-60, an open end at 60 min, then 120-150. Service 20: 0-60, 60-90.
// Service 30 has a name but no programme; service 40 has programmes but came without a name.
GuideGridModel Model() {
  GuideGridModel m;
  std::vector<GuideService> services = {{1, 2, 10, "A", -1}, {1, 2, 20, "B", -1}, {1, 2, 30, "C", -1}};
  m.Load(services, {Event(20, 2, kT + 3600, 1800), Event(10, 3, kT + 3600, kUndefinedDuration),
                    Event(10, 1, kT, 1800), Event(10, 2, kT + 1800, 1800), Event(20, 1, kT, 3600),
                    Event(10, 4, kT + 7200, 1800), Event(40, 1, kT, 600)});
  return m;
}

TEST(GuideGridModel, ColumnsAreTheServicesWithProgrammesInStartOrder) {
  const GuideGridModel m = Model();
  ASSERT_EQ(m.columns().size(), 3u);
  EXPECT_EQ(m.columns()[0].service.name, "A");
  EXPECT_EQ(m.columns()[1].service.service_id, 20);
  EXPECT_EQ(m.columns()[2].service.service_id, 40) << "a service the events name, after the listed ones";
  std::vector<uint16_t> ids;
  for (const GuideEvent& e : m.columns()[0].events) ids.push_back(e.key.event_id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{1, 2, 3, 4}));
  EXPECT_EQ(m.Find({1, 2, 20, 2}), (Cell{1, 1}));
  EXPECT_FALSE(m.Find({9, 2, 20, 2}));
}

TEST(GuideGridModel, OpenEndsReachTheNextProgrammeAndRangesFindTheBoxes) {
  const GuideGridModel m = Model();
  EXPECT_EQ(m.ShownEnd({0, 2}), kT + 7200) << "open end: until the next programme";
  EXPECT_EQ(m.ShownEnd({0, 3}), kT + 9000);
  GuideGridModel last;
  last.Load({}, {Event(10, 1, kT, kUndefinedDuration)});
  EXPECT_EQ(last.ShownEnd({0, 0}), kT + GuideGridModel::kOpenEndShown);
  EXPECT_EQ(m.Overlapping(0, kT + 1799, kT + 1801), (std::pair<size_t, size_t>{0, 2}));
  EXPECT_EQ(m.Overlapping(0, kT + 4000, kT + 7000), (std::pair<size_t, size_t>{2, 3}));
  EXPECT_EQ(m.Overlapping(0, kT + 20000, kT + 30000), (std::pair<size_t, size_t>{4, 4}));
  EXPECT_EQ(m.At(0, kT + 1800), (Cell{0, 1}));
  EXPECT_EQ(m.At(0, kT + 7199), (Cell{0, 2}));
  EXPECT_FALSE(m.At(0, kT + 9000));
  EXPECT_FALSE(m.At(7, kT));
}

TEST(GuideGridModel, KeysMoveWithinAServiceAndAcrossAtTheTimeInView) {
  const GuideGridModel m = Model();
  EXPECT_EQ(m.Neighbour({0, 1}, Move::kUp, 0), (Cell{0, 0}));
  EXPECT_FALSE(m.Neighbour({0, 0}, Move::kUp, 0));
  EXPECT_EQ(m.Neighbour({0, 2}, Move::kDown, 0), (Cell{0, 3}));
  EXPECT_FALSE(m.Neighbour({0, 3}, Move::kDown, 0));
  EXPECT_EQ(m.Neighbour({0, 1}, Move::kRight, kT + 2000), (Cell{1, 0})) << "on air at the time";
  EXPECT_EQ(m.Neighbour({1, 1}, Move::kLeft, kT + 4000), (Cell{0, 2}));
  EXPECT_EQ(m.Neighbour({1, 1}, Move::kRight, kT + 5000), (Cell{2, 0}))
      << "nothing on air: the last before it";
  EXPECT_EQ(m.Neighbour({0, 3}, Move::kRight, kT + 8000), (Cell{1, 1}));
  EXPECT_FALSE(m.Neighbour({0, 0}, Move::kLeft, kT));
  EXPECT_FALSE(m.Neighbour({2, 0}, Move::kRight, kT));
  EXPECT_FALSE(m.Neighbour({5, 0}, Move::kUp, kT));
}

TEST(GuideGridModel, NowIsTheBroadcastClockWhileThereIsOne) {
  EXPECT_EQ(GuideNow(0, 100, 0, 12345), 12345);
  EXPECT_EQ(GuideNow(61000, 3600, 500, 0), kT + 3600);
  EXPECT_EQ(GuideNow(61000, 86399, 2500, 0), kT + 86400 + 1) << "the clock goes on with the table's age";
}

}  // namespace
}  // namespace pelkan
