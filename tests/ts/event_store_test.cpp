#include "ts/event_store.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pelkan {
namespace {

ProgrammeEvent Make(uint16_t eid, uint32_t day, uint32_t start, uint32_t duration, uint8_t kind = 1,
                    uint8_t version = 0) {
  ProgrammeEvent e{};
  e.kind = kind;
  e.version = version;
  e.service_id = 1;
  e.event_id = eid;
  e.start_day = day;
  e.start_second = start;
  if (duration == kUndefinedDuration) {
    e.duration = e.end_second = kUndefinedDuration;
    e.end_day = day;
  } else {
    const uint64_t end = uint64_t{day} * 86400 + start + duration;
    e.duration = duration;
    e.end_day = static_cast<uint32_t>(end / 86400);
    e.end_second = static_cast<uint32_t>(end % 86400);
  }
  return e;
}

TEST(EventStore, ReplacementRules) {
  EventStore s;
  EXPECT_EQ(s.StoreEvent(1, Make(5, 100, 0, 60, 3, 1)), 1);
  EXPECT_EQ(s.StoreEvent(1, Make(5, 100, 0, 60, 3, 1)), 0);   // same kind and version
  EXPECT_EQ(s.StoreEvent(1, Make(5, 100, 0, 60, 3, 2)), 1);   // same kind, new version
  EXPECT_EQ(s.StoreEvent(1, Make(5, 100, 0, 60, 1, 0)), 1);   // lower kind wins
  EXPECT_EQ(s.StoreEvent(1, Make(5, 100, 0, 60, 3, 7)), 0);   // higher kind never displaces
  EXPECT_EQ(s.FindEventById(0, 0, 1, 5)->kind, 1);
}

TEST(EventStore, PresentFollowingNamesTheRecordsOfItsTwoSections) {
  EventStore s;
  EXPECT_FALSE(s.FindPresentFollowing(1).known);
  s.StoreEvent(1, Make(5, 100, 0, 60));
  s.StoreEvent(1, Make(6, 100, 60, kUndefinedDuration));
  s.StorePresentFollowing(1, 1, 6);  // the following section alone tells nothing of what is on air
  EXPECT_FALSE(s.FindPresentFollowing(1).known);
  s.StorePresentFollowing(1, 0, 5);
  s.StorePresentFollowing(1, 2, 7);  // no such section in a present/following table
  auto pf = s.FindPresentFollowing(1);
  ASSERT_TRUE(pf.known && pf.present && pf.following);
  EXPECT_EQ(pf.present->event_id, 5);
  EXPECT_EQ(pf.following->duration, kUndefinedDuration);
  s.StorePresentFollowing(1, 0, 6);
  s.StorePresentFollowing(1, 1, std::nullopt);  // an empty section: nothing follows
  pf = s.FindPresentFollowing(1);
  EXPECT_EQ(pf.present->event_id, 6);
  EXPECT_FALSE(pf.following);
  EXPECT_FALSE(s.FindPresentFollowing(2).known);
  s.Clear();
  EXPECT_FALSE(s.FindPresentFollowing(1).known);
}

TEST(EventStore, FindAtIncludesBothEnds) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 3600, 600));
  EXPECT_TRUE(s.FindEventAt(1, {100, 3600}, 0));
  EXPECT_TRUE(s.FindEventAt(1, {100, 4200}, 0));
  EXPECT_FALSE(s.FindEventAt(1, {100, 3599}, 0));
  EXPECT_FALSE(s.FindEventAt(1, {100, 4201}, 0));
  EXPECT_FALSE(s.FindEventAt(2, {100, 3600}, 0));
}

TEST(EventStore, UndefinedDurationMatchesStrictlyAfterStart) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 3600, kUndefinedDuration));
  EXPECT_FALSE(s.FindEventAt(1, {100, 3600}, 0));
  EXPECT_TRUE(s.FindEventAt(1, {105, 0}, 0));
}

TEST(EventStore, LowestEventIdWins) {
  EventStore s;
  s.StoreEvent(1, Make(9, 100, 0, 7200));
  s.StoreEvent(1, Make(3, 100, 3600, 600));
  EXPECT_EQ(s.FindEventAt(1, {100, 3700}, 0)->event_id, 3);
}

