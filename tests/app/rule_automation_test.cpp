#include "app/rule_automation.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/profile.h"
#include "rules/rule_store.h"
#include "tests/support/guide_events.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

GuideTime At(int day, int hour) {  // December 2026
  return GuideTime{MjdFromDate(2026, 12, day)} * 86400 + hour * 3600;
}

// A run of the rules that waits for the reservation file (another program holds its lock) goes on
// on the automation's own thread: the caller's loop (the capture's, with its status lines, its time
// limit and its signals) is not held up, and the run reserves once the lock is free, its result
// told on the owning thread. A run on the caller's thread gave up after its wait instead.
TEST(RuleAutomation, ARunWaitingForTheReservationFileLeavesItsCallerFree) {
  const test::TempDir dir;
  {
    std::string error;
    auto guide = GuideStore::Open(dir.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(guide) << error;
    guide->Begin();
    ASSERT_TRUE(test::AddGuideEvent(*guide, {4, 5, 101, 1}, "麒麟の道 第12話", At(7, 20), 12, 0));
    ASSERT_TRUE(guide->Commit());
    auto rules = RuleStore::Open(dir.File("rules.sqlite"), nullptr, &error);
    ASSERT_TRUE(rules) << error;
    ReservationRule rule;
    rule.name = "麒麟";
    rule.words = {"麒麟"};
    ASSERT_NE(rules->Save(rule), 0u);
  }
  std::deque<std::function<void()>> posted;
  auto post = [&posted](std::function<void()> work) { posted.push_back(std::move(work)); };
  ScheduledCapture capture(post);
  capture.Begin("", dir.File("schedule.ini"));
  std::vector<RuleRunResult> ran;
  RuleAutomation automation(capture, dir.File("rules.sqlite"), dir.File("epg.sqlite"), nullptr, post,
                            [&ran](const RuleRunResult& result) { ran.push_back(result); });

  std::unique_ptr<platform::FileLock> other = platform::FileLock::Acquire(dir.File("schedule.ini"), 0);
  ASSERT_TRUE(other);
  automation.Poll(At(7, 8), true);
  // Back at once, the run waiting: nothing is reserved yet.
  EXPECT_TRUE(capture.scheduler().Reservations().empty());
  EXPECT_TRUE(ran.empty());
  other.reset();
  automation.WaitIdle();
  while (!posted.empty()) {
    auto work = std::move(posted.front());
    posted.pop_front();
    work();
  }
  ASSERT_EQ(ran.size(), 1u);
  EXPECT_EQ(ran[0].reserved, 1);
  ASSERT_EQ(capture.scheduler().Reservations().size(), 1u);
  EXPECT_NE(capture.scheduler().Reservations()[0].rule_id, 0u);
}

}  // namespace
}  // namespace pelkan
