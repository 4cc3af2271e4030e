#include "guide/guide_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/text_codec.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

constexpr GuideTime kDay = GuideTime{61000} * 86400;

std::string Sjis(const char* utf8) {
  return platform::Utf8ToSjis(utf8);
}

GuideEventUpdate Update(uint16_t event_id, GuideTime start, const char* title, uint8_t kind,
                        uint8_t version) {
  GuideEventUpdate u;
  u.event.key = {0x7FE8, 0x7FE8, 1024, event_id};
  u.event.start = start;
  u.event.duration = 1800;
  u.event.title = Sjis(title);
  u.kind = kind;
  u.version = version;
  u.basic = true;
  return u;
}

class GuideStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<GuideStore> OpenWriter(std::string* notice = nullptr) {
    std::string error;
    auto store = GuideStore::Open(path_, GuideStore::Access::kWrite, true, notice, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  void Apply(GuideStore& s, const std::vector<GuideEventUpdate>& updates) {
    ASSERT_TRUE(s.Begin());
    for (const GuideEventUpdate& u : updates) ASSERT_TRUE(s.ApplyEvent(u));
    ASSERT_TRUE(s.Commit());
  }
  // True when the search index agrees with the texts it indexes (FTS5's own check, against the
  // content table too).
  bool SearchIndexConsistent() {
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK) return false;
    const int rc = sqlite3_exec(db, "INSERT INTO search(search, rank) VALUES('integrity-check', 1)", nullptr,
                                nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK;
  }
  std::string TitleOf(GuideStore& s, uint16_t event_id) {
    const auto e = s.Find({0x7FE8, 0x7FE8, 1024, event_id});
    return e ? platform::SjisToUtf8(e->title) : std::string("(none)");
  }
  // The files in the folder other than the guide itself (the renamed-aside ones).
  std::vector<std::string> AsideFiles() {
    std::vector<std::string> names;
    for (const auto& f : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = f.path().filename().string();
      if (name.rfind("epg.sqlite.broken-", 0) == 0) names.push_back(name);
    }
    return names;
  }

  test::TempDir dir_;
  const std::string path_ = dir_.File("epg.sqlite");
};

TEST_F(GuideStoreTest, NewerVersionsReplaceAndPresentFollowingOutranksTheSchedule) {
  auto s = OpenWriter();
  Apply(*s, {Update(1, kDay, "最初の題名", EVENT_KIND_SCHEDULE_ACTUAL, 3)});
  Apply(*s, {Update(1, kDay, "同じ版の別の題名", EVENT_KIND_SCHEDULE_ACTUAL, 3)});
  EXPECT_EQ(TitleOf(*s, 1), "最初の題名") << "the same version again changes nothing";
  Apply(*s, {Update(1, kDay, "新しい版の題名", EVENT_KIND_SCHEDULE_ACTUAL, 4)});
  EXPECT_EQ(TitleOf(*s, 1), "新しい版の題名");
  Apply(*s, {Update(1, kDay, "現在の番組の題名", EVENT_KIND_PF_ACTUAL, 0)});
  EXPECT_EQ(TitleOf(*s, 1), "現在の番組の題名");
  Apply(*s, {Update(1, kDay, "予定表の古い題名", EVENT_KIND_SCHEDULE_ACTUAL, 5)});
  EXPECT_EQ(TitleOf(*s, 1), "現在の番組の題名") << "the schedule never replaces present/following";

  // The extended description has its own version; a basic entry leaves it alone.
  GuideEventUpdate ext = Update(1, kDay, "", EVENT_KIND_SCHEDULE_ACTUAL, 9);
  ext.basic = false;
  ext.extended = true;
  ext.event.extended = Sjis("番組内容\nあらすじ");
  Apply(*s, {ext});
  Apply(*s, {Update(1, kDay, "現在の番組の題名", EVENT_KIND_PF_ACTUAL, 1)});
  const auto e = s->Find({0x7FE8, 0x7FE8, 1024, 1});
  ASSERT_TRUE(e);
  EXPECT_EQ(platform::SjisToUtf8(e->extended), "番組内容\nあらすじ");
  EXPECT_EQ(platform::SjisToUtf8(e->title), "現在の番組の題名");

  // An event known only from an extended table is placed by its time, then named by the basic one.
  GuideEventUpdate only_ext = ext;
  only_ext.event.key.event_id = 2;
  only_ext.event.start = kDay + 1800;
  Apply(*s, {only_ext});
  EXPECT_EQ(TitleOf(*s, 2), "");
  Apply(*s, {Update(2, kDay + 1800, "後から来た題名", EVENT_KIND_SCHEDULE_ACTUAL, 9)});
  EXPECT_EQ(TitleOf(*s, 2), "後から来た題名");
  EXPECT_TRUE(SearchIndexConsistent());
  EXPECT_EQ(s->Search("後から来た", 10).size(), 1u);
  EXPECT_TRUE(s->Search("最初の題名", 10).empty()) << "replaced texts are not found any more";
}

// Another version of a table that says what is stored already writes nothing (the present/
// following tables change theirs at every programme change); one that changes the event, or comes
// from a table of higher rank, is written.
TEST_F(GuideStoreTest, OnlyWhatChangedIsWritten) {
  struct Case {
    GuideEventUpdate stored, then;
    bool written;
  };
  constexpr uint8_t kPf = EVENT_KIND_PF_ACTUAL, kSchedule = EVENT_KIND_SCHEDULE_ACTUAL;
  const Case cases[] = {
      {Update(1, kDay, "題名", kPf, 1), Update(1, kDay, "題名", kPf, 2), false},
      {Update(2, kDay, "題名", kSchedule, 3), Update(2, kDay, "題名", kSchedule, 4), false},
      {Update(3, kDay, "題名", kPf, 1), Update(3, kDay, "別の題名", kPf, 2), true},
      {Update(4, kDay, "題名", kPf, 1), Update(4, kDay + 60, "題名", kPf, 2), true},
      {Update(5, kDay, "題名", kSchedule, 3), Update(5, kDay, "題名", kPf, 0), true},
  };
  auto s = OpenWriter();
  std::string error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.event.key.event_id);
    Apply(*s, {c.stored});
    auto reader = GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error);
    ASSERT_TRUE(reader) << error;
    const uint64_t version = reader->DataVersion();
    Apply(*s, {c.then});
    EXPECT_EQ(reader->DataVersion() != version, c.written);
    EXPECT_EQ(TitleOf(*s, c.then.event.key.event_id), platform::SjisToUtf8(c.then.event.title));
  }
  // A present/following table that said the same keeps its rank over the schedule's next version.
  Apply(*s, {Update(5, kDay, "予定表の新しい版", kSchedule, 4)});
  EXPECT_EQ(TitleOf(*s, 5), "題名");
}

