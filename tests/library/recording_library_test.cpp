#include "library/recording_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <thread>

#include "hooks/recording_outcome.h"
#include "library/library_scan.h"
#include "library/recording_removal.h"
#include "library/recording_trash.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

std::unique_ptr<RecordingLibrary> OpenIn(const test::TempDir& dir) {
  std::string error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  EXPECT_TRUE(library) << error;
  return library;
}

hooks::RecordingOutcome Outcome(const std::string& file, const std::string& title, uint16_t service,
                                const std::string& result, uint32_t rule = 0) {
  hooks::RecordingOutcome o;
  o.file = file;
  o.title = title;
  o.plain_title = title;
  o.service_id = service;
  o.service_name = service == 1024 ? "ペルカン総合" : "ペルカン教育";
  o.result = result;
  o.rule_id = rule;
  o.actual_start = "2026-12-08T21:00:00+09:00";
  o.actual_end = "2026-12-08T21:30:00+09:00";
  o.bytes = 1800 * 2'000'000ull;
  return o;
}

// The search folds as the guide's does (width, case, the broadcast's marks), every word must hold;
// the rule, service and result narrow; the facets count.
TEST(RecordingLibrary, SearchAndFacets) {
  test::TempDir dir;
  auto library = OpenIn(dir);
  library->Complete(Outcome("/r/1.ts", "ニュース７ [字]", 1024, "complete"), "/r/1.ts", 1);
  library->Complete(Outcome("/r/2.ts", "ＮＨＫ Drama 第1話", 1025, "partial", 7), "/r/2.ts", 2);
  library->Complete(Outcome("/r/3.ts", "nhk drama 第2話", 1025, "complete", 7), "/r/3.ts", 3);
  struct Case {
    const char* what;
    std::function<void(LibraryQuery&)> ask;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"full width and case", [](LibraryQuery& q) { q.words = "nhk DRAMA"; }, {"/r/3.ts", "/r/2.ts"}},
      {"full-width digit", [](LibraryQuery& q) { q.words = "ニュース7"; }, {"/r/1.ts"}},
      {"the service's name", [](LibraryQuery& q) { q.words = "教育"; }, {"/r/3.ts", "/r/2.ts"}},
      {"every word", [](LibraryQuery& q) { q.words = "drama 第1話"; }, {"/r/2.ts"}},
      {"rule", [](LibraryQuery& q) { q.rule_id = 7; }, {"/r/3.ts", "/r/2.ts"}},
      {"service", [](LibraryQuery& q) { q.service_id = 1024; }, {"/r/1.ts"}},
      {"result", [](LibraryQuery& q) { q.result = LibraryResult::kPartial; }, {"/r/2.ts"}},
      {"month", [](LibraryQuery& q) { q.month = "2026-12"; }, {"/r/3.ts", "/r/2.ts", "/r/1.ts"}},
      {"nothing", [](LibraryQuery& q) { q.words = "天気"; }, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> files;
    LibraryQuery query;
    c.ask(query);
    for (const LibraryEntry& e : library->List(query)) files.push_back(e.file);
    EXPECT_EQ(files, c.files) << c.what;
  }
  const std::vector<LibraryFacet> series = library->Facets(LibraryFacetKind::kSeries);
  ASSERT_EQ(series.size(), 3u);  // a series without a series id: the folded title without marks
  const std::vector<LibraryFacet> services = library->Facets(LibraryFacetKind::kService);
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[1].key, "1025");
  EXPECT_EQ(services[1].label, "ペルカン教育");
  EXPECT_EQ(services[1].count, 2u);
  EXPECT_EQ(*library->MeasuredRate(1024), 2'000'000.0);
}

// The desktop program and the recorder service write the same catalogue at once: nothing is lost.
TEST(RecordingLibrary, TwoWritersLoseNothing) {
  test::TempDir dir;
  OpenIn(dir);
  constexpr int kEach = 150;
  auto writer = [&](const char* who) {
    auto library = OpenIn(dir);
    for (int i = 0; i < kEach; ++i) {
      const std::string file = "/r/" + std::string(who) + std::to_string(i) + ".ts";
      LibraryEntry e;
      e.file = file;
      ASSERT_TRUE(library->Begin(e));
      ASSERT_TRUE(library->Complete(Outcome(file, who, 1024, "complete"), file, i));
    }
  };
  std::thread a(writer, "desktop"), b(writer, "service");
  a.join();
  b.join();
  const std::vector<LibraryEntry> all = OpenIn(dir)->List();
  ASSERT_EQ(all.size(), 2u * kEach);
  for (const LibraryEntry& e : all) EXPECT_EQ(e.result, LibraryResult::kComplete) << e.file;
}

TEST(RecordingLibrary, ForeignFileIsSetAside) {
  test::TempDir dir;
  std::ofstream(dir.File("library.sqlite")) << "not a database, written by hand";
  std::string notice, error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), &notice, &error);
  ASSERT_TRUE(library) << error;
  EXPECT_FALSE(notice.empty());
  EXPECT_TRUE(library->List().empty());
}

// A report as the recorder writes it.
void WriteReport(const std::string& path, const std::string& file, const std::string& result) {
  std::ofstream(path) << "Pelkan recording report\n"
                      << "file                " << file << "\n"
                      << "result              " << result << "\n"
                      << "start               2026-12-08 21:00:00 (broadcast 2026-12-08 21:00:00)\n"
                      << "end                 2026-12-08 21:00:10 (broadcast 2026-12-08 21:00:10)\n"
                      << "bytes               18800\n"
                      << "service             1024 ペルカン総合: 夜のニュース\n"
                      << "gaps                1, 0:00:02 in all (the tuner was away)\n\n"
                      << "total       packets 100  drop 3  error 1  scrambled 0\n\nevents              0\n";
}

