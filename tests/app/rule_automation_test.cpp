#include "app/rule_automation.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "app/rule_desk.h"
#include "app/rule_files.h"
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

// A guide of one programme, "麒麟の道 第12話" on 7 December at 20:00.
void WriteGuide(const std::string& path) {
  std::string error;
  auto guide = GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, &error);
  ASSERT_TRUE(guide) << error;
  guide->Begin();
  ASSERT_TRUE(test::AddGuideEvent(*guide, {4, 5, 101, 1}, "麒麟の道 第12話", At(7, 20), 12, 0));
  ASSERT_TRUE(guide->Commit());
}

// A run of the rules that waits for the reservation file (another program holds its lock) goes on
// on the automation's own thread: the caller's loop (the capture's, with its status lines, its time
// limit and its signals) is not held up, and the run reserves once the lock is free, its result
// told on the owning thread. A run on the caller's thread gave up after its wait instead.
TEST(RuleAutomation, ARunWaitingForTheReservationFileLeavesItsCallerFree) {
  const test::TempDir dir;
  ASSERT_NO_FATAL_FAILURE(WriteGuide(dir.File("epg.sqlite")));
  {
    std::string error;
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
  RuleFiles files(dir.File("rules.sqlite"), dir.File("epg.sqlite"));
  RuleAutomation automation(capture, files, nullptr, post,
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

// The rule window's desk on the owning thread and the automation's runs on its worker share one
// connection to each file: the desk stores rules and reads the guide while runs go on.
TEST(RuleAutomation, RunsAndTheRuleWindowShareTheFiles) {
  const test::TempDir dir;
  ASSERT_NO_FATAL_FAILURE(WriteGuide(dir.File("epg.sqlite")));
  std::mutex posted_mutex;
  std::deque<std::function<void()>> posted;
  auto post = [&](std::function<void()> work) {
    std::lock_guard lock(posted_mutex);
    posted.push_back(std::move(work));
  };
  ScheduledCapture capture(post);
  capture.Begin("", dir.File("schedule.ini"));
  RuleFiles files(dir.File("rules.sqlite"), dir.File("epg.sqlite"));
  RuleAutomation automation(capture, files, nullptr, post);
  RuleDesk desk(capture.scheduler(), files, [] { return At(7, 8); });
  for (int i = 0; i < 20; ++i) {
    ReservationRule rule;
    rule.name = "麒麟" + std::to_string(i);
    rule.words = {"麒麟"};
    ASSERT_NE(desk.Save(rule), 0u);
    automation.Poll(At(7, 8), true);
    desk.Refresh(true);
    EXPECT_EQ(desk.services().size(), 1u);
    EXPECT_EQ(desk.Test(rule).size(), 1u);
  }
  automation.WaitIdle();
  EXPECT_EQ(desk.Rules().size(), 20u);
  EXPECT_EQ(capture.scheduler().Reservations().size(), 1u);
}

}  // namespace
}  // namespace pelkan
