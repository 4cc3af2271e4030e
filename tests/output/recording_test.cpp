#include "output/recording.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <memory>
#include <vector>

#include "output/block_file_writer.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

// A writer whose failures and free space the test sets.
struct FakeWriter : RecordingWriter {
  int write_error = 0;
  int folder_error = 0;
  uint64_t free_bytes = uint64_t{1} << 40;
  bool finish_ok = true;
  uint64_t bytes = 0;
  bool Open(const std::string&) override { return true; }
  void Write(const uint8_t*, uint32_t length) override { bytes += length; }
  uint64_t BytesWritten() const override { return bytes; }
  uint64_t FreeSpace() const override { return free_bytes; }
  int FolderError() const override { return folder_error; }
  int WriteError() const override { return write_error; }
  bool Finish() override { return finish_ok; }
};

TEST(Recording, StopMinutesAreClampedOnce) {
  const struct {
    int64_t in;
    int out;
  } cases[] = {{-5, 0}, {0, 0}, {10, 10}, {35000, 35000}, {35001, 35000}, {INT64_MAX, 35000}};
  for (const auto& c : cases) EXPECT_EQ(Recording::ClampStopMinutes(c.in), c.out) << c.in;
}

// The heartbeat's stop rules, in their order: a failed write before a removed folder before a
// nearly full disk before the stop timer.
TEST(Recording, CheckFindsTheFirstReasonToStop) {
  const struct {
    int write_error, folder_error;
    uint64_t free_bytes;
    bool timer_reached;
    RecordingStop::Kind kind;
    RecordingEnd end;
  } cases[] = {
      {0, 0, uint64_t{1} << 40, false, RecordingStop::Kind::kNone, RecordingEnd::kComplete},
      {0, 0, uint64_t{1} << 40, true, RecordingStop::Kind::kTimerReached, RecordingEnd::kComplete},
      {0, 0, kLowDiskLimit + 1, true, RecordingStop::Kind::kTimerReached, RecordingEnd::kComplete},
      {0, 0, kLowDiskLimit, true, RecordingStop::Kind::kLowDisk, RecordingEnd::kLowDisk},
      {0, ENOENT, 0, true, RecordingStop::Kind::kFolderGone, RecordingEnd::kWriteFailed},
      {ENOSPC, ENOENT, 0, true, RecordingStop::Kind::kWriteFailed, RecordingEnd::kWriteFailed},
  };
  for (const auto& c : cases) {
    uint32_t tick = 1000;
    auto writer = std::make_unique<FakeWriter>();
    FakeWriter* w = writer.get();
    Recording r(std::move(writer), [&tick] { return tick; });
    ASSERT_TRUE(r.Open("/rec/a.ts", CaptureSample{}));
    r.ArmStopTimer(1);
    w->write_error = c.write_error;
    w->folder_error = c.folder_error;
    w->free_bytes = c.free_bytes;
    if (c.timer_reached) tick += 60000;
    const RecordingStop stop = r.Check(CaptureSample{});
    EXPECT_EQ(stop.kind, c.kind) << c.write_error << " " << c.folder_error << " " << c.free_bytes;
    EXPECT_EQ(stop.End(), c.end);
    EXPECT_EQ(stop.error, c.write_error != 0 ? c.write_error : c.folder_error);
    // Without the timer, only the disk's and the file's faults stop a recording.
    EXPECT_EQ(r.Check(CaptureSample{}, false).kind,
              c.kind == RecordingStop::Kind::kTimerReached ? RecordingStop::Kind::kNone : c.kind);
  }
}

// "+10分" adds ten minutes to a running timer, never beyond the longest one, and gives none to a
// recording without a timer.
TEST(Recording, StopTimerExtendsWithinItsLimit) {
  uint32_t tick = 0;
  Recording r(std::make_unique<FakeWriter>(), [&tick] { return tick; });
  ASSERT_TRUE(r.Open("/rec/a.ts", CaptureSample{}));
  r.ExtendStopTimer();
  EXPECT_FALSE(r.deadline());
  r.ArmStopTimer(5);
  r.ExtendStopTimer();
  EXPECT_EQ(*r.deadline(), 15u * 60000u);
  r.ArmStopTimer(Recording::kMaxStopMinutes);
  r.ExtendStopTimer();
  EXPECT_EQ(*r.deadline(), uint32_t{Recording::kMaxStopMinutes} * 60000u);
  r.ArmStopTimer(0);
  EXPECT_FALSE(r.deadline());
}

// A disk that fills (/dev/full fails every write with ENOSPC): the heartbeat sees the failed
// write, and closing says so in the totals, even when the caller asked for a complete end.
TEST(Recording, AFailedWriteEndsAsSuchWhateverTheCallerSays) {
  Recording r(std::make_unique<BlockFileWriter>(0x1000));
  ASSERT_TRUE(r.Open("/dev/full", CaptureSample{}));
  std::vector<uint8_t> packet(188, 0xFF);
  packet[0] = 0x47;
  packet[1] = 0x1F;
  for (int i = 0; i < 100; ++i) r.Write(packet.data(), 188);
  const RecordingStop stop = r.Check(CaptureSample{});
  EXPECT_EQ(stop.kind, RecordingStop::Kind::kWriteFailed);
  EXPECT_EQ(stop.error, ENOSPC);
  const std::optional<RecordingSummary> summary = r.Close(CaptureSample{}, RecordingEnd::kComplete);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->end, RecordingEnd::kWriteFailed);
  EXPECT_FALSE(r.written());
  EXPECT_FALSE(r.Close(CaptureSample{}));  // once only
}

