// The capture session's own heartbeat: nothing but the owning thread's loop runs it.
#include "app/capture_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "app/settings.h"
#include "core/capture_app.h"
#include "schedule/schedule_file.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_tuner_device.h"

namespace pelkan {
namespace {

// With no front-end timer: the reservation file another program wrote is taken over while
// disconnected, and once connected the status is refreshed (the scheduler's clock with it) at the
// heartbeat's pace; after End nothing beats.
TEST(CaptureSession, TheHeartbeatIsTheSessionsOwn) {
  const test::TempDir dir;
  testing::QueueDispatcher loop;
  testing::RecordingMessages messages;
  SessionOptions options;
  options.schedule = true;
  options.schedule_path = dir.File("schedule.ini");
  options.guide_path = dir.File("epg.sqlite");
  options.rules_path = dir.File("rules.sqlite");
  CaptureSession session(loop, &messages, options);
  session.settings() = DefaultSettings(dir.path());
  session.app().SetDevice(testing::VirtualTunerDevice());
  int refreshes = 0;
  session.app().SetStatusListener([&](const StatusSnapshot&) { ++refreshes; });
  session.Begin();

  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = 61400;
  item.start_second = 3600;
  item.duration = 60;
  ASSERT_TRUE(SaveScheduleFile(options.schedule_path, {item}));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (session.schedule()->scheduler().Reservations().empty() && std::chrono::steady_clock::now() < until) {
    loop.RunOnce(1000);
  }
  EXPECT_EQ(session.schedule()->scheduler().Reservations().size(), 1u);
  EXPECT_EQ(refreshes, 0);  // nothing to show while disconnected

  ASSERT_TRUE(session.app().Connect(testing::VirtualTunerRequest()));
  loop.RunFor(2 * CaptureSession::kPlanMs / 5);
  EXPECT_GE(refreshes, 2);
  session.End();
  const int after_end = refreshes;
  loop.RunFor(3 * CaptureSession::kStatusMs);
  EXPECT_EQ(refreshes, after_end);
}

// A beat armed before the session went runs and finds it gone.
TEST(CaptureSession, ABeatAfterTheSessionIsGoneDoesNothing) {
  const test::TempDir dir;
  testing::QueueDispatcher loop;
  SessionOptions options;
  options.schedule = true;
  options.schedule_path = dir.File("schedule.ini");
  auto session = std::make_unique<CaptureSession>(loop, nullptr, options);
  session->settings() = DefaultSettings(dir.path());
  session->Begin();
  session.reset();
  EXPECT_GE(loop.RunFor(50), 1);
}

}  // namespace
}  // namespace pelkan