TEST_F(GuideStoreTest, ChangedStartMovesTheEventAndOldEventsGo) {
  auto s = OpenWriter();
  GuideEventUpdate open = Update(3, kDay + 7200, "生放送", EVENT_KIND_PF_ACTUAL, 1);
  open.event.duration = kUndefinedDuration;
  Apply(*s, {Update(1, kDay, "朝", EVENT_KIND_SCHEDULE_ACTUAL, 1),
             Update(2, kDay + 1800, "昼", EVENT_KIND_SCHEDULE_ACTUAL, 1), open});
  Apply(*s, {Update(2, kDay + 3600, "昼", EVENT_KIND_SCHEDULE_ACTUAL, 2)});
  auto in = [&](GuideTime from, GuideTime to) {
    std::vector<uint16_t> ids;
    for (const GuideEvent& e : s->Events(from, to, false)) ids.push_back(e.key.event_id);
    return ids;
  };
  EXPECT_EQ(in(kDay + 1800, kDay + 3600), (std::vector<uint16_t>{1})) << "event 1 ends at 1800";
  EXPECT_EQ(in(kDay + 3600, kDay + 3601), (std::vector<uint16_t>{2}));
  EXPECT_EQ(in(kDay + 7200, kDay + 9000), (std::vector<uint16_t>{3}));
  const auto events = s->Events(kDay, kDay + 86400, false);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].duration, kUndefinedDuration);
  EXPECT_TRUE(events[2].description.empty());

  // Ended before the limit: gone; an open end counts as its start.
  ASSERT_TRUE(s->Begin());
  EXPECT_EQ(s->RemoveEndedBefore(kDay + 1801), 1);
  EXPECT_EQ(s->RemoveEndedBefore(kDay + 7201), 2);
  ASSERT_TRUE(s->Commit());
  EXPECT_TRUE(s->Events(0, kDay * 2, false).empty());
  EXPECT_TRUE(s->Search("生放送", 10).empty()) << "the search index forgets removed events";
  EXPECT_TRUE(SearchIndexConsistent());
}