// The files stay the truth: a scan after the catalogue was lost finds every recording by its
// report, finds one moved by hand again, marks one whose file is gone, and skips what is no report.
TEST(RecordingLibrary, ScanFindsRecordingsByTheirReports) {
  test::TempDir dir;
  const std::string rec = dir.File("rec");
  ::mkdir(rec.c_str(), 0755);
  for (const char* name : {"a", "b"}) {
    const std::string file = rec + "/" + name + ".ts";
    std::ofstream(file) << std::string(18800, 'x');
    WriteReport(file + ".err", file, name[0] == 'a' ? "recovered (gap 0:00:02)" : "tuner lost: away too long");
  }
  std::ofstream(rec + "/notes.err") << "something else";
  auto library = OpenIn(dir);
  LibraryScanResult scan = ScanRecordingFolders(*library, {rec}, 2'000'000'000);
  EXPECT_EQ(scan.added, 2u);
  EXPECT_EQ(scan.skipped.size(), 1u);
  const std::optional<LibraryEntry> a = library->FindByFile(rec + "/a.ts");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->title, "夜のニュース");
  EXPECT_EQ(a->service_name, "ペルカン総合");
  EXPECT_EQ(a->result, LibraryResult::kRecovered);
  EXPECT_EQ(a->drop, 3u);
  EXPECT_EQ(a->gaps, 1u);
  EXPECT_EQ(a->duration, 10);
  EXPECT_EQ(JapanIsoOfEpoch(a->start), "2026-12-08T21:00:00+09:00");
  EXPECT_EQ(library->FindByFile(rec + "/b.ts")->result, LibraryResult::kTunerLost);

  // Moved by hand with its report; the other one deleted by hand.
  const std::string moved = dir.File("kept");
  ::mkdir(moved.c_str(), 0755);
  std::rename((rec + "/a.ts").c_str(), (moved + "/a.ts").c_str());
  std::rename((rec + "/a.ts.err").c_str(), (moved + "/a.ts.err").c_str());
  std::remove((rec + "/b.ts").c_str());
  library->SetProtected(a->id, true);
  scan = ScanRecordingFolders(*library, {rec, moved}, 2'000'000'000);
  EXPECT_EQ(scan.added, 0u);
  EXPECT_EQ(scan.moved, 1u);
  EXPECT_EQ(scan.missing, 1u);
  const std::optional<LibraryEntry> found = library->Find(a->id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->file, moved + "/a.ts");
  EXPECT_EQ(found->report, moved + "/a.ts.err");
  EXPECT_TRUE(found->is_protected);
  EXPECT_FALSE(found->missing);
  EXPECT_TRUE(library->FindByFile(rec + "/b.ts")->missing);
  EXPECT_EQ(library->List().size(), 2u);
}

// Delete refuses a protected recording and one being recorded unless forced; to the trash, the
// file and its report go; forgetting keeps the files.
TEST(RecordingLibrary, RemovalRefusesWhatIsKept) {
  test::TempDir dir;
  auto library = OpenIn(dir);
  std::vector<std::string> trashed;
  auto trash = [&](const std::string& path, std::string*) {
    trashed.push_back(path);
    return std::remove(path.c_str()) == 0;
  };
  const auto add = [&](const std::string& name, bool is_protected, bool recording) {
    const std::string file = dir.File(name + ".ts");
    std::ofstream(file) << "ts";
    std::ofstream(file + ".err") << "report";
    const int64_t id = *library->Complete(Outcome(file, name, 1024, "complete"), file, 1, recording);
    library->Relocate(id, file, file + ".err");
    library->SetProtected(id, is_protected);
    return *library->Find(id);
  };
  struct Case {
    const char* name;
    bool is_protected, recording, force;
    RemovalKind kind;
    bool removed;
    size_t trashed;
  };
  const Case cases[] = {
      {"plain", false, false, false, RemovalKind::kTrash, true, 2},
      {"protected", true, false, false, RemovalKind::kTrash, false, 0},
      {"recording", false, true, false, RemovalKind::kTrash, false, 0},
      {"protected-forced", true, false, true, RemovalKind::kTrash, true, 2},
      {"forget", true, false, false, RemovalKind::kForget, true, 0},
  };
  for (const Case& c : cases) {
    trashed.clear();
    const LibraryEntry e = add(c.name, c.is_protected, c.recording);
    std::string error;
    EXPECT_EQ(RemoveRecording(*library, e, c.kind, c.force, &error, trash), c.removed) << c.name << error;
    EXPECT_EQ(library->Find(e.id).has_value(), !c.removed) << c.name;
    EXPECT_EQ(trashed.size(), c.trashed) << c.name;
    struct stat st {};
    EXPECT_EQ(::stat(e.file.c_str(), &st) == 0, c.trashed == 0) << c.name;
  }
}

// GIO's trash: the file leaves its folder and the XDG trash holds it with its .trashinfo.
TEST(RecordingLibrary, TrashFileUsesTheXdgTrash) {
  test::TempDir dir;
  ::setenv("XDG_DATA_HOME", dir.File("data").c_str(), 1);
  ::setenv("HOME", dir.path().c_str(), 1);
  const std::string file = dir.File("old.ts");
  std::ofstream(file) << "ts";
  std::string error;
  if (!TrashFile(file, &error) && error.starts_with("the trash cannot be reached")) GTEST_SKIP() << error;
  ASSERT_TRUE(error.empty()) << error;
  struct stat st {};
  EXPECT_NE(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(::stat(dir.File("data/Trash/info/old.ts.trashinfo").c_str(), &st), 0);
  EXPECT_EQ(::stat(dir.File("data/Trash/files/old.ts").c_str(), &st), 0);
}

}  // namespace
}  // namespace pelkan
