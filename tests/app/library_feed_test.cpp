// The catalogue as a capture session feeds it, from the virtual tuner.
#include "app/library_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/capture_session.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "hooks/recording_outcome.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_tuner_device.h"

namespace pelkan {
namespace {

// Runs the session's loop until `done` or 30 s have passed.
bool RunUntil(testing::QueueDispatcher& loop, const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    loop.RunOnce(100);
  }
  return true;
}

// A manual recording of the whole stream is listed while it records with what its report names at
// the end: the first service and the programme on air there, not as a recording without a title.
TEST(LibraryFeed, AManualRecordingIsNamedWhileItRecordsAsItsReportNamesIt) {
  const test::TempDir dir;
  testing::QueueDispatcher loop;
  testing::RecordingMessages messages;
  SessionOptions options;
  options.library_path = dir.File("library.sqlite");
  CaptureSession session(loop, &messages, options);
  session.settings() = DefaultSettings(dir.path());
  session.settings().decode_psi = 1;  // the services' names and programmes are read
  session.settings().proc_epg = 1;
  session.app().SetDevice(testing::VirtualTunerDevice());
  session.Begin();
  ASSERT_TRUE(session.app().Connect(testing::VirtualTunerRequest()));
  const std::string file = dir.File("manual.ts");
  ASSERT_TRUE(session.app().ToggleRecording(false, file));
  RecordingLibrary& library = *session.library()->library();

  std::optional<LibraryEntry> live;
  ASSERT_TRUE(RunUntil(loop, [&] {
    live = library.FindByFile(file);
    return live && !live->title.empty();
  })) << (live ? "service " + live->service_name : "not catalogued");
  EXPECT_TRUE(live->recording);
  EXPECT_NE(live->service_id, 0);
  EXPECT_FALSE(live->service_name.empty());
  EXPECT_FALSE(live->plain_title.empty());

  ASSERT_FALSE(session.app().ToggleRecording(true));
  std::optional<LibraryEntry> ended;
  ASSERT_TRUE(RunUntil(loop, [&] {
    ended = library.FindByFile(file);
    return ended && !ended->recording;
  }));
  session.End();
  hooks::RecordingOutcome report;
  ASSERT_TRUE(hooks::ReadReportFile(file + ".err", &report));
  EXPECT_EQ(live->title, report.title);
  EXPECT_EQ(live->plain_title, report.plain_title);
  EXPECT_EQ(live->service_id, report.service_id.value_or(0));
  EXPECT_EQ(live->service_name, report.service_name);
  EXPECT_EQ(ended->title, report.title);
}

}  // namespace
}  // namespace pelkan
