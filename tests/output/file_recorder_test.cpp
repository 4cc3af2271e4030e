#include "output/file_recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "tests/support/capture_fakes.h"
#include "ts/stream_check.h"

namespace pelkan {
namespace {

class FileRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-rec-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  static std::vector<uint8_t> Packet(uint32_t index) {
    std::vector<uint8_t> p(188);
    p[0] = 0x47;
    for (size_t i = 1; i < p.size(); ++i) p[i] = static_cast<uint8_t>(index * 7 + i);
    return p;
  }

  std::string dir_;
};

TEST_F(FileRecorderTest, FirstBlockIsWrittenByPacket5578AndLeaves88BytesBuffered) {
  FileRecorder rec(0x100000);
  const std::string path = dir_ + "/a.ts";
  ASSERT_EQ(rec.OpenFile(path), 1);
  for (uint32_t i = 0; i < 5577; ++i) {
    uint32_t written = 99;
    ASSERT_EQ(rec.WritePacket(Packet(i).data(), 188, &written), 1);
    ASSERT_EQ(written, 0u);
  }
  EXPECT_EQ(rec.GetBytesWritten(), 0u);
  uint32_t written = 0;
  ASSERT_EQ(rec.WritePacket(Packet(5577).data(), 188, &written), 1);
  EXPECT_EQ(written, 0x100000u);
  EXPECT_EQ(rec.GetBytesWritten(), 0x100000u);
  EXPECT_EQ(std::filesystem::file_size(path), 0x100000u);
  rec.CloseFile();
  // The 88 buffered bytes reach the file at close.
  EXPECT_EQ(std::filesystem::file_size(path), 5578u * 188u);
  EXPECT_EQ(rec.GetBytesWritten(), 5578u * 188u);
}

TEST_F(FileRecorderTest, FileHoldsEveryPacketInOrder) {
  std::vector<uint8_t> expected;
  const std::string path = dir_ + "/b.ts";
  {
    FileRecorder rec(0x100000);
    ASSERT_EQ(rec.OpenFile(path), 1);
    for (uint32_t i = 0; i < 12000; ++i) {
      const auto p = Packet(i);
      expected.insert(expected.end(), p.begin(), p.end());
      ASSERT_EQ(rec.WritePacket(p.data(), 188), 1);
    }
  }  // the destructor closes and writes the tail
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(FileRecorderTest, BlocksSmallerThanAPacketNeverOverflowTheBuffer) {
  FileRecorder rec(100);
  const std::string path = dir_ + "/small.ts";
  ASSERT_EQ(rec.OpenFile(path), 1);
  std::vector<uint8_t> expected;
  for (uint32_t i = 0; i < 20000; ++i) {
    const auto p = Packet(i);
    expected.insert(expected.end(), p.begin(), p.end());
    ASSERT_EQ(rec.WritePacket(p.data(), 188), 1) << i;
  }
  rec.CloseFile();
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(FileRecorderTest, ClosedRecorderRefusesPacketsAndReportsNothing) {
  FileRecorder rec(0x100000);
  EXPECT_EQ(rec.IsRecording(), 0);
  EXPECT_EQ(rec.WritePacket(Packet(0).data(), 188), 0);
  EXPECT_EQ(rec.GetElapsedMs(), 0u);
  EXPECT_EQ(rec.GetFreeSpace(), 0u);
}

TEST_F(FileRecorderTest, OpenFailsInAMissingDirectory) {
  FileRecorder rec(0x100000);
  EXPECT_EQ(rec.OpenFile(dir_ + "/no/such/dir/x.ts"), 0);
  EXPECT_EQ(rec.IsRecording(), 0);
}

// Reopening the same name used to truncate the earlier recording; it now gets the next free name,
// and only an explicit kReplace truncates.
TEST_F(FileRecorderTest, ReopeningNeverTruncatesAnEarlierRecordingUnasked) {
  FileRecorder rec(188);
  const std::string path = dir_ + "/c.ts";
  ASSERT_EQ(rec.OpenFile(path), 1);
  EXPECT_EQ(rec.GetPath(), path);
  for (uint32_t i = 0; i < 10; ++i) rec.WritePacket(Packet(i).data(), 188);
  ASSERT_EQ(rec.OpenFile(path), 1);
  EXPECT_EQ(rec.GetPath(), dir_ + "/c-1.ts");
  EXPECT_EQ(rec.GetBytesWritten(), 0u);
  rec.WritePacket(Packet(1).data(), 188);
  rec.CloseFile();
  EXPECT_EQ(std::filesystem::file_size(path), 1880u);
  EXPECT_EQ(ReadFile(dir_ + "/c-1.ts"), Packet(1));

  ASSERT_EQ(rec.OpenFile(path, ExistingFile::kRefuse), 0);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(rec.OpenFile(path, ExistingFile::kReplace), 1);
  rec.WritePacket(Packet(2).data(), 188);
  rec.CloseFile();
  EXPECT_EQ(ReadFile(path), Packet(2));
}

TEST(RecordingFile, NumberedNamesAndExistingEntries) {
  EXPECT_EQ(NumberedName("rec/20261207-2100.ts", 1), "rec/20261207-2100-1.ts");
  EXPECT_EQ(NumberedName("rec.d/noext", 2), "rec.d/noext-2");
  EXPECT_EQ(NumberedName("/a/.ts", 3), "/a/.ts-3");
  EXPECT_EQ(NumberedName("a.b.ts", 12), "a.b-12.ts");

  char pattern[] = "/tmp/pelkan-newfile-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  for (const char* name : {"/x.ts", "/x-1.ts"}) std::ofstream(dir + name) << "old";
  CreatedFile f = CreateRecordingFile(dir + "/x.ts", ExistingFile::kNextFreeName);
  ASSERT_GE(f.fd, 0);
  EXPECT_EQ(f.path, dir + "/x-2.ts");
  ::close(f.fd);
  EXPECT_EQ(std::filesystem::file_size(dir + "/x.ts"), 3u);
  f = CreateRecordingFile(dir, ExistingFile::kNextFreeName);  // a folder is no file
  EXPECT_LT(f.fd, 0);
  EXPECT_EQ(f.error, EISDIR);
  // A device is written as it is (never replaced by a regular file).
  f = CreateRecordingFile("/dev/null", ExistingFile::kRefuse);
  ASSERT_GE(f.fd, 0);
  EXPECT_EQ(f.path, "/dev/null");
  ::close(f.fd);
  std::filesystem::remove_all(dir);
}

// A disk that fills: /dev/full fails every write with ENOSPC, as a full volume does.
TEST_F(FileRecorderTest, FailedWriteIsReportedNotCountedAndStopsTheFile) {
  FileRecorder rec(0x100000);
  ASSERT_EQ(rec.OpenFile("/dev/full"), 1);
  uint32_t i = 0;
  int result = 1;
  for (; i < 6000 && result == 1; ++i) result = rec.WritePacket(Packet(i).data(), 188);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(i, 5578u);  // the first block write
  EXPECT_EQ(rec.GetWriteError(), ENOSPC);
  EXPECT_EQ(rec.GetBytesWritten(), 0u);
  // Later packets are refused, so the file never gets a hole.
  EXPECT_EQ(rec.WritePacket(Packet(0).data(), 188), 0);
  EXPECT_FALSE(rec.CloseFile());
  EXPECT_EQ(rec.GetWriteError(), ENOSPC);
  // A failure of the tail written at close is reported too.
  ASSERT_EQ(rec.OpenFile("/dev/full"), 1);
  EXPECT_EQ(rec.GetWriteError(), 0);
  EXPECT_EQ(rec.WritePacket(Packet(0).data(), 188), 1);
  EXPECT_FALSE(rec.CloseFile());
}

// A write that stops inside a packet, as it does when the disk fills (here the file-size limit,
// which stops a write the same way without filling a disk), used to leave a torn packet at the end
// of the file. The packet size changes on the way, as after a resynchronisation.
// A limit on the size of the files this process writes, while it lasts.
struct SizeLimit {
  rlimit old{};
  struct sigaction old_action {};
  explicit SizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;  // the write fails with EFBIG instead of ending the program
    sigaction(SIGXFSZ, &ignore, &old_action);
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~SizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &old_action, nullptr);
  }
};

TEST_F(FileRecorderTest, FailedWriteCutsTheFileBackToTheLastWholePacket) {
  const std::string path = dir_ + "/cut.ts";
  std::vector<uint8_t> stream;
  FileRecorder rec(0x100000);
  int result = 0;
  bool closed = true;
  {
    const SizeLimit limit(1'100'000);  // the second block's write stops inside a 204-byte packet
    result = rec.OpenFile(path);
    for (uint32_t i = 0; result == 1 && i < 20000; ++i) {
      std::vector<uint8_t> p = Packet(i);
      if (i >= 3000) p.resize(204, 0xFF);
      stream.insert(stream.end(), p.begin(), p.end());
      result = rec.WritePacket(p.data(), static_cast<uint32_t>(p.size()));
    }
    closed = rec.CloseFile();
  }
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(closed);
  EXPECT_EQ(rec.GetWriteError(), EFBIG);
  const auto file = ReadFile(path);
  EXPECT_EQ(file.size(), 3000u * 188 + 2627u * 204);  // 1,099,908: 92 bytes of a packet cut off
  EXPECT_EQ(rec.GetBytesWritten(), file.size());
  ASSERT_LE(file.size(), stream.size());
  EXPECT_TRUE(std::equal(file.begin(), file.end(), stream.begin()));
}

TEST_F(FileRecorderTest, FreeSpaceQueriesTheFilesDirectory) {
  FileRecorder rec(0x100000);
  std::string asked;
  rec.SetFreeSpaceQuery([&](const std::string& d, uint64_t* bytes) {
    asked = d;
    *bytes = 209715200;
    return true;
  });
  ASSERT_EQ(rec.OpenFile(dir_ + "/d.ts"), 1);
  EXPECT_EQ(rec.GetFreeSpace(), 209715200u);
  EXPECT_EQ(asked, dir_);
  rec.SetFreeSpaceQuery([](const std::string&, uint64_t*) { return false; });
  EXPECT_EQ(rec.GetFreeSpace(), 0u);
}

TEST_F(FileRecorderTest, DefaultFreeSpaceQueryReportsTheVolume) {
  uint64_t bytes = 0;
  EXPECT_TRUE(FileRecorder::QueryFreeSpace(dir_, &bytes));
  EXPECT_GT(bytes, 0u);
  EXPECT_FALSE(FileRecorder::QueryFreeSpace(dir_ + "/missing", &bytes));
}

TEST_F(FileRecorderTest, ElapsedTimeSurvivesTheTickWrapping) {
  FileRecorder rec(0x100000);
  uint32_t now = 0xFFFFFF00u;
  rec.SetTickSource([&] { return now; });
  ASSERT_EQ(rec.OpenFile(dir_ + "/e.ts"), 1);
  now += 0x200;  // wraps past zero
  EXPECT_EQ(rec.GetElapsedMs(), 0x200u);
}

// Packets of PID 0x100 as a tuner gives them: counters running on, `size` bytes each (the extra
// bytes of 192 and 204-byte packets trail), with the packets whose index is in `lost` left out.
std::vector<uint8_t> CountedPackets(uint32_t first, uint32_t count, uint32_t size,
                                    std::vector<uint32_t> lost = {}) {
  const std::vector<uint8_t> run = testing::MakePacketRun(0x100, count, first);
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < count; ++i) {
    if (std::find(lost.begin(), lost.end(), first + i) != lost.end()) continue;
    out.insert(out.end(), run.begin() + i * 188, run.begin() + (i + 1) * 188);
    out.insert(out.end(), size - 188, 0xEE);
  }
  return out;
}