// Short words fold case as the trigram index folds long ones: Greek and Cyrillic capitals (the
// letters of the broadcast's character set beyond ASCII) find their small letters and the other way
// round.
TEST_F(GuideStoreTest, ShortWordsFoldCaseLikeLongOnes) {
  auto s = OpenWriter();
  Apply(*s, {Update(1, kDay, "ΑΒΓ特集", EVENT_KIND_SCHEDULE_ACTUAL, 1),
             Update(3, kDay + 7200, "МОСКВА", EVENT_KIND_SCHEDULE_ACTUAL, 1)});
  const struct {
    const char* words;
    uint16_t id;
  } cases[] = {{"αβ", 1}, {"ΑΒ", 1}, {"αβγ", 1}, {"мо", 3}, {"МО", 3}, {"москва", 3}};
  for (const auto& c : cases) {
    const std::vector<GuideEvent> found = s->Search(c.words, 10);
    ASSERT_EQ(found.size(), 1u) << c.words;
    EXPECT_EQ(found[0].key.event_id, c.id) << c.words;
  }
}

TEST_F(GuideStoreTest, SearchFindsJapaneseWordsOfAnyLengthAndFullWidthLetters) {
  auto s = OpenWriter();
  GuideEventUpdate drama = Update(1, kDay + 3600, "土曜ドラマ　鴎外と漱石", EVENT_KIND_SCHEDULE_ACTUAL, 1);
  drama.extended = true;
  drama.event.extended = Sjis("出演者\n山田太郎、佐藤花子");
  GuideEventUpdate football = Update(2, kDay, "サッカー　Ｊリーグ第１２節", EVENT_KIND_SCHEDULE_ACTUAL, 1);
  football.event.description = Sjis("実況：鈴木一郎");
  GuideEventUpdate quote =
      Update(3, kDay + 7200, "映画「羅生門」100% \"特集\"", EVENT_KIND_SCHEDULE_ACTUAL, 1);
  Apply(*s, {drama, football, quote});
  auto ids = [&](const char* words) {
    std::vector<uint16_t> v;
    for (const GuideEvent& e : s->Search(words, 50)) v.push_back(e.key.event_id);
    return v;
  };
  EXPECT_EQ(ids("ドラマ"), (std::vector<uint16_t>{1}));
  EXPECT_EQ(ids("漱石"), (std::vector<uint16_t>{1})) << "two characters";
  EXPECT_EQ(ids("石"), (std::vector<uint16_t>{1})) << "one character";
  EXPECT_EQ(ids("佐藤花子"), (std::vector<uint16_t>{1})) << "extended text";
  EXPECT_EQ(ids("鈴木"), (std::vector<uint16_t>{2})) << "description";
  EXPECT_EQ(ids("jリーグ"), (std::vector<uint16_t>{2})) << "ASCII finds full-width letters";
  EXPECT_EQ(ids("第12節"), (std::vector<uint16_t>{2}));
  EXPECT_EQ(ids("ドラマ 山田"), (std::vector<uint16_t>{1})) << "every word";
  EXPECT_TRUE(ids("ドラマ 鈴木").empty());
  EXPECT_EQ(ids("100%"), (std::vector<uint16_t>{3})) << "% is a character, not a pattern";
  EXPECT_EQ(ids("\"特集\""), (std::vector<uint16_t>{3}));
  EXPECT_EQ(ids("%"), (std::vector<uint16_t>{3})) << "as a character of 100%";
  EXPECT_TRUE(ids("_").empty());
  EXPECT_TRUE(ids("   ").empty());
  EXPECT_EQ(ids("サ").size(), 1u);
  EXPECT_EQ(s->Search("の", 50).size(), 0u);
  EXPECT_EQ(ids("a OR b").size(), 0u) << "words are never query syntax";
}