TEST(EventStore, OpenEventEndsWhenTheNextProgrammeStarts) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 3600, kUndefinedDuration));  // live, overran
  s.StoreEvent(1, Make(2, 100, 7200, 3600));                // the next programme
  EXPECT_EQ(s.FindEventAt(1, {100, 5000}, 0)->event_id, 1);
  EXPECT_EQ(s.FindEventAt(1, {100, 7200}, 0)->event_id, 2);
  EXPECT_EQ(s.FindEventAt(1, {100, 9000}, 1)->event_id, 2);
  // Once the next programme is over too, nothing is on: the live event does not come back.
  EXPECT_FALSE(s.FindEventAt(1, {100, 10801}, 0));
  EXPECT_FALSE(s.FindEventAt(1, {101, 0}, 1));
  // Another service's events change nothing.
  s.StoreEvent(2, Make(3, 100, 7000, 60));
  EXPECT_EQ(s.FindEventAt(1, {100, 7100}, 0)->event_id, 1);
}

TEST(EventStore, LaterOpenEventReplacesAnEarlierOne) {
  EventStore s;
  s.StoreEvent(1, Make(2, 100, 3600, kUndefinedDuration));
  s.StoreEvent(1, Make(9, 100, 7200, kUndefinedDuration));
  EXPECT_EQ(s.FindEventAt(1, {100, 5000}, 0)->event_id, 2);
  EXPECT_EQ(s.FindEventAt(1, {100, 7200}, 0)->event_id, 2);  // event 9 is on strictly after 7200
  EXPECT_EQ(s.FindEventAt(1, {100, 7201}, 0)->event_id, 9);
  EXPECT_EQ(s.FindEventAt(1, {120, 0}, 1)->event_id, 9);
  EXPECT_EQ(s.Size(), 2u);
}

TEST(EventStore, DefinedEventIsPreferredToAnOpenOne) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 3600, kUndefinedDuration));
  s.StoreEvent(1, Make(4, 100, 3000, 5000));
  EXPECT_EQ(s.FindEventAt(1, {100, 5000}, 0)->event_id, 4);
  EXPECT_EQ(s.FindEventAt(1, {100, 5000}, 1)->event_id, 4);
  // After the defined event ends, the open one that started after it is still on.
  EXPECT_EQ(s.FindEventAt(1, {100, 8001}, 0)->event_id, 1);
}

// A store asked again and again, second by second, answers at every moment what a store asked
// once answers, also when an event arrives, is replaced or the store is cleared between the asks.
TEST(EventStore, RepeatedAsksAnswerAsAFirstAsk) {
  const std::vector<ProgrammeEvent> events = {
      Make(5, 100, 3600, 1800),                // defined
      Make(3, 100, 4000, 600),                 // a lower id inside it
      Make(7, 100, 5400, kUndefinedDuration),  // open, from the end of 5
      Make(8, 100, 6000, kUndefinedDuration),  // a later open one
      Make(9, 100, 7000, 60),                  // defined, between gaps
  };
  EventStore asked;
  for (const ProgrammeEvent& e : events) asked.StoreEvent(1, e);
  std::vector<ProgrammeEvent> stored = events;
  // The event id in effect, 0 for none.
  const auto fresh_answer = [&](uint32_t second) {
    EventStore fresh;
    for (const ProgrammeEvent& e : stored) fresh.StoreEvent(1, e);
    const auto found = fresh.FindEventAt(1, {100, second}, 0);
    return found ? found->event_id : 0;
  };
  const auto answer = [&](uint32_t second) {
    const auto found = asked.FindEventAt(1, {100, second}, 0);
    return found ? found->event_id : 0;
  };
  for (uint32_t second = 3500; second < 7200; second += 1) {
    // Changes on the way: a new event, a replaced one, a backwards ask, everything forgotten.
    if (second == 4300) {
      stored.push_back(Make(2, 100, 4300, 100));
      asked.StoreEvent(1, stored.back());
    } else if (second == 5000) {
      stored.push_back(Make(20, 101, 0, 600));  // tomorrow's
      asked.StoreEvent(1, stored.back());
    } else if (second == 5500) {
      stored[2] = Make(7, 100, 5400, 300, 1, 1);
      asked.StoreEvent(1, stored[2]);
    } else if (second == 6500) {
      EXPECT_EQ(answer(3700), fresh_answer(3700));
    } else if (second == 7050) {
      asked.Clear();
      stored.clear();
    }
    ASSERT_EQ(answer(second), fresh_answer(second)) << second;
  }
}