// The recorder checks what reaches the file, also when the packet size changes midway and packets
// straddle the block boundaries; the events are placed between the ticks of the block writes.
TEST_F(FileRecorderTest, CheckCoversThePacketsOfTheFileAcrossBlocksAndSizes) {
  FileRecorder rec(0x100000);
  uint32_t now = 5000;
  rec.SetTickSource([&] { return now; });
  const std::string path = dir_ + "/checked.ts";
  ASSERT_EQ(rec.OpenFile(path), 1);
  const auto small = CountedPackets(0, 7000, 188, {3000, 3001, 3002});
  const auto large = CountedPackets(7000, 4000, 204, {9000});
  for (const auto* part : {&small, &large}) {
    const uint32_t size = part == &small ? 188 : 204;
    for (size_t pos = 0; pos < part->size(); pos += size) {
      now += 1;
      ASSERT_EQ(rec.WritePacket(part->data() + pos, size), 1);
    }
  }
  ASSERT_TRUE(rec.CloseFile());
  const PidChecker* c = rec.GetChecker();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Totals().packets, 10996u);
  EXPECT_EQ(c->Totals().drop, 4u);
  ASSERT_EQ(c->events().size(), 2u);
  EXPECT_EQ(c->events()[0].offset, 3000u * 188);
  EXPECT_EQ(c->events()[1].offset, 6997u * 188 + 2000u * 204);
  // Packet 3003 was taken at tick 5000 + 3001, within the first block: its time lies between the
  // open (5000) and the first write (tick 5000 + 5578).
  EXPECT_GT(c->events()[0].tick, 5000u);
  EXPECT_LT(c->events()[0].tick, 5000u + 5578);
  EXPECT_EQ(rec.GetCloseTick(), now);

  // `pelkan-cli check` finds the same in the file.
  StreamCheck file;
  std::string error;
  ASSERT_TRUE(file.FeedFile(path, &error));
  EXPECT_EQ(file.checker().Totals().packets, 10996u);
  EXPECT_EQ(file.checker().Totals().drop, 4u);
}

