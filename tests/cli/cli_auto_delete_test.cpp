// 自動削除 end to end on a small file system of its own: a tmpfs mounted in a private mount
// namespace (gone with its holder, whatever happens to the test), holding old recordings, some
// protected, and a foreign .ts; `pelkan-cli capture --schedule` with AUTO_DELETE=1 runs a
// reservation that needs more than the free space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "library/disk_housekeeping.h"
#include "library/recording_library.h"
#include "schedule/schedule_file.h"
#include "tests/support/cli_process.h"
#include "tests/support/temp_dir.h"

namespace pelkan::cli {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A tmpfs of `megabytes` at `dir`, seen only inside a mount namespace that a child process holds
// until the end (or the test's death: it dies with its parent). pelkan-cli runs inside it; the
// test reaches the files through /proc/PID/root.
class PrivateTmpfs {
 public:
  PrivateTmpfs(const std::string& dir, int megabytes) {
    const std::string options = "size=" + std::to_string(megabytes) + "m";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error_ = std::strerror(errno);
      return;
    }
    holder_ = ::fork();
    if (holder_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int failure[2] = {0, 0};  // the step that failed, its errno
      if (::unshare(CLONE_NEWNS) != 0) {
        failure[0] = 1;
      } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        failure[0] = 2;
      } else if (::mount("pelkan", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        failure[0] = 3;
      }
      failure[1] = failure[0] != 0 ? errno : 0;
      if (::write(fds[1], failure, sizeof failure) != sizeof failure || failure[0] != 0) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    int failure[2] = {0, 0};
    const bool told = holder_ > 0 && ::read(fds[0], failure, sizeof failure) == sizeof failure;
    ::close(fds[0]);
    static const char* const kSteps[] = {"", "unshare(CLONE_NEWNS)", "making / private", "mount -t tmpfs"};
    if (!told) error_ = "the namespace's holder did not start";
    if (told && failure[0] != 0) error_ = std::string(kSteps[failure[0]]) + ": " + std::strerror(failure[1]);
  }
  ~PrivateTmpfs() {
    if (holder_ <= 0) return;
    ::kill(holder_, SIGKILL);
    ::waitpid(holder_, nullptr, 0);
  }
  PrivateTmpfs(const PrivateTmpfs&) = delete;
  PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

  // Why the tmpfs is not there; "" when it is.
  const std::string& error() const { return error_; }
  // `path` (absolute, as seen inside) from the test's side.
  std::string Outside(const std::string& path) const { return "/proc/" + std::to_string(holder_) + "/root" + path; }

