#include "guide/guide_collector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>
#include <sqlite3.h>

#include "base/crc32.h"
#include "base/mjd_time.h"
#include "guide/broadcast_text.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"
#include "tests/support/temp_dir.h"
#include "tests/support/ts_builder.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

using streamgen::BroadcastGenerator;
using streamgen::GeneratorOptions;
using streamgen::ProgrammeInfo;

// The extended text the guide keeps for a programme's items.
std::string ExtendedText(const ProgrammeInfo& p) {
  std::string out;
  for (const auto& item : p.items) out += (out.empty() ? "" : "\n\n") + item.description + "\n" + item.text;
  return out;
}

class GuideCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processor_.SetDecodePsi(1);
    processor_.SetProcessEpg(1);
  }

  // `seconds` of the generator's stream through the processor into `collector`.
  void Feed(BroadcastGenerator& g, double seconds, GuideCollector& collector) {
    processor_.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
    std::vector<uint8_t> chunk(188 * 2000);
    const uint64_t bytes = static_cast<uint64_t>(seconds * static_cast<double>(g.Options().bit_rate) / 8);
    for (uint64_t done = 0; done < bytes; done += chunk.size()) {
      g.Read(chunk.data(), chunk.size());
      processor_.Feed(chunk.data(), static_cast<int>(chunk.size()), stats_);
    }
    collector.Flush();
  }
  std::unique_ptr<GuideStore> Reader(const std::string& path = std::string()) {
    std::string error;
    auto store = GuideStore::Open(path.empty() ? path_ : path, GuideStore::Access::kRead, false, nullptr, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  test::TempDir dir_;
  const std::string path_ = dir_.File("epg.sqlite");
  TsProcessor processor_;
  CaptureStats stats_;
};

TEST_F(GuideCollectorTest, EightDaysOfTheBroadcastReachTheStoreWithTheirExtendedTexts) {
  GeneratorOptions o;
  o.bit_rate = 4'000'000;
  // Long ago: were the machine's clock used instead of the stream's, everything would be removed.
  o.start_time = MjdTime{MjdFromDate(2016, 3, 1), 20 * 3600 + 59 * 60};
  BroadcastGenerator g(o);
  GuideCollector collector(path_);
  Feed(g, 10.0, collector);
  for (const GuideService& s : Reader()->Services()) EXPECT_EQ(s.complete_at, -1) << "a quarter of the cycle";
  Feed(g, 30.0, collector);
  EXPECT_TRUE(collector.GetStats().store_open);
  EXPECT_EQ(collector.GetStats().dropped, 0u);

  auto store = Reader();
  const streamgen::MultiplexInfo& mux = g.Multiplex(0);
  const GuideTime now = ToGuideTime(o.start_time);
  const GuideTime day0 = now / 86400 * 86400;
  const MjdTime from{static_cast<uint32_t>(day0 / 86400), static_cast<uint32_t>(now % 86400 / 10800 * 10800)};
  const MjdTime to{static_cast<uint32_t>(day0 / 86400 + 8), 0};
  size_t expected = 0;
  for (const streamgen::ServiceInfo& s : mux.services) {
    const std::vector<ProgrammeInfo> programmes = g.ScheduleAt(0, s.service_id, from, to, g.ClockNow());
    ASSERT_GT(programmes.size(), 8u * 20);
    expected += programmes.size();
    size_t with_items = 0;
    for (const ProgrammeInfo& p : programmes) {
      const auto e =
          store->Find({mux.original_network_id, mux.transport_stream_id, s.service_id, p.event_id});
      ASSERT_TRUE(e) << s.service_id << " event " << p.event_id;
      EXPECT_EQ(BroadcastTextUtf8(e->title), p.title);
      EXPECT_EQ(BroadcastTextUtf8(e->description), p.description);
      EXPECT_EQ(BroadcastTextUtf8(e->extended), ExtendedText(p)) << s.service_id << " event " << p.event_id;
      EXPECT_EQ(e->genre, p.genre);
      EXPECT_EQ(e->start, ToGuideTime(p.start));
      // Present/following (which outranks the schedule) may leave the end open.
      if (e->HasEnd()) {
        EXPECT_EQ(e->duration, p.duration);
      }
      with_items += !p.items.empty();
    }
    EXPECT_GT(with_items, programmes.size() / 2);
  }
  EXPECT_EQ(store->Events(0, ToGuideTime(to) + 86400, false).size(), expected) << "nothing else";

  const std::vector<GuideService> services = store->Services();
  ASSERT_EQ(services.size(), mux.services.size());
  for (size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(services[i].service_id, mux.services[i].service_id);
    EXPECT_EQ(BroadcastTextUtf8(services[i].name), mux.services[i].name);
    EXPECT_GE(services[i].complete_at, now) << "the whole schedule came within the 40 s";
    EXPECT_LE(services[i].complete_at, ToGuideTime(g.ClockNow()));
    // Heard from once a minute of the stream's clock: within the last minute of the 40 s.
    EXPECT_GE(services[i].heard_at, ToGuideTime(g.ClockNow()) - GuideCollector::kHeardEvery - 10);
    EXPECT_LE(services[i].heard_at, ToGuideTime(g.ClockNow()));
  }
}

TEST_F(GuideCollectorTest, AnOverrunMovesTheNextProgramme) {
  // Service 1032 (900-s slots): find a programme that overruns, start 10 s before the overrun is
  // announced (half-way through it).
  GeneratorOptions o;
  o.bit_rate = 4'000'000;
  MjdTime probe{MjdFromDate(2026, 12, 7), 0};
  BroadcastGenerator finder(o);
  std::optional<ProgrammeInfo> overrunning;
  for (int i = 0; i < 96 * 7 && !overrunning; ++i) {
    const auto p = finder.ProgrammeAt(0, 1032, probe);
    ASSERT_TRUE(p);
    if (p->duration > 900 && ToGuideTime(p->start) % 900 == 0) overrunning = p;
    probe = p->start;
    AddSeconds(&probe, p->duration);
  }
  ASSERT_TRUE(overrunning);
  o.start_time = overrunning->start;
  AddSeconds(&o.start_time, 450 - 10);
  BroadcastGenerator g(o);
  GuideCollector collector(path_);
  const GuideEventKey next{g.Multiplex(0).original_network_id, g.Multiplex(0).transport_stream_id, 1032,
                           static_cast<uint16_t>(overrunning->event_id + 1)};
  Feed(g, 8.0, collector);
  auto store = Reader();
  auto before = store->Find(next);
  ASSERT_TRUE(before);
  EXPECT_EQ(before->start, ToGuideTime(overrunning->start) + 900);
  Feed(g, 6.0, collector);
  auto after = store->Find(next);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->start, ToGuideTime(overrunning->start) + 900 + 300) << "pushed back by the overrun";
  size_t in_old_place = 0;
  for (const GuideEvent& e :
       store->Events(ToGuideTime(overrunning->start) + 900, ToGuideTime(overrunning->start) + 1200, false))
    in_old_place += e.key.service_id == 1032;
  EXPECT_EQ(in_old_place, 1u) << "only the overrunning programme is left in its old place";
}

