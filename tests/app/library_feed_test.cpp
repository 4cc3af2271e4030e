#include "app/library_feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schedule/schedule_item.h"

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

}  // namespace
}  // namespace pelkan
