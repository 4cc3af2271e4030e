#include "output/file_recorder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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

TEST_F(FileRecorderTest, ReopeningTruncatesAndRestartsTheCounter) {
  FileRecorder rec(188);
  const std::string path = dir_ + "/c.ts";
  ASSERT_EQ(rec.OpenFile(path), 1);
  for (uint32_t i = 0; i < 10; ++i) rec.WritePacket(Packet(i).data(), 188);
  ASSERT_EQ(rec.OpenFile(path), 1);
  EXPECT_EQ(rec.GetBytesWritten(), 0u);
  rec.WritePacket(Packet(1).data(), 188);
  rec.CloseFile();
  EXPECT_EQ(ReadFile(path), Packet(1));
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

}  // namespace
}  // namespace pelkan