TEST_F(GuideCollectorTest, EventsGoByTheStreamsClockAndNamesFollowTheServiceDescription) {
  const uint16_t day = 61000;
  auto eit = [&](uint16_t event_id, uint8_t hh, uint16_t mjd) {
    return test::EitSection(
        0x50, 1024, 1, static_cast<uint8_t>(event_id),
        {test::EitEvent{
            event_id, mjd, {hh, 0, 0}, {1, 0, 0}, test::ShortEventDescriptor(test::AribAlnum("A"), {})}});
  };
  test::TsBuilder ts;
  ts.Section(0x0000, test::PatSection(0x7FE0, 1, {{1024, 0x1F0}}));
  ts.Section(0x0011, test::SdtSection(0x42, 0x7FE0, 0x7FE0, 1,
                                      {{1024, test::ServiceDescriptor(1, {}, test::AribAlnum("Pel"))}}));
  ts.Section(0x0012, eit(1, 0x09, day - 2));  // ended more than a day before the clock below
  ts.Section(0x0012, eit(2, 0x23, day - 1));  // ended less than a day before it
  ts.Section(0x0012, eit(3, 0x20, day));
  ts.Section(0x0014, test::TotSection(day, 0x12, 0x00, 0x00));
  GuideCollector collector(path_);
  processor_.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
  processor_.Feed(ts.bytes().data(), static_cast<int>(ts.bytes().size()), stats_);
  collector.Flush();
  auto store = Reader();
  std::vector<uint16_t> ids;
  for (const GuideEvent& e : store->Events(0, GuideTime{day + 10} * 86400, false))
    ids.push_back(e.key.event_id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{2, 3}));
  const auto services = store->Services();
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(platform::SjisToUtf8(services[0].name), test::FullWidthUtf8("Pel"));
}

