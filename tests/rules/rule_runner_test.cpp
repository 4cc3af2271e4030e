#include "rules/rule_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "rules/rule_store.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_file.h"
#include "tests/support/guide_events.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

GuideTime At(int day, int hour) {  // December 2026
  return GuideTime{MjdFromDate(2026, 12, day)} * 86400 + hour * 3600;
}

class Host : public SchedulerHost {
 public:
  bool LookupProgramme(uint16_t, uint16_t, uint16_t, uint16_t, ProgrammeEvent*) override { return false; }
  void Post(std::function<void()> work) override { work(); }
  bool ConfirmOverlap() override { return true; }
};

// A guide with a daily drama (episode 12, its rerun the next morning, episode 13) and another
// programme, a rules file with one rule for the drama, and a program running the rules.
class RuleRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto guide = GuideStore::Open(dir_.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(guide) << error;
    guide->Begin();
    Add(*guide, 1, "麒麟の道 第12話", At(7, 8), 12, 0);
    Add(*guide, 2, "麒麟の道 第12話[再]", At(8, 5), 12, 1);
    Add(*guide, 3, "麒麟の道 第13話", At(8, 8), 13, 0);
    Add(*guide, 4, "朝のニュース", At(8, 6), 0, 0);
    ASSERT_TRUE(guide->Commit());
    store_ = RuleStore::Open(dir_.File("rules.sqlite"), nullptr, &error);
    ASSERT_TRUE(store_) << error;
    ReservationRule rule;
    rule.name = "麒麟";
    rule.words = {"麒麟"};
    rule_id_ = store_->Save(rule);
    ASSERT_NE(rule_id_, 0u);
  }

  static void Add(GuideStore& guide, uint16_t event_id, const char* title, GuideTime start, uint16_t episode,
                  uint8_t repeat) {
    ASSERT_TRUE(test::AddGuideEvent(guide, {4, 5, 101, event_id}, title, start, episode, repeat));
  }

  // One program: its scheduler on the shared schedule.ini, its own connections to the files.
  struct Program {
    explicit Program(const test::TempDir& dir) : scheduler(&host) {
      scheduler.LoadSchedule(dir.File("schedule.ini"));
      guide = GuideStore::Open(dir.File("epg.sqlite"), GuideStore::Access::kRead, false, nullptr, nullptr);
      rules = RuleStore::Open(dir.File("rules.sqlite"), nullptr, nullptr);
    }
    RuleRunResult Run(GuideTime now) { return RunRules(*rules, *guide, scheduler, now, 10000); }
    std::vector<std::string> Verdicts(GuideTime now) {
      scheduler.SyncSchedule();
      std::vector<std::string> out;
      const auto rule = rules->Rules().front();
      const std::vector<GuideEvent> events = FutureEvents(*guide, now, false);
      for (const RuleMatch& m : TestRule(rule, events, scheduler.Reservations(), *rules))
        out.emplace_back(RuleVerdictName(m.verdict));
      return out;
    }
    Host host;
    RecordingScheduler scheduler;
    std::unique_ptr<GuideStore> guide;
    std::unique_ptr<RuleStore> rules;
  };

  std::vector<uint16_t> FileEvents() {
    std::vector<uint16_t> out;
    for (const ScheduleItem& item : LoadScheduleFile(dir_.File("schedule.ini"))) {
      EXPECT_EQ(item.rule_id, rule_id_);
      out.push_back(item.event_id);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  test::TempDir dir_;
  std::unique_ptr<RuleStore> store_;
  uint32_t rule_id_ = 0;
};

TEST_F(RuleRunnerTest, TwoProgramsMakeOneReservationPerProgramme) {
  Program a(dir_), b(dir_);
  RuleRunResult ra, rb;
  std::thread other([&] { rb = b.Run(At(7, 0)); });
  ra = a.Run(At(7, 0));
  other.join();
  EXPECT_EQ(ra.reserved + rb.reserved, 2);
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{1, 3}));  // not the rerun
  EXPECT_EQ(a.Verdicts(At(7, 0)), (std::vector<std::string>{"reserved", "duplicate", "reserved"}));
  // Nothing more on the next run of either.
  EXPECT_EQ(b.Run(At(7, 0)).reserved, 0);
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{1, 3}));
}

