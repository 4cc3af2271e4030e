#include "library/disk_housekeeping.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "hooks/recording_outcome.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

constexpr int64_t kNow = 2'000'000'000;
constexpr int64_t kDay = 86400;
constexpr uint64_t kGB = 1'000'000'000;

// A file system of folders, files and symbolic links, as the housekeeping looks at it.
struct FakeDisk {
  struct Node {
    dev_t dev = 1;
    mode_t mode = S_IFREG;
    uint64_t size = 0;
    std::string target;  // a symbolic link's
  };
  std::map<std::string, Node> nodes;
  std::map<dev_t, uint64_t> free_bytes;

  DiskAccess Access() const {
    DiskAccess a;
    a.free_space = [this](const std::string& path, uint64_t* out) {
      const auto it = nodes.find(path);
      if (it == nodes.end()) return false;
      *out = free_bytes.at(it->second.dev);
      return true;
    };
    a.lstat = [this](const std::string& path, struct stat* st) {
      const auto it = nodes.find(path);
      if (it == nodes.end()) return false;
      *st = {};
      st->st_dev = it->second.dev;
      st->st_mode = it->second.mode;
      st->st_size = static_cast<off_t>(it->second.size);
      return true;
    };
    a.resolve = [this](const std::string& path) {
      const auto it = nodes.find(path);
      if (it == nodes.end()) return std::string();
      return it->second.target.empty() ? path : it->second.target;
    };
    return a;
  }
};

struct Recorded {
  const char* name;
  std::string file;
  int64_t start, end;
  bool is_protected = false;
  bool recording = false;
};

int64_t Add(RecordingLibrary& library, const Recorded& r) {
  hooks::RecordingOutcome o;
  o.file = r.file;
  o.title = r.name;
  o.result = "complete";
  o.service_id = 1024;
  o.actual_start = JapanIsoOfEpoch(r.start);
  o.actual_end = JapanIsoOfEpoch(r.end);
  const int64_t id = *library.Complete(o, r.file, r.end, r.recording);
  library.SetProtected(id, r.is_protected);
  return id;
}

