#include "schedule/reservation_file.h"

#include <gtest/gtest.h>

#include "platform/profile.h"
#include "schedule/schedule_file.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

using Result = ReservationFile::SyncResult;

ScheduleItem At(int hour) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = MjdFromDate(2026, 12, 8);
  item.start_second = static_cast<uint32_t>(hour) * 3600;
  item.duration = 1800;
  SetText(item.file_name, "rec");
  return item;
}

// Two holders of one file: what each adds reaches the file, and an unchanged side writes nothing.
TEST(ReservationFile, TwoHoldersMergeTheirAdditionsThroughTheFile) {
  test::TempDir dir;
  const std::string path = dir.File("schedule.ini");
  ASSERT_TRUE(platform::ReplaceFileContents(path, FormatSchedule({At(1)})));
  ReservationFile first, second;
  std::vector<std::string> warnings;
  ASSERT_EQ(first.Load(path, &warnings)->size(), 1u);
  ASSERT_EQ(second.Load(path, &warnings)->size(), 1u);

  const ReservationFile::Outcome unchanged = ReservationFile::Merge(first.snapshot(), {At(1)}, false, 0);
  EXPECT_EQ(unchanged.result, Result::kDone);
  EXPECT_FALSE(unchanged.merged) << "nothing changed on either side";

  ReservationFile::Outcome a = ReservationFile::Merge(first.snapshot(), {At(1), At(2)}, false, 0);
  ASSERT_EQ(a.result, Result::kDone);
  first.Synced(path, a);
  ReservationFile::Outcome b = ReservationFile::Merge(second.snapshot(), {At(1), At(3)}, false, 0);
  ASSERT_EQ(b.result, Result::kDone);
  ASSERT_TRUE(b.merged);
  EXPECT_EQ(FormatSchedule(*b.merged), FormatSchedule({At(1), At(2), At(3)}));
  std::string text;
  ASSERT_TRUE(platform::ReadFileContents(path, &text));
  EXPECT_EQ(text, FormatSchedule({At(1), At(2), At(3)}));

  // The first holder, synced before, now sees the second's addition and writes nothing new.
  ReservationFile::Outcome again = ReservationFile::Merge(first.snapshot(), *a.merged, false, 0);
  ASSERT_TRUE(again.merged);
  EXPECT_EQ(FormatSchedule(*again.merged), text);
}

// A file that is no reservation file is read as empty, moved aside at the next merge and replaced
// by the holder's list; a merge for a path changed meanwhile is not taken as the base.
TEST(ReservationFile, AForeignFileIsMovedAsideNeverOverwritten) {
  test::TempDir dir;
  const std::string path = dir.File("schedule.ini");
  ASSERT_TRUE(platform::ReplaceFileContents(path, "[Schedule_1]\r\nFlag=1\r\n"));
  ReservationFile file;
  std::vector<std::string> warnings;
  ASSERT_TRUE(file.Load(path, &warnings)->empty());
  EXPECT_TRUE(file.unreadable());

  const ReservationFile::Outcome out = ReservationFile::Merge(file.snapshot(), {At(4)}, false, 0);
  ASSERT_EQ(out.result, Result::kDone);
  ASSERT_TRUE(out.kept_aside);
  std::string kept;
  ASSERT_TRUE(platform::ReadFileContents(*out.kept_aside, &kept));
  EXPECT_EQ(kept, "[Schedule_1]\r\nFlag=1\r\n");
  file.Synced(dir.File("other.ini"), out);
  EXPECT_TRUE(file.unreadable()) << "a merge of another path is not this file's base";
  file.Synced(path, out);
  EXPECT_FALSE(file.unreadable());
  EXPECT_TRUE(file.FirstAsideFailure());
  EXPECT_FALSE(file.FirstAsideFailure()) << "the user is told once";
}

// A hand-edited file whose sections carry Flag=0 used to list as empty without a word, and the
// next addition replaced its thousands of sections by one reservation. Every dropped section is
// told; a file of which nothing at all could be taken is moved aside, never overwritten.
TEST(ReservationFile, DroppedSectionsAreToldAndAFileOfNothingButDroppedOnesIsKeptAside) {
  const std::string valid = FormatSchedule({At(1)}).substr(FormatSchedule({}).size());
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> warnings;
    bool kept_aside;
    std::vector<ScheduleItem> written;
  };
  const std::string header = "[Pelkan_Schedule]\r\nScheduleNum=3\r\n";
  const std::vector<Case> cases = {
      {"every Flag 0",
       header + "[Schedule_1]\r\nFlag=0\r\n[Schedule_2]\r\nFlag=0\r\n[Schedule_3]\r\nFlag=0\r\n",
       {"Schedule_1: no reservation (its Flag is 0 or absent)", "Schedule_2: no reservation (its Flag is 0 or absent)",
        "Schedule_3: no reservation (its Flag is 0 or absent)"},
       true,
       {At(4)}},
      {"no Flag and no type",
       header + "[Schedule_1]\r\nStartDateMJD=61017\r\n[Schedule_2]\r\nFlag=1\r\n",
       {"Schedule_1: no reservation (its Flag is 0 or absent)",
        "Schedule_2: neither a date-time nor an event reservation"},
       true,
       {At(4)}},
      {"one good beside a Flag 0",
       header + "[Schedule_1]\r\nFlag=0\r\n[Schedule_2]" + valid.substr(std::string("[Schedule_1]").size()),
       {"Schedule_1: no reservation (its Flag is 0 or absent)"},
       false,
       {At(1), At(4)}},
      {"an empty list", FormatSchedule({}), {}, false, {At(4)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.File("schedule.ini");
    ASSERT_TRUE(platform::ReplaceFileContents(path, c.text));
    ReservationFile file;
    std::vector<std::string> warnings;
    const auto list = file.Load(path, &warnings);
    ASSERT_TRUE(list);
    EXPECT_EQ(warnings, c.warnings);
    std::vector<ScheduleItem> ours = *list;
    ours.push_back(At(4));
    const ReservationFile::Outcome out = ReservationFile::Merge(file.snapshot(), ours, false, 0);
    ASSERT_EQ(out.result, Result::kDone);
    EXPECT_EQ(out.kept_aside.has_value(), c.kept_aside);
    if (out.kept_aside) {
      std::string kept;
      ASSERT_TRUE(platform::ReadFileContents(*out.kept_aside, &kept));
      EXPECT_EQ(kept, c.text) << "the hand-edited file is kept as it was";
    }
    std::string text;
    ASSERT_TRUE(platform::ReadFileContents(path, &text));
    EXPECT_EQ(text, FormatSchedule(c.written));
  }
}

TEST(ReservationFile, NoPathNoLoad) {
  ReservationFile file;
  std::vector<std::string> warnings{"old"};
  EXPECT_FALSE(file.Load("", &warnings));
  EXPECT_EQ(warnings.size(), 1u) << "warnings of the last load stay when nothing was read";
}

}  // namespace
}  // namespace pelkan
