// The catalogue as a capture session feeds it, from the virtual tuner.
#include "app/library_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/capture_session.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "hooks/recording_outcome.h"
#include "schedule/schedule_item.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_tuner_device.h"

namespace pelkan {
namespace {

// The reservations the disk must keep room for, each with the service whose measured rate counts:
// an event reservation's, a date-time reservation's limited to one service (named in its text,
// not in service_id), none for the whole stream; its own folder, else the default one; those that
// ended or record nothing are left out.
TEST(LibraryFeed, PlannedRecordingsNameTheServiceAndFolderTheyRecord) {
  struct Case {
    const char* title;
    uint32_t flags;
    uint32_t state;
    uint16_t service_id;
    const char* service_text;
    const char* directory;
    PlanVerdict verdict;
    bool counted;
    uint16_t service;
    const char* folder;
  };
  const Case cases[] = {
      {"event", SI_BY_EVENT, ST_WAITING, 1032, "", "/bs", PlanVerdict::kWhole, true, 1032, "/bs"},
      {"limited", SI_BY_TIME | SI_SERVICE_LIMIT, ST_WAITING, 0, "1025", "", PlanVerdict::kPart, true, 1025, "/rec"},
      {"whole stream", SI_BY_TIME, ST_RECORDING, 0, "1025", "", PlanVerdict::kWhole, true, 0, "/rec"},
      {"finished", SI_BY_TIME, ST_FINISHED, 0, "", "", PlanVerdict::kWhole, false, 0, ""},
      {"no tuner", SI_BY_TIME, ST_WAITING, 0, "", "", PlanVerdict::kNone, false, 0, ""},
  };
  RecordingScheduler::PlannedList planned;
  std::vector<std::string> expected, got;
  for (const Case& c : cases) {
    ScheduleItem item{};
    item.flags = c.flags;
    SetItemState(&item, c.state);
    item.service_id = c.service_id;
    SetText(item.service_id_text, c.service_text);
    SetText(item.directory, c.directory);
    SetText(item.title, c.title);
    planned.items.push_back(item);
    planned.lines.push_back({c.verdict, 61383LL * 86400 + 3600, 61383LL * 86400 + 7200});
    if (c.counted) expected.push_back(std::string(c.title) + " " + std::to_string(c.service) + " " + c.folder);
  }
  for (const PlannedRecording& p : PlannedRecordingsOf(planned, "/rec")) {
    EXPECT_EQ(p.seconds, 3600);
    got.push_back(p.title + " " + std::to_string(p.service_id) + " " + p.folder);
  }
  EXPECT_EQ(got, expected);
}


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
