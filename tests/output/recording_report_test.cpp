#include "output/recording_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "output/file_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RecordingReportTest : public ::testing::Test {
 protected:
  // Records `stream` (188-byte packets) one packet per tick from tick 10000.
  void Record(FileRecorder& rec, const std::string& path, const test::Bytes& stream) {
    rec.SetTickSource([this] { return tick_; });
    ASSERT_EQ(rec.OpenFile(path), 1);
    for (size_t pos = 0; pos < stream.size(); pos += 188) {
      tick_ += 1;
      ASSERT_EQ(rec.WritePacket(stream.data() + pos, 188), 1);
    }
  }

  test::TempDir temp_;
  const std::string dir_ = temp_.path();
  uint32_t tick_ = 10000;
};

// 2026-12-07 21:00:00 local, as the Modified Julian Date and seconds.
constexpr MjdTime kStart{61381, 21 * 3600};

TEST_F(RecordingReportTest, ReportHasHeaderPidTableAndEvents) {
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0x0400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 0, 0x111, {{0x02, 0x111, {}}}));
  for (int i = 0; i < 4000; ++i) {
    if (i != 2000 && i != 2001) b.PacketCc(0x111, static_cast<uint8_t>(i & 0x0F), {});
  }
  b.Packet(0x121, {}, false, 2).Packet(0x121, {}, false, 0);
  const std::string path = dir_ + "/rec.ts";
  FileRecorder rec(0x100000);
  CaptureSample start;
  start.sync_losses = 7;
  start.fifo_overflows = 1;
  start.broadcast_time = {61381, 21 * 3600 - 2};
  Record(rec, path, b.bytes());

  RecordingReport report(path, start, kStart);
  ASSERT_EQ(report.path(), path + ".err");
  // While the recording runs, the name is taken by a placeholder that says so.
  EXPECT_NE(ReadText(path + ".err").find("recording since 2026-12-07 21:00:00"), std::string::npos);

  report.SetReservation("夜のニュース", "ニュース７");
  report.NoteServiceName(0x0400, "ペルカン総合");
  report.NoteProgramme(0x0400, "ニュース７");
  report.NoteProgramme(0x0401, "映画");  // a service the recording does not hold
  report.NoteProgramme(0x0400, "ニュース７");
  report.NoteProgramme(0x0400, "天気予報");
  CaptureSample mid = start;
  mid.sync_losses = 9;
  report.Sample(mid);
  // The user cleared the counters meanwhile, then one more sync loss; the last sample before the
  // end (a disconnect zeroes everything, the broadcast clock included).
  report.Sample(CaptureSample{1, 3, 2, {61381, 21 * 3600 + 28}});
  tick_ = 10000 + 30500;
  ASSERT_TRUE(rec.CloseFile());
  const RecordingSummary s =
      report.Finish(CaptureSample{}, rec, RecordingEnd::kComplete, 0, {61381, 21 * 3600 + 31});
  EXPECT_EQ(s.report_path, path + ".err");
  EXPECT_EQ(s.packets, 4002u);
  EXPECT_EQ(s.drop, 2u);
  EXPECT_EQ(s.scrambled, 1u);
  EXPECT_EQ(s.sync_losses, 3u);  // 7 -> 9, cleared, -> 1
  EXPECT_EQ(s.fifo_overflows, 2u);
  EXPECT_EQ(s.failed_transfers, 2u);
  ASSERT_TRUE(report.Write());

  const std::string expected =
      "Pelkan recording report\n"
      "file                " +
      path +
      "\n"
      "result              complete\n"
      "reservation         夜のニュース\n"
      "programme           ニュース７\n"
      "start               2026-12-07 21:00:00 (broadcast 2026-12-07 20:59:58)\n"
      "end                 2026-12-07 21:00:31 (broadcast 2026-12-07 21:00:28)\n"
      "duration            0:00:30\n"
      "bytes               752376\n"
      "packets             4002\n"
      "service             1024 ペルカン総合: ニュース７ / 天気予報\n"
      "sync losses         3\n"
      "FIFO overflows (R)  2\n"
      "failed transfers    2\n"
      "\n"
      "PID 0x0000  packets    1  drop 0  error 0  scrambled 0  PAT\n"
      "PID 0x0111  packets 3998  drop 2  error 0  scrambled 0  video\n"
      "PID 0x0121  packets    2  drop 0  error 0  scrambled 1\n"
      "PID 0x01F0  packets    1  drop 0  error 0  scrambled 0  PMT\n"
      "total       packets 4002  drop 2  error 0  scrambled 1\n"
      "\n"
      "events              3\n";
  const std::string text = ReadText(path + ".err");
  ASSERT_EQ(text.substr(0, expected.size()), expected);
  // The events, timed from the block writes (one packet per millisecond here, all written at close).
  const std::string events = text.substr(expected.size());
  EXPECT_NE(events.find("  offset 376376  PID 0x0111  drop 2 (counter expected 0, found 2)\n"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("  PID 0x0121  scrambling starts\n"), std::string::npos) << events;
  EXPECT_NE(events.find("  PID 0x0121  scrambling ends\n"), std::string::npos) << events;
  EXPECT_EQ(events.rfind("+0:00:", 0), 0u) << events;
  EXPECT_EQ(text, report.text());
}