// One EIT section of service 1024 with one programme of an hour.
test::Bytes OneProgramme(uint16_t event_id, uint16_t mjd, uint8_t hh, uint8_t version, const char* title) {
  return test::EitSection(0x50, 1024, version, static_cast<uint8_t>(event_id),
                          {test::EitEvent{event_id, mjd, {hh, 0, 0}, {1, 0, 0},
                                          test::ShortEventDescriptor(test::AribAlnum(title), {})}});
}

// Sets `processor` to read the tables into `collector`.
void Feeding(TsProcessor& processor, GuideCollector& collector) {
  processor.SetDecodePsi(1);
  processor.SetProcessEpg(1);
  processor.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
}

// The sections of `ts` through `processor`, behind null packets on which it finds the packet sync.
void Play(TsProcessor& processor, CaptureStats& stats, const test::TsBuilder& ts) {
  test::TsBuilder sync;
  for (int i = 0; i < 16; ++i) sync.Packet(0x1FFF, test::Bytes(184, 0xFF));
  std::vector<uint8_t> bytes = sync.bytes();
  bytes.insert(bytes.end(), ts.bytes().begin(), ts.bytes().end());
  processor.Feed(bytes.data(), static_cast<int>(bytes.size()), stats);
}

// A section not yet applicable (current_next_indicator 0) does not replace the current one.
TEST_F(GuideCollectorTest, SectionsNotYetApplicableAreIgnored) {
  const uint16_t day = 61000;
  test::Bytes next = OneProgramme(1, day, 0x20, 2, "NEXT");
  next[5] &= 0xFE;
  const uint32_t crc = Crc32Mpeg2(next.data(), next.size() - 4);
  for (int i = 0; i < 4; ++i) next[next.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  test::TsBuilder ts;
  ts.Section(0x0012, OneProgramme(1, day, 0x20, 1, "NOW"));
  ts.Section(0x0012, next);
  GuideCollector collector(path_);
  processor_.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
  Play(processor_, stats_, ts);
  collector.Flush();
  const auto e = Reader()->Find({0x7FE0, 0x7FE0, 1024, 1});
  ASSERT_TRUE(e);
  EXPECT_EQ(platform::SjisToUtf8(e->title), test::FullWidthUtf8("NOW"));
}

// A collector started again on the same file (the next day's recording) neither reads nor writes
// the sections it stored before, until one comes with another version or other contents. Here the
// event is taken out of the file in between, which shows whether its section was read again.
TEST_F(GuideCollectorTest, SectionsStoredBeforeAreNotReadAgainAfterARestart) {
  const uint16_t day = 61000;
  const struct {
    const char* what;
    test::Bytes again;
    const char* title;  // the event's title in the file afterwards, null when it stays out
  } cases[] = {
      {"the same section", OneProgramme(1, day, 0x20, 1, "NOW"), nullptr},
      {"a new version", OneProgramme(1, day, 0x20, 2, "NOW"), "NOW"},
      {"the same version, other contents", OneProgramme(1, day, 0x20, 1, "NEW"), "NEW"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.File(std::string("epg-") + c.what + ".sqlite");
    auto run = [&](const test::Bytes& section) {
      GuideCollector collector(path);
      TsProcessor processor;
      Feeding(processor, collector);
      test::TsBuilder ts;
      ts.Section(0x0012, section);
      Play(processor, stats_, ts);
      collector.Flush();
      EXPECT_EQ(collector.GetStats().dropped, 0u);
    };
    run(OneProgramme(1, day, 0x20, 1, "NOW"));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM events", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    run(c.again);
    const auto e = Reader(path)->Find({0x7FE0, 0x7FE0, 1024, 1});
    ASSERT_EQ(e.has_value(), c.title != nullptr);
    if (e) {
      EXPECT_EQ(platform::SjisToUtf8(e->title), test::FullWidthUtf8(c.title));
    }
  }
}

// One stream whose clock is far ahead (a file from 2030, a wrong start) does not empty the guide:
// ended programmes go by the stream's clock only while it is at most a day ahead of the computer's.
TEST_F(GuideCollectorTest, AClockFarAheadRemovesNothing) {
  const uint16_t today = static_cast<uint16_t>(JapanTimeNow().date);
  const struct {
    int clock_days_ahead;
    bool kept;
  } cases[] = {{0, false}, {2, true}, {1825, true}};
  for (const auto& c : cases) {
    const std::string path = dir_.File("epg-" + std::to_string(c.clock_days_ahead) + ".sqlite");
    test::TsBuilder ts;
    ts.Section(0x0012, OneProgramme(7, static_cast<uint16_t>(today - 3), 0x20, 1, "OLD"));
    ts.Section(0x0014, test::TotSection(static_cast<uint16_t>(today + c.clock_days_ahead), 0x12, 0, 0));
    {
      GuideCollector collector(path);
      TsProcessor processor;
      Feeding(processor, collector);
      Play(processor, stats_, ts);
      collector.Flush();
    }
    std::string error;
    auto store = GuideStore::Open(path, GuideStore::Access::kRead, false, nullptr, &error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->Find({0x7FE0, 0x7FE0, 1024, 7}).has_value(), c.kept) << c.clock_days_ahead;
  }
}

// While another program holds the guide's write lock longer than the writer waits, what comes in is
// counted as dropped, the status says the guide cannot be written, and it is taken again when its
// sections come round: the guide ends whole, whether the lock was taken during the run or was
// already held when the collector opened the file (which it then opens again).
TEST_F(GuideCollectorTest, SectionsThatFindTheGuideLockedAreTakenAgain) {
  const uint16_t day = 61000;
  test::TsBuilder ts;
  for (uint16_t id = 1; id <= 3; ++id) ts.Section(0x0012, OneProgramme(id, day, 0x20, 1, "P"));
  const struct {
    const char* what;
    bool locked_at_open;
  } cases[] = {{"locked during the run", false}, {"locked when the collector opens the file", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.File(std::string("epg-") + (c.locked_at_open ? "open" : "run") + ".sqlite");
    // The file exists (an earlier run made it) so that it can be locked before the collector comes.
    ASSERT_TRUE(GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, nullptr));
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &blocker), SQLITE_OK);
    auto lock = [blocker] { ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK); };
    if (c.locked_at_open) lock();
    std::vector<std::string> notices;
    GuideCollector collector(path, [&notices](const std::string& n) { notices.push_back(n); });
    collector.Flush();
    EXPECT_EQ(collector.GetStats().store_open, !c.locked_at_open);
    if (!c.locked_at_open) lock();
    TsProcessor processor;
    Feeding(processor, collector);
    Play(processor, stats_, ts);
    collector.Flush();
    EXPECT_EQ(collector.GetStats().dropped, 3u);
    EXPECT_EQ(collector.StatusText(), guide_text::kNotWritten);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(platform::SjisToUtf8(notices[0]).find(".sqlite に書き込めない"), std::string::npos);
    sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);

    // The broadcast repeats its sections; a store that could not be opened is tried again.
    auto written = [&] {
      std::string error;
      auto store = GuideStore::Open(path, GuideStore::Access::kRead, false, nullptr, &error);
      if (!store) return false;
      for (uint16_t id = 1; id <= 3; ++id) {
        if (!store->Find({0x7FE0, 0x7FE0, 1024, id})) return false;
      }
      return true;
    };
    for (int i = 0; i < 60 && !written(); ++i) {
      Play(processor, stats_, ts);
      collector.Flush();
      if (!written()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(written());
    EXPECT_TRUE(collector.GetStats().store_open);
    EXPECT_EQ(collector.StatusText(), "");
    EXPECT_EQ(notices.size(), 1u);
  }
}

}  // namespace
}  // namespace pelkan