  // Starts pelkan-cli with `args` inside, in the folder `dir` (its home), its output in out.txt and
  // err.txt there.
  pid_t Start(const std::string& dir, std::vector<std::string> args) const {
    const std::string cli = testing::CliPath();
    const std::string ns = "/proc/" + std::to_string(holder_) + "/ns/mnt";
    const std::string out = dir + "/out.txt", err = dir + "/err.txt";
    std::vector<char*> argv{const_cast<char*>(cli.c_str())};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child != 0) return child;
    const int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNS) != 0 || ::chdir(dir.c_str()) != 0) ::_exit(97);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(97);
    ::execv(cli.c_str(), argv.data());
    ::_exit(98);
  }
  // Runs pelkan-cli inside and waits for it: its exit code (-1 when it did not exit).
  int Run(const std::string& dir, std::vector<std::string> args) const {
    const pid_t child = Start(dir, std::move(args));
    int status = 0;
    if (child <= 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t holder_ = -1;
  std::string error_;
};

uint64_t FreeBytes(const std::string& path) {
  struct statvfs vfs {};
  return ::statvfs(path.c_str(), &vfs) == 0 ? static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize : 0;
}

// A file of `bytes` whose pages are taken on the disk (a hole would take nothing on a tmpfs).
bool Fill(const std::string& path, uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const bool ok = fd >= 0 && ::posix_fallocate(fd, 0, static_cast<off_t>(bytes)) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// "2026-11-29 03:00:00 (broadcast 2026-11-29 12:00:00)": a report's time of `epoch`.
std::string ReportTime(int64_t epoch) {
  const auto text = [](int64_t t, bool japan) {
    const time_t at = static_cast<time_t>(japan ? t + 9 * 3600 : t);
    struct tm tm {};
    japan ? ::gmtime_r(&at, &tm) : ::localtime_r(&at, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(out);
  };
  return text(epoch, false) + " (broadcast " + text(epoch, true) + ")";
}

// The report a finished recording of half an hour on service 1024 left.
std::string OldReport(const std::string& file, const std::string& title, int64_t end, uint64_t bytes) {
  const std::string packets = std::to_string(bytes / 188);
  return "Pelkan recording report\n"
         "file                " + file + "\n"
         "result              complete\n"
         "start               " + ReportTime(end - 1800) + "\n"
         "end                 " + ReportTime(end) + "\n"
         "duration            0:30:00\n"
         "bytes               " + std::to_string(bytes) + "\n"
         "packets             " + packets + "\n"
         "service             1024 ペルカン総合テレビ: " + title + "\n\n"
         "total       packets " + packets + "  drop 0  error 0  scrambled 0\n\n"
         "events              0\n";
}

// The recording folder is a symbolic link to the small file system (as a videos folder linked to
// a disk of its own). On it: five old recordings, whose names do not follow their age (the
// catalogue's ids come in the order of the names), two of them protected, and a foreign .ts older
// than all. A reservation of 7 s of the whole stream (17 Mbit/s assumed: no rate measured) needs
// 1 GiB more than it takes; free is about one and a half old recordings short of the need. The
// capture deletes the two oldest unprotected ones with their reports, oldest first, passing over
// the protected one between them, and no more; the protected ones, the newer unprotected one and
// the foreign file stay; the catalogue no longer lists the two; the reservation records whole.
TEST(CliAutoDelete, ReservationDeletesTheOldestUnprotectedRecordingsUntilItFits) {
  test::TempDir home;
  const std::string rec = home.File("rec"), videos = home.File("videos");
  ASSERT_TRUE(std::filesystem::create_directory(rec));
  std::filesystem::create_directory_symlink(rec, videos);
  PrivateTmpfs disk(rec, 1200);
  if (!disk.error().empty()) {
    GTEST_SKIP() << "no file system of its own can be mounted here (" << disk.error()
                 << "): it takes root or CAP_SYS_ADMIN";
  }
  const auto outside = [&](const std::string& name) { return disk.Outside(rec + "/" + name); };

  constexpr uint64_t kOldBytes = 24ull << 20;
  constexpr int64_t kDay = 86400;
  struct Old {
    const char* name;
    int64_t days_ago;
    bool is_protected;
    bool deleted;
  };
  const Old olds[] = {{"a", 8, true, false}, {"b", 4, false, false}, {"c", 10, false, true},
                      {"d", 2, true, false}, {"e", 6, false, true}};
  const int64_t now = ::time(nullptr);
  for (const Old& old : olds) {
    const std::string name = std::string(old.name) + ".ts";
    ASSERT_TRUE(Fill(outside(name), kOldBytes));
    std::ofstream(outside(name + ".err")) << OldReport(videos + "/" + name, std::string("番組") + old.name,
                                                       now - old.days_ago * kDay, kOldBytes);
  }
  constexpr int kMarginBefore = 3, kSeconds = 4;
  const uint64_t need = HousekeepingRules::kReserveBytes +
                        static_cast<uint64_t>(HousekeepingRules::kAssumedRate * (kMarginBefore + kSeconds));
  // Short by two old recordings less 4 MB: two must go even when the pass came after the start.
  const uint64_t shortfall = 2 * kOldBytes - 4'000'000;
  const uint64_t free_now = FreeBytes(outside(""));
  ASSERT_GT(free_now, need - shortfall);
  ASSERT_TRUE(Fill(outside("foreign.ts"), free_now - (need - shortfall)));
  const struct timespec long_ago[2] = {{now - 30 * kDay, 0}, {now - 30 * kDay, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, outside("foreign.ts").c_str(), long_ago, 0), 0);
  const uint64_t free_before = FreeBytes(outside(""));
  ASSERT_LT(free_before, need);

  std::ofstream(home.File("pelkan.ini")) << "[Pelkan_Q]\nREC_AUTOPATH=" << videos
                                         << "\n[Pelkan_Q_LIBRARY]\nAUTO_DELETE=1\n";
  ASSERT_EQ(disk.Run(home.path(), {"recordings", "scan", videos}), 0) << ReadText(home.File("err.txt"));
  EXPECT_EQ(ReadText(home.File("out.txt")), "5 reports, 5 added, 0 moved, 0 missing\n");
  std::map<std::string, int64_t> ids;  // by name
  {
    std::string error;
    auto library = RecordingLibrary::Open(home.File("library.sqlite"), nullptr, &error);
    ASSERT_TRUE(library) << error;
    for (const LibraryEntry& e : library->List()) ids[e.file.substr(videos.size() + 1, 1)] = e.id;
  }
  ASSERT_EQ(ids.size(), 5u);
  ASSERT_EQ(disk.Run(home.path(), {"recordings", "protect", std::to_string(ids["a"]), std::to_string(ids["d"])}), 0);

  // Starting in 8 s, in Japan's time as the virtual tuner's broadcast clock tells it.
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  const int64_t start = ::time(nullptr) + 8;
  item.start_day = static_cast<uint32_t>(40587 + (start + 9 * 3600) / kDay);
  item.start_second = static_cast<uint32_t>((start + 9 * 3600) % kDay);
  item.duration = kSeconds;
  item.margin_before = kMarginBefore;
  item.margin_after = 0;
  ASSERT_TRUE(SaveScheduleFile(home.File("schedule.ini"), {item}));
  // The plan ahead names them; the reservation without a title by its start.
  ASSERT_EQ(disk.Run(home.path(), {"disk", "plan"}), 0) << ReadText(home.File("err.txt"));
  const std::string plan = ReadText(home.File("out.txt"));
  EXPECT_NE(plan.find(videos + ": need 1.1 GB, free 1.0 GB (short by 46 MB)\n  reservation  " +
                      JapanIsoOfEpoch(start - kMarginBefore) + "\n  would delete " + std::to_string(ids["c"]) +
                      "  25 MB  " + videos + "/c.ts  oldest finished recording (ended " +
                      JapanIsoOfEpoch(now - 10 * kDay) + ")\n  would delete " + std::to_string(ids["e"]) + "  25 MB  " +
                      videos + "/e.ts"),
            std::string::npos)
      << plan;
  EXPECT_EQ(plan.find("would delete", plan.find(videos + "/e.ts")), std::string::npos) << plan;
  const pid_t capture = disk.Start(home.path(), {"capture", "--schedule", "--seconds", "90"});
  ASSERT_GT(capture, 0);
  const auto err = [&] { return ReadText(home.File("err.txt")); };
  const std::optional<int> ended = testing::WaitInterruptingWhen(capture, std::chrono::seconds(120), [&] {
    const std::string text = err();
    return text.find("秒 finished") != std::string::npos || text.find("秒 failed") != std::string::npos;
  });
  const std::string log = err();
  SCOPED_TRACE(log);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0);

  // Oldest end first, each with its report, and one notice for the pass.
  const size_t first = log.find("housekeeping: deleted " + videos + "/c.ts");
  const size_t second = log.find("housekeeping: deleted " + videos + "/e.ts");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(log.find("housekeeping: 録画を 2 件削除して 0.05 GB 空けました: 番組c、番組e"), std::string::npos);
  EXPECT_EQ(log.find("空き容量が足りません"), std::string::npos);
  for (const Old& old : olds) {
    SCOPED_TRACE(old.name);
    const std::string name = std::string(old.name) + ".ts";
    EXPECT_EQ(std::filesystem::exists(outside(name)), !old.deleted);
    EXPECT_EQ(std::filesystem::exists(outside(name + ".err")), !old.deleted);
  }
  EXPECT_TRUE(std::filesystem::exists(outside("foreign.ts")));

  std::string error;
  auto library = RecordingLibrary::Open(home.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  for (const Old& old : olds) {
    const std::optional<LibraryEntry> entry = library->Find(ids[old.name]);
    EXPECT_EQ(entry.has_value(), !old.deleted) << old.name;
    if (entry) {
      EXPECT_EQ(entry->is_protected, old.is_protected) << old.name;
    }
  }
  // The reservation, whole: complete without a drop, and its file checks clean.
  std::optional<LibraryEntry> reserved;
  for (const LibraryEntry& e : library->List()) {
    if (e.kind == "reservation") reserved = e;
  }
  ASSERT_TRUE(reserved);
  EXPECT_EQ(reserved->result, LibraryResult::kComplete) << reserved->reason;
  EXPECT_EQ(reserved->drop, 0u);
  EXPECT_FALSE(reserved->recording);
  EXPECT_GT(reserved->bytes, 1000u * 188);
  EXPECT_EQ(disk.Run(home.path(), {"check", reserved->file}), 0) << ReadText(home.File("out.txt"));
}

}  // namespace
}  // namespace pelkan::cli