// Runs of packets taken at once make the file, its check and its cut-back after a failed write
// exactly what the same packets taken one by one make, whatever the block size and run length.
TEST_F(FileRecorderTest, PacketRunsMakeWhatSinglePacketsMake) {
  struct Case {
    const char* name;
    uint32_t block;
    uint32_t run_packets;
    rlim_t size_limit;  // 0: none
  };
  const Case cases[] = {
      {"runs of a block's share", 0x100000, 170, 0},
      {"blocks smaller than a packet", 100, 7, 0},
      {"one run longer than the buffer", 0x100000, 20000, 0},
      {"a write stopped inside a packet", 0x100000, 170, 1'100'000},
  };
  const auto small = CountedPackets(0, 7000, 188, {3000, 3001, 3002});
  const auto large = CountedPackets(7000, 4000, 204, {9000});
  struct Result {
    std::vector<uint8_t> file;
    int result = 1;
    uint64_t packets = 0;
    uint64_t drops = 0;
    bool operator==(const Result&) const = default;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto record = [&](bool runs) {
      const std::string path = dir_ + "/" + std::to_string(&c - cases) + (runs ? "-runs.ts" : "-singles.ts");
      FileRecorder rec(c.block);
      Result r;
      {
        std::optional<SizeLimit> limit;
        if (c.size_limit != 0) limit.emplace(c.size_limit);
        EXPECT_EQ(rec.OpenFile(path), 1);
        for (const auto* part : {&small, &large}) {
          const uint32_t size = part == &small ? 188 : 204;
          const uint32_t step = runs ? size * c.run_packets : size;
          for (size_t pos = 0; r.result == 1 && pos < part->size(); pos += step) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(step, part->size() - pos));
            r.result = runs ? rec.WritePackets(part->data() + pos, n, size) : rec.WritePacket(part->data() + pos, n);
          }
        }
        rec.CloseFile();
      }
      r.file = ReadFile(path);
      EXPECT_EQ(rec.GetBytesWritten(), r.file.size());
      r.packets = rec.GetChecker()->Totals().packets;
      r.drops = rec.GetChecker()->Totals().drop;
      return r;
    };
    const Result singles = record(false);
    EXPECT_EQ(singles.result, c.size_limit == 0 ? 1 : 0);
    EXPECT_EQ(singles.file.size(), c.size_limit == 0 ? small.size() + large.size() : c.size_limit / 188 * 188);
    EXPECT_TRUE(record(true) == singles);
  }
}