// A guide being made is never taken for a foreign file: whoever opens it meanwhile (a reader, a
// second capture) waits for the maker's lock or finds it empty, and nothing is renamed aside, which
// used to leave the maker writing into the renamed file and epg.sqlite empty.
TEST_F(GuideStoreTest, AGuideBeingMadeIsNeverRenamedAside) {
  // A file whose making stopped before its first transaction: an empty database in WAL mode.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  std::string notice, error;
  EXPECT_FALSE(GuideStore::Open(path_, GuideStore::Access::kRead, true, &notice, &error));
  EXPECT_NE(error.find("no programme guide yet"), std::string::npos) << error;
  EXPECT_TRUE(OpenWriter(&notice));
  EXPECT_EQ(notice, "");
  EXPECT_TRUE(AsideFiles().empty());

  // Writers and readers starting together on a new file, as a capture beside an `epg` loop does.
  for (int round = 0; round < 10; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path_ + suffix);
    std::atomic<int> writers{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
      threads.emplace_back([this, i, &writers] {
        std::string n, e;
        const bool write = i % 2 == 0;
        auto s = GuideStore::Open(path_, write ? GuideStore::Access::kWrite : GuideStore::Access::kRead, true, &n,
                                  &e);
        if (write && s) ++writers;
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(writers.load(), 3) << "round " << round;
    EXPECT_TRUE(AsideFiles().empty()) << "round " << round;
  }
  std::string e;
  EXPECT_TRUE(GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &e)) << e;
}

// A reader never renames anything, even a file that is no guide: a writer may be making it.
TEST_F(GuideStoreTest, AReaderLeavesAForeignFileAlone) {
  { std::ofstream(path_) << std::string(5000, 'x'); }
  std::string notice, error;
  EXPECT_FALSE(GuideStore::Open(path_, GuideStore::Access::kRead, true, &notice, &error));
  EXPECT_EQ(notice, "");
  EXPECT_TRUE(AsideFiles().empty());
  EXPECT_TRUE(std::filesystem::exists(path_));
}

TEST_F(GuideStoreTest, DamagedOrForeignFilesAreRenamedAsideAndMadeAgain) {
  // Not a database at all.
  { std::ofstream(path_) << std::string(5000, 'x'); }
  std::string error;
  EXPECT_FALSE(GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error));
  EXPECT_FALSE(error.empty());
  std::string notice;
  auto s = OpenWriter(&notice);
  ASSERT_TRUE(s);
  EXPECT_NE(platform::SjisToUtf8(notice).find("epg.sqlite.broken-"), std::string::npos)
      << platform::SjisToUtf8(notice);
  EXPECT_EQ(AsideFiles().size(), 1u);
  Apply(*s, {Update(1, kDay, "題名", EVENT_KIND_SCHEDULE_ACTUAL, 1)});
  s.reset();

  // Another program's database.
  std::filesystem::remove(path_);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE other(a); INSERT INTO other VALUES(1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  notice.clear();
  s = OpenWriter(&notice);
  EXPECT_FALSE(notice.empty());
  s.reset();

  // A guide whose pages were overwritten: found by the check when the writer opens it.
  s = OpenWriter();
  std::vector<GuideEventUpdate> many;
  for (uint16_t i = 0; i < 400; ++i) many.push_back(Update(i, kDay + i * 60, "題名の長い番組です", 3, 1));
  Apply(*s, many);
  s.reset();
  {
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096 * 2);
    const std::string junk(4096 * 3, '\x5A');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  notice.clear();
  s = OpenWriter(&notice);
  ASSERT_TRUE(s);
  EXPECT_FALSE(notice.empty());
  EXPECT_TRUE(s->Events(0, kDay * 2, false).empty());

  // Not a regular file (a FIFO would make a plain open wait for ever).
  s.reset();
  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  notice.clear();
  s = OpenWriter(&notice);
  ASSERT_TRUE(s);
  EXPECT_FALSE(notice.empty());
  EXPECT_EQ(AsideFiles().size(), 4u);

  // A reader of a missing file gets an error, not a new file.
  s.reset();
  std::filesystem::remove(path_);
  EXPECT_FALSE(GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error));
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(GuideStoreTest, ReaderSeesWholeTransactionsWhileTheWriterWrites) {
  auto writer = OpenWriter();
  std::string error;
  auto reader = GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error);
  ASSERT_TRUE(reader) << error;
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<bool> partial{false};
  std::thread read_thread([&] {
    size_t last = 0;
    while (!done.load()) {
      const size_t n = reader->Events(0, kDay * 2, false).size();
      if (n % 50 != 0 || n < last) partial = true;
      last = n;
      ++reads;
    }
  });
  for (uint16_t batch = 0; batch < 40; ++batch) {
    std::vector<GuideEventUpdate> updates;
    for (uint16_t i = 0; i < 50; ++i)
      updates.push_back(
          Update(static_cast<uint16_t>(batch * 50 + i), kDay + (batch * 50 + i) * 60, "番組", 3, 1));
    Apply(*writer, updates);
  }
  done = true;
  read_thread.join();
  EXPECT_FALSE(partial.load());
  EXPECT_GT(reads.load(), 1);
  EXPECT_EQ(reader->Events(0, kDay * 2, false).size(), 2000u);
  EXPECT_EQ(reader->LastErrorCode(), 0);
}

}  // namespace
}  // namespace pelkan