// What the cleaner of the disk may and may not take: another folder's file, a file reached
// through a symbolic link, another file system's, a protected one, one being recorded and a
// foreign file are never taken; a recording folder that is itself a link to the disk ("/videos"
// to "/rec") is the folder; the oldest end goes first, a tie to the older start (not the lower
// id); KEEP_DAYS spares the recent ones; a need that cannot be met is said.
TEST(DiskHousekeeping, TakesOnlyOwnFinishedRecordingsOldestFirst) {
  FakeDisk disk;
  disk.nodes["/rec"] = {1, S_IFDIR, 0, ""};
  disk.nodes["/videos"] = {1, S_IFLNK, 0, "/rec"};
  disk.nodes["/other"] = {1, S_IFDIR, 0, ""};
  disk.nodes["/mnt"] = {2, S_IFDIR, 0, ""};
  disk.free_bytes = {{1, 0}, {2, 0}};
  const std::vector<Recorded> recorded = {
      {"other folder", "/other/d.ts", kNow - 41 * kDay, kNow - 40 * kDay},
      {"symbolic link", "/rec/e.ts", kNow - 40 * kDay, kNow - 39 * kDay},
      {"other disk", "/mnt/f.ts", kNow - 39 * kDay, kNow - 38 * kDay},
      {"a", "/videos/a.ts", kNow - 31 * kDay, kNow - 30 * kDay},
      {"protected", "/rec/b.ts", kNow - 21 * kDay, kNow - 20 * kDay, true},
      {"in progress", "/rec/c.ts", kNow - 16 * kDay, kNow - 15 * kDay, false, true},
      {"g", "/rec/g.ts", kNow - 11 * kDay, kNow - 10 * kDay},
      {"h", "/rec/h.ts", kNow - 2 * kDay - 3600, kNow - 2 * kDay},
      {"i", "/rec/i.ts", kNow - 3 * kDay, kNow - 2 * kDay},
  };
  for (const Recorded& r : recorded) disk.nodes[r.file] = {r.file.starts_with("/mnt") ? dev_t{2} : dev_t{1}, S_IFREG, kGB, ""};
  disk.nodes["/videos/a.ts"].target = "/rec/a.ts";
  disk.nodes["/rec/e.ts"] = {1, S_IFLNK, 0, "/other/e-real.ts"};
  disk.nodes["/other/e-real.ts"] = {1, S_IFREG, kGB, ""};
  disk.nodes["/rec/foreign.ts"] = {1, S_IFREG, 50 * kGB, ""};

  test::TempDir dir;
  std::string error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  std::map<int64_t, std::string> names;
  for (const Recorded& r : recorded) names[Add(*library, r)] = r.name;

  // The need: 1 GiB plus the assumed 17 Mbit/s over the seconds planned.
  const auto seconds_for = [](double gigabytes) {
    return static_cast<int64_t>((gigabytes * kGB - HousekeepingRules::kReserveBytes) / HousekeepingRules::kAssumedRate);
  };
  struct Case {
    const char* what;
    uint64_t free;
    double need_gb;
    int keep_days;
    std::vector<std::string> deleted;
    bool short_of_space;
  };
  const Case cases[] = {
      {"enough room", 10 * kGB, 5, 0, {}, false},
      {"two of the oldest", 0, 1.9, 0, {"a", "g"}, false},
      {"a tie goes to the older start", kGB / 2, 3.4, 0, {"a", "g", "i"}, false},
      {"KEEP_DAYS spares the recent", 0, 1.9, 7, {"a", "g"}, false},
      {"KEEP_DAYS leaves it short", 0, 3.4, 7, {"a", "g"}, true},
      {"still short", 0, 40, 0, {"a", "g", "i", "h"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    disk.free_bytes[1] = c.free;
    HousekeepingRules rules;
    rules.auto_delete = true;
    rules.keep_days = c.keep_days;
    const std::vector<PlannedRecording> planned = {{kNow + 600, seconds_for(c.need_gb), "/rec", 9, "予約"},
                                                   {kNow + 4 * 3600, 100000, "/rec", 9, "later"}};
    const std::vector<DiskPlan> plans = PlanDisk(*library, {"/videos", "/mnt"}, planned, rules, kNow, disk.Access());
    ASSERT_EQ(plans.size(), 2u);
    const DiskPlan& plan = plans[0].device == 1 ? plans[0] : plans[1];
    std::vector<std::string> deleted;
    for (const DiskPlan::Deletion& d : plan.deletions) deleted.push_back(names[d.entry.id]);
    EXPECT_EQ(deleted, c.deleted);
    EXPECT_EQ(plan.short_of_space, c.short_of_space);
    EXPECT_EQ(plan.reservations, std::vector<std::string>{"予約"});
    EXPECT_TRUE((plans[0].device == 2 ? plans[0] : plans[1]).deletions.empty());
  }
}

// On a real folder: the plan is carried out (file and report deleted), the protected recording and
// a foreign file stay, and the notice says what was freed.
TEST(DiskHousekeeping, CarriesThePlanOutOnTheFiles) {
  test::TempDir dir;
  std::string error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  const auto write = [&](const std::string& name, size_t size) {
    std::ofstream(dir.File(name), std::ios::binary) << std::string(size, 'x');
    return dir.File(name);
  };
  write("foreign.ts", 3000);
  int64_t oldest = 0, kept = 0, newer = 0;
  for (int i = 0; i < 3; ++i) {
    const std::string file = write("r" + std::to_string(i) + ".ts", 1000);
    const int64_t id = Add(*library, {"r", file, kNow - (10 - i) * kDay, kNow - (9 - i) * kDay, i == 1});
    library->Relocate(id, file, write("r" + std::to_string(i) + ".ts.err", 10));
    (i == 0 ? oldest : i == 1 ? kept : newer) = id;
  }
  DiskAccess access = DiskAccess::System();
  uint64_t free_bytes = HousekeepingRules::kReserveBytes - 1500;
  access.free_space = [&](const std::string&, uint64_t* out) {
    *out = free_bytes;
    return true;
  };
  // A reservation by date and time, without a title.
  const std::vector<DiskPlan> plans = PlanDisk(*library, {dir.path()}, {{kNow + 60, 0, dir.path(), 9, ""}}, HousekeepingRules{true, 0}, kNow, access);
  ASSERT_EQ(plans.size(), 1u);
  EXPECT_EQ(plans[0].reservations, std::vector<std::string>{"2033-05-18T12:34:20+09:00"});
  std::vector<std::string> log;
  const std::vector<std::string> notices =
      CarryOutDiskPlan(*library, plans, [&](const std::string& line) { log.push_back(line); });
  EXPECT_FALSE(library->Find(oldest));
  EXPECT_FALSE(library->Find(newer));
  EXPECT_TRUE(library->Find(kept));
  struct stat st {};
  EXPECT_NE(::stat(dir.File("r0.ts").c_str(), &st), 0);
  EXPECT_NE(::stat(dir.File("r0.ts.err").c_str(), &st), 0);
  EXPECT_EQ(::stat(dir.File("r1.ts").c_str(), &st), 0);
  EXPECT_EQ(::stat(dir.File("foreign.ts").c_str(), &st), 0);
  EXPECT_EQ(log.size(), 2u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "録画を 2 件削除して 0.00 GB 空けました: r、r");
}

// A service's rate is measured from its complete recordings: one whose tuner was lost, or away for
// a while, counts seconds without bytes and would make the need far too small.
TEST(DiskHousekeeping, NeedTakesTheRateOfTheServicesCompleteRecordings) {
  test::TempDir dir;
  std::string error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  struct Past {
    const char* result;
    const char* reason;
    int64_t seconds;
    uint64_t bytes;
    uint64_t gaps;
  };
  const Past past[] = {{"complete", "", 1000, 3'000'000'000, 0},
                       {"failed", "tuner lost at 0:00:02", 3000, 6'000'000, 0},
                       {"complete", "", 3000, 3'000'000'000, 1}};
  for (size_t i = 0; i < std::size(past); ++i) {
    hooks::RecordingOutcome o;
    o.file = dir.File(std::to_string(i) + ".ts");
    o.result = past[i].result;
    o.reason = past[i].reason;
    o.service_id = 9;
    o.actual_start = JapanIsoOfEpoch(kNow - kDay);
    o.actual_end = JapanIsoOfEpoch(kNow - kDay + past[i].seconds);
    o.bytes = past[i].bytes;
    o.gaps = past[i].gaps;
    ASSERT_TRUE(library->Complete(o, o.file, kNow, false));
  }
  DiskAccess access = DiskAccess::System();
  access.free_space = [](const std::string&, uint64_t* out) {
    *out = 0;
    return true;
  };
  const std::vector<DiskPlan> plans =
      PlanDisk(*library, {dir.path()}, {{kNow + 60, 600, dir.path(), 9, "x"}}, HousekeepingRules{true, 0}, kNow, access);
  ASSERT_EQ(plans.size(), 1u);
  EXPECT_EQ(plans[0].need, HousekeepingRules::kReserveBytes + 600 * 3'000'000);
}

TEST(DiskHousekeeping, Texts) {
  EXPECT_EQ(GigabytesText(8'200'000'000), "8.2 GB");
  EXPECT_EQ(GigabytesText(120'400'000'000), "120 GB");
  EXPECT_EQ(GigabytesText(50'200'000), "0.05 GB");
  EXPECT_EQ(SizeText(15'655'643), "16 MB");
  EXPECT_EQ(SizeText(999'400'000), "999 MB");
  EXPECT_EQ(SizeText(8'200'000'000), "8.2 GB");
  DiskPlan plan;
  plan.free = 120'000'000'000;
  plan.need = 8'200'000'000;
  EXPECT_EQ(DiskStatusLine({plan}), "空き 120 GB ・ 次の3時間に必要 8.2 GB");
}

}  // namespace
}  // namespace pelkan