TEST_F(RecordingReportTest, NameFollowsTheRecordingAndNeverReplacesAFile) {
  const std::string path = dir_ + "/cap.ts";
  std::ofstream(path) << "x";
  std::ofstream(path + ".err") << "someone's notes";
  RecordingReport taken(path, CaptureSample{}, kStart);
  EXPECT_EQ(taken.path(), dir_ + "/cap.ts-1.err");
  EXPECT_EQ(ReadText(path + ".err"), "someone's notes");

  // A recording never takes a name whose report is there.
  std::filesystem::remove(path);
  const CreatedFile f = CreateRecordingFile(path, ExistingFile::kNextFreeName);
  ASSERT_GE(f.fd, 0);
  ::close(f.fd);
  EXPECT_EQ(f.path, dir_ + "/cap-1.ts");

  // Recordings into devices get no report.
  RecordingReport device("/dev/null", CaptureSample{}, kStart);
  EXPECT_EQ(device.path(), "");
  EXPECT_FALSE(device.Write());
  EXPECT_FALSE(std::filesystem::exists("/dev/null.err"));
}

TEST_F(RecordingReportTest, FailedRecordingSaysSo) {
  const std::string path = dir_ + "/failed.ts";
  FileRecorder rec(0x100000);
  Record(rec, path, test::TsBuilder().Packet(0x100, {}).Packet(0x100, {}).bytes());
  RecordingReport report(path, CaptureSample{}, kStart);
  report.Sample(CaptureSample{0, 0, 0, {61381, 12 * 3600}});  // the broadcast clock comes later
  rec.CloseFile();
  const RecordingSummary s = report.Finish(CaptureSample{}, rec, RecordingEnd::kWriteFailed, ENOSPC, kStart);
  EXPECT_EQ(s.end, RecordingEnd::kWriteFailed);
  ASSERT_TRUE(report.Write());
  const std::string text = ReadText(path + ".err");
  EXPECT_NE(
      text.find("result              stopped: the file could not be written (No space left on device)\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("service             none (the recording holds no PAT)\n"), std::string::npos);
  EXPECT_NE(text.find("start               2026-12-07 21:00:00 (broadcast 2026-12-07 12:00:00)\n"),
            std::string::npos);
  EXPECT_NE(text.find("events              0\n"), std::string::npos);
  // Only the report is left beside the recording: no temporary file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2);
}

// When no second file can be made beside the report (a full disk; here a name with no room for the
// temporary file's suffix), the final text goes into the room the report set aside at the start.
TEST_F(RecordingReportTest, FinalTextGoesIntoTheClaimedFileWhenNoSecondFileCanBeMade) {
  // 245 + ".err" fits a file name (255 bytes); the temporary name beside it does not.
  const std::string path = dir_ + "/" + std::string(242, 'r') + ".ts";
  FileRecorder rec(0x100000);
  test::TsBuilder b;
  b.PacketCc(0x100, 0, {}).PacketCc(0x100, 5, {});
  Record(rec, path, b.bytes());
  RecordingReport report(path, CaptureSample{}, kStart);
  ASSERT_EQ(report.path(), path + ".err");
  EXPECT_NE(ReadText(path + ".err").find("(this report is completed when the recording ends)"),
            std::string::npos);
  rec.CloseFile();
  report.Finish(CaptureSample{}, rec, RecordingEnd::kWriteFailed, ENOSPC, kStart);
  ASSERT_TRUE(report.Write());
  EXPECT_EQ(ReadText(path + ".err"), report.text());
  EXPECT_NE(report.text().find("\ntotal       packets 2  drop 4  error 0  scrambled 0\n"), std::string::npos)
      << report.text();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2);
}

}  // namespace
}  // namespace pelkan