namespace pelkan {
namespace {

// The series descriptor's place and the free_CA_mode are kept, and a guide of the first schema
// (without them) is brought up to date when opened, by a reader too.
TEST_F(GuideStoreTest, SeriesPlaceIsKeptAndAnOlderGuideGetsItsColumns) {
  {
    auto s = OpenWriter();
    GuideEventUpdate series = Update(1, kDay + 3600, "麒麟の道", EVENT_KIND_SCHEDULE_ACTUAL, 1);
    series.event.series_id = 7;
    series.event.episode_number = 12;
    series.event.repeat_label = 1;
    series.event.free_ca_mode = true;
    Apply(*s, {series, Update(2, kDay + 7200, "ニュース", EVENT_KIND_SCHEDULE_ACTUAL, 1)});
    const auto found = s->Find({0x7FE8, 0x7FE8, 1024, 1});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->series_id, 7);
    EXPECT_EQ(found->episode_number, 12);
    EXPECT_EQ(found->repeat_label, 1);
    EXPECT_TRUE(found->free_ca_mode);
    const auto events = s->Events(kDay, kDay + 86400, false);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].series_id, -1);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "ALTER TABLE events DROP COLUMN series; ALTER TABLE events DROP COLUMN episode; "
                         "ALTER TABLE events DROP COLUMN repeat; ALTER TABLE events DROP COLUMN free_ca; "
                         "ALTER TABLE services DROP COLUMN heard_at; PRAGMA user_version=1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  auto reader = GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error);
  ASSERT_TRUE(reader) << error;
  const auto found = reader->Find({0x7FE8, 0x7FE8, 1024, 1});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->title, Sjis("麒麟の道"));
  EXPECT_EQ(found->series_id, -1);
}

// A guide this user may not write, in a folder it may not write either (another user's, a read-only
// medium), is read as it is: opened read-only, nothing made beside it, the programmes all there.
TEST_F(GuideStoreTest, AReadOnlyGuideOpensReadOnly) {
  {
    auto writer = OpenWriter();
    ASSERT_TRUE(writer);
    Apply(*writer, {Update(1, kDay + 3600, "Morning", EVENT_KIND_SCHEDULE_ACTUAL, 1),
                    Update(2, kDay + 7200, "Noon", EVENT_KIND_SCHEDULE_ACTUAL, 1)});
  }
  const std::string folder = path_.substr(0, path_.rfind('/'));
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  // The reader runs as another user where this one may write anything (root).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    std::string error;
    auto reader = GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error);
    if (!reader) {
      std::fprintf(stderr, "%s\n", error.c_str());
      ::_exit(1);
    }
    const bool whole = reader->Find({0x7FE8, 0x7FE8, 1024, 1}) && reader->Find({0x7FE8, 0x7FE8, 1024, 2}) &&
                       reader->Events(kDay, kDay + 86400, false).size() == 2;
    ::_exit(whole ? 0 : 2);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(folder.c_str(), 0700);
  ::chmod(path_.c_str(), 0644);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not opened, 2: not whole, 3: no other user";
  EXPECT_FALSE(std::filesystem::exists(path_ + "-shm"));
}

}  // namespace
}  // namespace pelkan

namespace pelkan {
namespace {

// Each service tells until when its programmes are known and when it was last heard from; a guide
// of the second schema (without the hearing) gets its column when opened, by a reader too.
TEST_F(GuideStoreTest, ServicesTellTheirCoverageAndAnOlderGuideGetsItsColumn) {
  {
    auto s = OpenWriter();
    Apply(*s, {Update(1, kDay + 3600, "Morning", EVENT_KIND_SCHEDULE_ACTUAL, 1),
               Update(2, kDay + 7200, "Noon", EVENT_KIND_SCHEDULE_ACTUAL, 1)});
    ASSERT_TRUE(s->SetServiceHeard(0x7FE8, 0x7FE8, 1024, kDay + 60));
    ASSERT_TRUE(s->SetServiceHeard(0x7FE8, 0x7FE8, 2048, kDay + 120));
    const auto services = s->Services();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0].heard_at, kDay + 60);
    EXPECT_EQ(services[0].known_until, kDay + 7200 + 1800);
    EXPECT_EQ(services[1].heard_at, kDay + 120);
    EXPECT_EQ(services[1].known_until, -1) << "no programmes";
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE services DROP COLUMN heard_at; PRAGMA user_version=2", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  auto reader = GuideStore::Open(path_, GuideStore::Access::kRead, false, nullptr, &error);
  ASSERT_TRUE(reader) << error;
  const auto services = reader->Services();
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[0].heard_at, -1);
  EXPECT_EQ(services[0].known_until, kDay + 7200 + 1800);
}

}  // namespace
}  // namespace pelkan