TEST_F(RuleRunnerTest, HandDeletionSticksUntilAskedFor) {
  Program p(dir_);
  p.Run(At(7, 0));
  ASSERT_EQ(p.scheduler.DeleteItem(p.scheduler.FindItem(RuleReservation(*store_->Find(rule_id_),
                                                                        *p.guide->Find({4, 5, 101, 1}), ""))),
            1);
  ASSERT_TRUE(p.scheduler.SaveSchedule());
  EXPECT_EQ(p.Run(At(7, 0)).reserved, 1);  // the rerun takes the episode's place, not the deleted airing
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{2, 3}));
  EXPECT_EQ(p.Verdicts(At(7, 0)), (std::vector<std::string>{"deleted", "reserved", "reserved"}));

  // この回も録画
  ASSERT_TRUE(ReserveAnyway(*store_->Find(rule_id_), *p.guide->Find({4, 5, 101, 1}), *p.rules, p.scheduler, 1000));
  p.Run(At(7, 0));
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{1, 2, 3}));
}

TEST_F(RuleRunnerTest, ARuleChangeUpdatesAndRemovesItsUnstartedReservations) {
  Program p(dir_);
  p.Run(At(7, 0));
  ReservationRule rule = *store_->Find(rule_id_);
  rule.priority = 5;
  rule.words = {"麒麟", "第13話"};
  store_->Save(rule);
  const RuleRunResult r = p.Run(At(7, 0));
  EXPECT_EQ(r.updated, 1);
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{3}));
  EXPECT_EQ(LoadScheduleFile(dir_.File("schedule.ini"))[0].priority, 5);
  // The removed one is not taken for a hand deletion.
  rule.words = {"麒麟"};
  store_->Save(rule);
  p.Run(At(7, 0));
  EXPECT_EQ(FileEvents(), (std::vector<uint16_t>{1, 3}));

  EXPECT_EQ(RemoveRuleReservations(rule_id_, *store_, p.scheduler, At(7, 0), 1000), 2);
  EXPECT_EQ(FileEvents(), std::vector<uint16_t>{});
}

TEST_F(RuleRunnerTest, OnlyACleanRecordingCountsAsRecorded) {
  struct Case {
    const char* what;
    uint64_t drop;
    const char* why;
    std::vector<std::string> verdicts;  // after episode 12's first airing
  } cases[] = {
      {"clean", 0, "", {"recorded", "reserve"}},
      {"drops", 3, "", {"reserve", "reserve"}},
      {"cut by the plan", 0, "cut short for another reservation", {"reserve", "reserve"}},
  };
  for (const Case& c : cases) {
    auto store = RuleStore::Open(dir_.File("rules-" + std::string(c.what) + ".sqlite"), nullptr, nullptr);
    ReservationRule rule = *store_->Find(rule_id_);
    rule.id = 0;
    rule.id = store->Save(rule);
    ASSERT_NE(rule.id, 0u);
    auto guide = GuideStore::Open(dir_.File("epg.sqlite"), GuideStore::Access::kRead, false, nullptr, nullptr);
    FinishedRecording ended;
    ended.item = RuleReservation(rule, *guide->Find({4, 5, 101, 1}), "/rec");
    ended.summary = RecordingSummary{};
    ended.summary->report_path = "/rec/a.ts.err";
    ended.summary->drop = c.drop;
    ended.why = c.why;
    ASSERT_TRUE(NoteEndedReservation(ended, *store, guide.get()));
    EXPECT_EQ(store->History().at(0).path, "/rec/a.ts");
    std::vector<std::string> verdicts;
    const std::vector<GuideEvent> events = FutureEvents(*guide, At(7, 9), false);
    for (const RuleMatch& m : TestRule(rule, events, {}, *store))
      verdicts.emplace_back(RuleVerdictName(m.verdict));
    EXPECT_EQ(verdicts, c.verdicts) << c.what;
  }
}

TEST(RuleStore, ADamagedFileIsKeptAsideNotOverwritten) {
  test::TempDir dir;
  const std::string path = dir.File("rules.sqlite");
  std::ofstream(path) << std::string(8192, 'x');
  std::string notice, error;
  auto store = RuleStore::Open(path, &notice, &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(platform::SjisToUtf8(notice).rfind("自動予約ファイル rules.sqlite は壊れているか自動予約のものでないため、"
                                               "rules.sqlite.broken-",
                                               0),
            0u)
      << platform::SjisToUtf8(notice);
  EXPECT_TRUE(store->Rules().empty());
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("rules.sqlite.broken-")) {
      ++aside;
      EXPECT_EQ(std::filesystem::file_size(entry.path()), 8192u);
    }
  }
  EXPECT_EQ(aside, 1);
  // Ids are not reused after a removal.
  ReservationRule r;
  r.name = "a";
  const uint32_t first = store->Save(r);
  ASSERT_TRUE(store->Remove(first));
  EXPECT_GT(store->Save(r), first);
}

}  // namespace
}  // namespace pelkan
