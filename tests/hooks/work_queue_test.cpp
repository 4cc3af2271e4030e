#include "hooks/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace pelkan::hooks {
namespace {

// The worker takes the jobs in the order queued; WaitIdle returns once the last one is done.
TEST(WorkQueue, JobsRunInOrderAndWaitIdleSeesTheLastDone) {
  WorkQueue<int> queue;
  std::vector<int> done;
  std::thread worker([&] {
    while (const std::optional<int> job = queue.Take()) {
      done.push_back(*job);
      queue.Done();
    }
  });
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(queue.Push(i));
  EXPECT_TRUE(queue.WaitIdle());
  std::vector<int> expected;
  for (int i = 0; i < 50; ++i) expected.push_back(i);
  EXPECT_EQ(done, expected);
  EXPECT_TRUE(queue.Stop().empty());
  worker.join();
  EXPECT_FALSE(queue.Push(99));
}

// Stop hands back what waited; a waiter that gives up is told so; TryTake never waits.
TEST(WorkQueue, StopHandsBackWhatWaitedAndWaitersMayGiveUp) {
  WorkQueue<std::string> queue;
  EXPECT_FALSE(queue.TryTake());
  EXPECT_TRUE(queue.WaitIdle());
  queue.Push("a");
  queue.Push("b");
  const std::optional<std::string> first = queue.TryTake();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, "a");
  int asked = 0;
  EXPECT_FALSE(queue.WaitIdle([&] { return ++asked > 1; }, std::chrono::milliseconds(1)));
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(queue.Stopped());
  const std::deque<std::string> left = queue.Stop();
  EXPECT_EQ(left, std::deque<std::string>{"b"});
  EXPECT_TRUE(queue.Stopped());
  EXPECT_FALSE(queue.Take());
  EXPECT_TRUE(queue.WaitIdle());  // a stopped queue keeps nobody waiting
}

}  // namespace
}  // namespace pelkan::hooks
