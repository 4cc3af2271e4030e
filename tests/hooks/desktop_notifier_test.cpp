#include "hooks/desktop_notifier.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "tests/support/mock_logind.h"
#include "tests/support/temp_dir.h"

namespace pelkan::hooks {
namespace {

TEST(DesktopNotification, WhatEachOutcomeRaises) {
  const struct {
    const char* result;
    const char* reason;
    bool each_finished;
    const char* summary;  // nullptr: none
    bool critical;
  } cases[] = {
      {"complete", "", false, nullptr, false},
      {"complete", "", true, "録画が終わりました", false},
      {"partial", "cut short for 映画", false, "録画を途中で終えました", false},
      {"recovered", "the tuner came back", false, "録画が途切れ、復帰しました", false},
      {"failed", "stopped: the file could not be written (No space left on device)", false, "録画に失敗しました", true},
      {"failed", "tuner lost", false, "チューナーが使えなくなり、録画が止まりました", true},
      {"missed", "not recorded in its time", false, "予約を録画できませんでした", true},
  };
  for (const auto& c : cases) {
    RecordingOutcome o;
    o.result = c.result;
    o.reason = c.reason;
    o.title = "ニュース";
    o.report = "/v/a.ts.err";
    o.planned_start = "2026-12-08T20:57:00+09:00";
    o.planned_end = "2026-12-08T21:30:00+09:00";
    const std::optional<Notification> n = NotificationOf(o, c.each_finished);
    ASSERT_EQ(n.has_value(), c.summary != nullptr) << c.result << " " << c.reason;
    if (!n) continue;
    EXPECT_EQ(n->summary, c.summary);
    EXPECT_EQ(n->critical, c.critical) << c.summary;
    EXPECT_EQ(n->report, "/v/a.ts.err");
    std::string body = "ニュース\n12/08(火) 20:57–21:30";
    if (*c.reason) body.append("\n").append(c.reason);
    EXPECT_EQ(n->body, body);
  }
  EXPECT_EQ(LowDiskNotification("映画", {61382, 21 * 3600}, 8'500'000'000, 2'000'000'000).body,
            "映画\n12/08(火) 21:00\n必要 8.5 GB、空き 2.0 GB");
}

class Log {
 public:
  DesktopNotifier::LogFn Fn() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Two notifications reach the service (dbusmock's notification daemon on a private session bus),
// each with its texts, urgency and the report action; invoking the action opens that report.
TEST(DesktopNotifierBus, SendsToTheServiceAndOpensTheReportOfAnInvokedAction) {
  test::TempDir temp;
  testing::MockNotifications mock;
  if (!mock.Start(temp.path() + "/calls.log")) GTEST_SKIP() << mock.Error();
  Log log;
  std::mutex mutex;
  std::vector<std::string> opened;
  DesktopNotifier notifier(log.Fn(), [&](const std::string& path) {
    std::lock_guard lock(mutex);
    opened.push_back(path);
  });
  notifier.Notify({"予約を録画できませんでした", "ニュース", "", true});
  notifier.Notify({"録画に失敗しました", "映画\nstopped", "/v/b.ts.err", true});
  const std::vector<uint32_t> ids = notifier.WaitSent();
  ASSERT_EQ(ids.size(), 2u) << (log.Lines().empty() ? "" : log.Lines()[0]);
  const std::vector<std::string> calls = mock.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].find("\"予約を録画できませんでした\" \"ニュース\" []"), std::string::npos) << calls[0];
  EXPECT_NE(calls[1].find("[\"default\", \"レポートを開く\"]"), std::string::npos) << calls[1];
  EXPECT_NE(calls[1].find("\"urgency\": 2"), std::string::npos) << calls[1];
  ASSERT_TRUE(mock.InvokeAction(ids[0], "default"));  // no report: nothing to open
  ASSERT_TRUE(mock.InvokeAction(ids[1], "default"));
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard lock(mutex);
      if (!opened.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(opened, std::vector<std::string>{"/v/b.ts.err"});
  EXPECT_TRUE(log.Lines().empty());
}

// Without a session bus nothing is sent and the log gets one line, not one per notification.
TEST(DesktopNotifierBus, WithoutABusOneLineInTheLog) {
  const char* old = ::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pelkan-test/bus", 1);
  Log log;
  {
    DesktopNotifier notifier(log.Fn());
    notifier.Notify({"a", "b", "", false});
    notifier.Notify({"c", "d", "", false});
    EXPECT_TRUE(notifier.WaitSent().empty());
  }
  if (saved) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", saved->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].rfind("no desktop notifications: ", 0), 0u) << log.Lines()[0];
}

}  // namespace
}  // namespace pelkan::hooks
