#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace pelkan::platform {
namespace {

TEST(Profile, FindsSectionsAndKeysRegardlessOfCaseAndOrder) {
  Profile p;
  p.Parse("[Other]\r\nA=1\r\n[Pelkan_Q]\r\n; comment=9\r\n  Rec_Time =  15  \r\nNAME=x y\r\n");
  EXPECT_EQ(p.GetInt("pelkan_q", "REC_TIME", 0), 15);
  EXPECT_EQ(p.GetString("PELKAN_Q", "name", "d"), "x y");
  EXPECT_EQ(p.GetInt("Other", "a", 0), 1);
  EXPECT_EQ(p.GetInt("Pelkan_Q", "comment", 7), 7);  // comment lines carry no keys
  EXPECT_EQ(p.GetInt("Pelkan_Q", "A", -3), -3);      // keys belong to their own section
  EXPECT_EQ(p.GetString("Missing", "A", "dflt"), "dflt");
}

TEST(Profile, EmptyValueIsAbsentForIntegersOnly) {
  Profile p;
  p.Parse("[S]\nN=\nT=\n");
  EXPECT_EQ(p.GetInt("S", "N", 42), 42);
  EXPECT_EQ(p.GetString("S", "T", "dflt"), "");
}

TEST(Profile, LeadingIntegerRules) {
  EXPECT_EQ(ParseLeadingInt("  -12abc"), -12);
  EXPECT_EQ(ParseLeadingInt("+7"), 7);
  EXPECT_EQ(ParseLeadingInt("abc"), 0);
  EXPECT_EQ(ParseLeadingInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInt("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt("-99999999999999999999999"), INT32_MIN);
}

TEST(Profile, WritingKeepsEveryOtherLine) {
  const std::string original =
      "; my settings\r\n[Pelkan_Q]\r\nUNKNOWN=keep me\r\nREC_TIME=5\r\n\r\n[Tail]\r\nX=1\r\n";
  Profile p;
  p.Parse(original);
  p.SetInt("PELKAN_Q", "rec_time", 30);
  EXPECT_EQ(p.Serialize(),
            "; my settings\r\n[Pelkan_Q]\r\nUNKNOWN=keep me\r\nrec_time=30\r\n\r\n[Tail]\r\nX=1\r\n");
  p.SetString("Pelkan_Q", "NEW", "v");
  p.SetString("Fresh", "K", "w");
  EXPECT_EQ(p.Serialize(),
            "; my settings\r\n[Pelkan_Q]\r\nUNKNOWN=keep me\r\nrec_time=30\r\nNEW=v\r\n\r\n[Tail]\r\nX=1\r\n"
            "[Fresh]\r\nK=w\r\n");
  EXPECT_EQ(p.GetString("pelkan_q", "new", ""), "v");
}

TEST(Profile, NewLinesFollowTheFileStyleAndFixAMissingLastBreak) {
  Profile p;
  p.Parse("[S]\nA=1");
  p.SetString("S", "B", "2");
  EXPECT_EQ(p.Serialize(), "[S]\nA=1\nB=2\n");
  Profile empty;
  empty.SetInt("S", "A", -1);
  EXPECT_EQ(empty.Serialize(), "[S]\r\nA=-1\r\n");
}

TEST(Profile, ShiftJisBytesAndLineBreaksInValues) {
  Profile p;
  const std::string sjis = "\x98\x5E\x89\xE6";  // 録画: trail byte 0x5E, no conversion expected
  p.SetString("S", "T", sjis + "\r\nEVIL=1");
  EXPECT_EQ(p.GetString("S", "T", ""), sjis);
  EXPECT_FALSE(p.Find("S", "EVIL").has_value());
}

TEST(Profile, SaveAndLoadRoundTrip) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_profile_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "a.ini").string();
  Profile p;
  EXPECT_FALSE(p.Load(path));
  p.SetInt("S", "A", 3);
  ASSERT_TRUE(p.Save(path));
  Profile q;
  ASSERT_TRUE(q.Load(path));
  EXPECT_EQ(q.GetInt("s", "a", 0), 3);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_FALSE(p.Save((dir / "no" / "such" / "b.ini").string()));
  std::filesystem::remove_all(dir);
}

TEST(FileLock, OneHolderAtATimeAndReplacementsGetNewStamps) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_lock_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "schedule.ini").string();
  {
    auto first = FileLock::Acquire(path, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(FileLock::Acquire(path, 50), nullptr);  // waited 50 ms in vain
    // Another process is kept out as well.
    const pid_t child = ::fork();
    if (child == 0) _exit(FileLock::Acquire(path, 0) == nullptr ? 0 : 1);
    int status = 1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_NE(FileLock::Acquire(path, 0), nullptr);

  EXPECT_FALSE(StampOf(path).exists);
  ASSERT_TRUE(ReplaceFileContents(path, "one"));
  const FileStamp one = StampOf(path);
  std::filesystem::permissions(path, std::filesystem::perms(0640));
  ASSERT_TRUE(ReplaceFileContents(path, "two"));
  EXPECT_NE(StampOf(path), one);
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
  std::string text;
  ASSERT_TRUE(ReadFileContents(path, &text));
  EXPECT_EQ(text, "two");
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) entries += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(entries, 2u);  // the file and its lock file: no temporary left behind
  std::filesystem::remove_all(dir);
}

TEST(Profile, SectionNamesAndFirstSectionWins) {
  Profile p;
  p.Parse("[A]\nK=1\n[B]\n[a]\nK=2\n");
  EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"A", "B", "a"}));
  EXPECT_EQ(p.GetInt("A", "K", 0), 1);
  EXPECT_TRUE(p.HasSection("b"));
  EXPECT_FALSE(p.HasSection("C"));
}

}  // namespace
}  // namespace pelkan::platform