// A write that fails midway (a file-size limit stands in for a disk that fills): the file ends in
// the middle of a packet, and the check holds the whole packets before it, as a check of the file does.
TEST_F(FileRecorderTest, CheckOfAFailedRecordingHoldsTheWholePacketsOfTheFile) {
  const std::string path = dir_ + "/limited.ts";
  {
    const testing::FileSizeLimit limit(0x180000);
    FileRecorder rec(0x100000);
    ASSERT_EQ(rec.OpenFile(path), 1);
    const auto packets = CountedPackets(0, 12000, 188, {100, 9000});
    int result = 1;
    for (size_t pos = 0; result == 1 && pos < packets.size(); pos += 188)
      result = rec.WritePacket(packets.data() + pos, 188);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rec.GetWriteError(), EFBIG);
    EXPECT_FALSE(rec.CloseFile());
    EXPECT_EQ(rec.GetBytesWritten(), 0x180000u / 188 * 188);  // cut back to the last whole packet
    EXPECT_EQ(rec.GetChecker()->Totals().packets, 0x180000u / 188);
    EXPECT_EQ(rec.GetChecker()->Totals().drop, 1u);  // 9000 lies beyond the end of the file
  }
  StreamCheck file;
  std::string error;
  ASSERT_TRUE(file.FeedFile(path, &error));
  EXPECT_EQ(file.checker().Totals().packets, 0x180000u / 188);
  EXPECT_EQ(file.checker().Totals().drop, 1u);
}

}  // namespace
}  // namespace pelkan