// A status refresh asks for the programme on air with a purge, then for the one after it: the two
// answers kept, and the purge skipped while nothing has ended, change none of the answers nor what
// the store holds.
TEST(EventStore, RefreshAsksAnswerAndPurgeAsFirstAsks) {
  std::vector<ProgrammeEvent> stored = {
      Make(5, 100, 3600, 1800),  Make(3, 100, 4000, 600),  Make(7, 100, 5400, kUndefinedDuration),
      Make(8, 100, 6000, 1200),  Make(9, 100, 7200, 600),  Make(10, 100, 7800, 3600),
  };
  EventStore asked;
  for (const ProgrammeEvent& e : stored) asked.StoreEvent(1, e);
  const auto id = [](const std::optional<ProgrammeEvent>& e) { return e ? e->event_id : 0; };
  for (uint32_t second = 3500; second < 9000; second += 7) {
    if (second == 4302) {  // a new event inside the one on air
      stored.push_back(Make(2, 100, 4300, 100));
      asked.StoreEvent(1, stored.back());
    } else if (second == 6001) {  // an event that ended long ago comes again
      stored.push_back(Make(1, 100, 3000, 60));
      asked.StoreEvent(1, stored.back());
    }
    EventStore fresh;
    for (const ProgrammeEvent& e : stored) fresh.StoreEvent(1, e);
    const std::optional<ProgrammeEvent> on_air = asked.FindEventAt(1, {100, second}, 1);
    ASSERT_EQ(id(on_air), id(fresh.FindEventAt(1, {100, second}, 1))) << second;
    std::erase_if(stored, [second](const ProgrammeEvent& e) {
      return e.end_second != kUndefinedDuration && uint64_t{e.end_day} * 86400 + e.end_second < 100 * 86400 + second;
    });
    ASSERT_EQ(asked.Size(), stored.size()) << second;
    if (on_air && on_air->end_second != kUndefinedDuration) {
      const MjdTime after{on_air->end_day, on_air->end_second + 1};
      ASSERT_EQ(id(asked.FindEventAt(1, after, 0)), id(fresh.FindEventAt(1, after, 0))) << second;
    }
  }
}

TEST(EventStore, PurgeRemovesEndedEventsOnly) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 0, 60));     // A
  s.StoreEvent(1, Make(2, 100, 100, 60));   // B
  s.StoreEvent(1, Make(3, 100, 0, kUndefinedDuration));
  s.StoreEvent(1, Make(4, 100, 1000, 60));  // current
  // The open event 3 gave way when "current" started.
  EXPECT_EQ(s.FindEventAt(1, {100, 1010}, 0)->event_id, 4);
  EXPECT_EQ(s.Size(), 4u);
  EXPECT_EQ(s.FindEventAt(1, {100, 1010}, 1)->event_id, 4);
  EXPECT_EQ(s.Size(), 2u);
  EXPECT_FALSE(s.FindEventById(0, 0, 1, 1));
  EXPECT_FALSE(s.FindEventById(0, 0, 1, 2));
  EXPECT_TRUE(s.FindEventById(0, 0, 1, 3));
}

TEST(EventStore, OutOfRangeIdsFindNothing) {
  EventStore s;
  s.StoreEvent(1, Make(1, 100, 0, 60));
  EXPECT_FALSE(s.FindEventById(0, 0, 0x10001, 1));
  EXPECT_FALSE(s.FindEventById(0, 0, 1, -1));
}

TEST(EventStore, QueriesWhileStoring) {
  EventStore s;
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) s.StoreEvent(1, Make(static_cast<uint16_t>(i), 100, static_cast<uint32_t>(i), 10));
    s.Clear();
  });
  for (int i = 0; i < 2000; ++i) {
    if (auto e = s.FindEventAt(1, {100, static_cast<uint32_t>(i)}, i % 2)) {
      EXPECT_EQ(e->service_id, 1);
    }
  }
  writer.join();
  EXPECT_EQ(s.Size(), 0u);
}

}  // namespace
}  // namespace pelkan