// A writer that cannot write its rest at the close without naming an error still spoils the
// recording: nothing claims all its bytes reached the file.
TEST(Recording, ARestThatCannotBeWrittenIsAFailedWrite) {
  auto writer = std::make_unique<FakeWriter>();
  writer->finish_ok = false;
  Recording r(std::move(writer));
  ASSERT_TRUE(r.Open("/rec/a.ts", CaptureSample{}));
  r.Close(CaptureSample{});
  EXPECT_FALSE(r.written());
  EXPECT_EQ(r.WriteReport(), false);  // the fake keeps no check, so there is no report
}

// A recording that replaces its file on request (`--force`) replaces the old recording's report
// too; one that takes the next free name leaves the old files alone and gets a report of its own.
TEST(Recording, ReplacingAFileReplacesItsReport) {
  test::TempDir dir;
  const std::string path = dir.File("rec.ts");
  const struct {
    ExistingFile existing;
    std::string recording, report;
  } cases[] = {{ExistingFile::kReplace, path, path + ".err"},
               {ExistingFile::kNextFreeName, dir.File("rec-1.ts"), dir.File("rec-1.ts.err")}};
  for (const auto& c : cases) {
    { std::ofstream(path) << "old recording"; }
    { std::ofstream(path + ".err") << "old report"; }
    Recording r(std::make_unique<BlockFileWriter>(0x1000, c.existing));
    ASSERT_TRUE(r.Open(path, CaptureSample{}));
    EXPECT_EQ(r.path(), c.recording);
    EXPECT_EQ(r.ReportPath(), c.report);
    r.Close(CaptureSample{});
    EXPECT_TRUE(r.WriteReport());
    std::ifstream in(c.report);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text.rfind("Pelkan recording report\n", 0), 0u) << text;
    std::ifstream old(path + ".err");
    const std::string old_text((std::istreambuf_iterator<char>(old)), {});
    EXPECT_EQ(old_text == "old report", c.existing != ExistingFile::kReplace);
    for (const char* name : {"rec-1.ts", "rec-1.ts.err"}) std::filesystem::remove(dir.File(name));
  }
}

// The tuner drops out after ten packets and its stream goes on with other counters: with the gap
// marked, the jump is no drop and the report lists the gap at its offset, with its length, and
// sums it up in its result; a gap still open at the end makes it "tuner lost"; unmarked, the
// jump is a drop.
TEST(Recording, AGapIsListedAndItsJumpIsNoDrop) {
  test::TempDir dir;
  struct Case {
    bool gap;
    bool back;
    RecordingEnd how;
    const char* result;
    const char* gap_line;
    uint64_t drop;
  };
  const Case cases[] = {
      {true, true, RecordingEnd::kComplete, "result              recovered (gap 0:00:07)\n",
       " length 0:00:07  offset 1880\n", 0},
      {true, false, RecordingEnd::kTunerLost, "result              tuner lost: not back\n",
       " to the end  length 0:00:09  offset 1880\n", 0},
      {false, false, RecordingEnd::kComplete, "result              complete\n", nullptr, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    uint32_t tick = 1000;
    const std::string path = dir.File("gap.ts");
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".err");
    Recording r(std::make_unique<BlockFileWriter>(0x1000, ExistingFile::kReplace), [&tick] { return tick; });
    ASSERT_TRUE(r.Open(path, CaptureSample{}));
    std::vector<uint8_t> packet(188, 0xFF);
    auto write = [&](int cc) {
      packet[0] = 0x47;
      packet[1] = 0x01;
      packet[2] = 0x00;
      packet[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
      r.Write(packet.data(), 188);
    };
    for (int cc = 0; cc < 10; ++cc) write(cc);
    if (c.gap) r.BeginGap();
    EXPECT_EQ(r.InGap(), c.gap);
    tick += 7000;
    if (c.back) r.EndGap();
    tick += 2000;
    for (int cc = 15; cc < 20; ++cc) write(cc);
    if (c.how == RecordingEnd::kTunerLost) r.report()->SetEndReason("not back");
    const std::optional<RecordingSummary> summary = r.Close(CaptureSample{}, c.how);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->drop, c.drop);
    EXPECT_EQ(summary->end, c.how);
    const std::string text = r.report()->text();
    EXPECT_NE(text.find(c.result), std::string::npos) << text;
    if (c.gap_line != nullptr) {
      EXPECT_NE(text.find(c.gap_line), std::string::npos) << text;
      EXPECT_NE(text.find("\ngaps                1, "), std::string::npos) << text;
      EXPECT_EQ(RecordingReport::GapOffsets(text), std::vector<uint64_t>{1880});
    } else {
      EXPECT_TRUE(RecordingReport::GapOffsets(text).empty());
    }
  }
}

}  // namespace
}  // namespace pelkan
