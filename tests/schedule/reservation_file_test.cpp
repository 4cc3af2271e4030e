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

TEST(ReservationFile, NoPathNoLoad) {
  ReservationFile file;
  std::vector<std::string> warnings{"old"};
  EXPECT_FALSE(file.Load("", &warnings));
  EXPECT_EQ(warnings.size(), 1u) << "warnings of the last load stay when nothing was read";
}

}  // namespace
}  // namespace pelkan
