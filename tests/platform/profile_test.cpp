#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <ctime>
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

// A byte order mark (as an editor saving UTF-8 puts it) used to hide the first section, so every
// setting read as its default and a second [Pelkan_Q] was appended; lines ended by CR alone were
// read as one line.
TEST(Profile, ByteOrderMarkAndCrOnlyLineEndsAreReadAndKept) {
  Profile p;
  p.Parse("\xEF\xBB\xBF[Pelkan_Q]\rREC_TIME=5\r; note\rNAME=x\r");
  EXPECT_EQ(p.GetInt("Pelkan_Q", "REC_TIME", 0), 5);
  EXPECT_EQ(p.GetString("Pelkan_Q", "NAME", ""), "x");
  p.SetInt("Pelkan_Q", "REC_TIME", 6);
  p.SetInt("Pelkan_Q", "NEW", 1);
  EXPECT_EQ(p.Serialize(), "\xEF\xBB\xBF[Pelkan_Q]\rREC_TIME=6\r; note\rNAME=x\rNEW=1\r");
  Profile mixed;
  mixed.Parse("[S]\r\nA=1\rB=2\nC=3");
  EXPECT_EQ(mixed.GetInt("S", "B", 0), 2);
  EXPECT_EQ(mixed.GetInt("S", "C", 0), 3);
  EXPECT_EQ(mixed.Serialize(), "[S]\r\nA=1\rB=2\nC=3");
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

// A FIFO in place of an INI file blocked its reader for ever, a link to /dev/zero read without
// end. Only a regular file is read; anything else is refused at once, by name. Each read runs in a
// child that an alarm ends, so that a reader that blocks fails the test instead of hanging it.
TEST(ReadFileContents, RefusesWhatIsNotARegularFileAtOnceAndByName) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_irregular_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string fifo = (dir / "schedule.ini").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "pelkan.ini");
  std::filesystem::create_symlink(fifo, dir / "fifo-link.ini");
  std::filesystem::create_directories(dir / "folder.ini");
  const std::string regular = (dir / "regular.ini").string();
  std::ofstream(regular) << "[S]\nA=1\n";
  std::filesystem::create_symlink(regular, dir / "link.ini");

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    const char* said;  // how the refusal names the file
  };
  for (const Case& c : {Case{"schedule.ini", "schedule.ini is a FIFO, not a regular file"},
                        Case{"pelkan.ini", "pelkan.ini is a device, not a regular file"},
                        Case{"fifo-link.ini", "fifo-link.ini is a FIFO, not a regular file"},
                        Case{"folder.ini", "folder.ini is a folder, not a regular file"}}) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir / c.name).string();
    EXPECT_EXIT(
        {
          ::alarm(2);
          std::string text;
          Profile p;
          const bool read = ReadFileContents(path, &text) || p.Load(path);
          std::_Exit(read ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), c.said);
  }
  // Nor is one replaced by a file (a save at the program's end).
  EXPECT_FALSE(ReplaceFileContents(fifo, "[S]\n"));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  std::string text;
  EXPECT_TRUE(ReadFileContents((dir / "link.ini").string(), &text)) << "a link to a regular file is read";
  EXPECT_EQ(text, "[S]\nA=1\n");
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

// A schedule.ini kept elsewhere through a symbolic link used to be replaced by a regular file, and
// the temporary file of a save killed half-way stayed for ever.
TEST(ReplaceFileContents, LinksStayAndStaleTemporariesGo) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_link_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "real");
  const std::string link = (dir / "schedule.ini").string();
  const std::string target = (dir / "real" / "sched.ini").string();
  std::filesystem::create_symlink("real/sched.ini", link);  // relative, and its file does not exist yet
  ASSERT_TRUE(ReplaceFileContents(link, "one"));
  ASSERT_TRUE(ReplaceFileContents(link, "two"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::string text;
  ASSERT_TRUE(ReadFileContents(target, &text));
  EXPECT_EQ(text, "two");
  {
    // Writers through the link and through the file itself share one lock.
    auto held = FileLock::Acquire(link, 0);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(FileLock::Acquire(target, 0), nullptr);
  }

  // Left by saves that were killed: one of a process that has ended, one older than ten minutes.
  // A fresh one of this process (a save under way) and files of other names stay.
  const pid_t child = ::fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string prefix = (dir / "real" / "sched.ini.tmp.").string();
  const std::string orphan = prefix + std::to_string(child) + ".a1B2c3";
  const std::string old = prefix + "Xy12Zw";
  const std::string running = prefix + std::to_string(::getpid()) + ".Qq9Rr8";
  const std::string other = prefix + "notes.txt";
  for (const std::string& f : {orphan, old, running, other}) std::ofstream(f) << "partial";
  const utimbuf hour_ago{std::time(nullptr) - 3600, std::time(nullptr) - 3600};
  ASSERT_EQ(::utime(old.c_str(), &hour_ago), 0);
  ASSERT_TRUE(ReplaceFileContents(link, "three"));
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_FALSE(std::filesystem::exists(old));
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_TRUE(std::filesystem::exists(other));
  ASSERT_TRUE(ReadFileContents(link, &text));
  EXPECT_EQ(text, "three");

  // Moved aside under the next free name, never over another file.
  const std::string first = MoveFileAside(link, ".bad");
  EXPECT_EQ(first, target + ".bad");
  ASSERT_TRUE(ReplaceFileContents(link, "four"));
  EXPECT_EQ(MoveFileAside(link, ".bad"), target + ".bad-1");
  ASSERT_TRUE(ReadFileContents(first, &text));
  EXPECT_EQ(text, "three");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(MoveFileAside(link, ".bad"), "");  // nothing there any more
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
