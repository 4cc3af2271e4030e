#include "rules/rule_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// A folder with a guide of a daily drama (episode 12, its rerun the next morning, episode 13) and
// another programme, a rules file with one rule for the drama, and programs running the rules.
struct RuleFolder {
  void Make() {
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
      for (const RuleMatch& m :
           TestRule(rule, events, ContextOf(scheduler, rules.get(), guide.get(), events, now)))
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

class RuleRunnerTest : public ::testing::Test, public RuleFolder {
 protected:
  void SetUp() override { Make(); }
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

  EXPECT_EQ(RemoveRuleReservations(rule_id_, *store_, p.scheduler, p.guide.get(), At(7, 0), 1000), 2);
  EXPECT_EQ(FileEvents(), std::vector<uint16_t>{});
}

// The rule file events of rule `rule_id` in `folder`, ascending.
std::vector<uint16_t> RuleEvents(const RuleFolder& folder, uint32_t rule_id) {
  std::vector<uint16_t> out;
  for (const ScheduleItem& item : LoadScheduleFile(folder.dir_.File("schedule.ini")))
    if (item.rule_id == rule_id) out.push_back(item.event_id);
  std::sort(out.begin(), out.end());
  return out;
}

// The rules against their files going wrong, their rule going while it records, and what counts
// as recorded. Each case acts on a fresh folder where the rule "麒麟" has reserved episode 12's first
// airing (event 1, 08:00 on the 7th) and episode 13 (event 3); then the rules run again, and the
// case tells what the file holds of that rule and the verdicts of the first rule of the rules file
// over the programmes still to come.
TEST(RuleRunner, RulesAndFilesKeepWhatTheyShould) {
  constexpr GuideTime kRecording = 8 * 3600 + 60;  // a minute into episode 12's first airing
  struct Case {
    const char* what;
    std::function<void(RuleFolder&, GuideTime* now)> act;
    std::vector<uint16_t> file_events;  // of rule "麒麟"
    std::vector<std::string> verdicts;  // none: the rules file holds no rule
    int restored = 0;                   // at the run after `act`
  };
  auto damage_schedule = [](RuleFolder& f, GuideTime*) {
    std::ofstream(f.dir_.File("schedule.ini"), std::ios::trunc) << std::string(512, '\x01');
  };
  // Episode 12's first airing recorded, as `change` leaves its summary, and gone from the list.
  auto recorded = [](void (*change)(FinishedRecording*)) {
    return [change](RuleFolder& f, GuideTime* now) {
      RuleFolder::Program p(f.dir_);
      FinishedRecording ended;
      for (const ScheduleItem& item : p.scheduler.Reservations())
        if (item.event_id == 1) ended.item = item;
      ended.summary = RecordingSummary{};
      ended.summary->report_path = "/rec/a.ts.err";
      ended.summary->whole_programme = true;
      if (change) change(&ended);
      ASSERT_TRUE(NoteEndedReservation(ended, *f.store_, p.guide.get()));
      ASSERT_EQ(p.scheduler.RetireItem(ST_FINISHED, p.scheduler.FindItem(ended.item)), 1);
      ASSERT_TRUE(p.scheduler.SaveSchedule());
      *now = At(7, 9);
    };
  };
  const Case cases[] = {
      {"a damaged schedule.ini: made again, and told once",
       damage_schedule,
       {1, 3},
       {"reserved", "duplicate", "reserved"},
       2},
      {"a removed schedule.ini",
       [](RuleFolder& f, GuideTime*) { std::filesystem::remove(f.dir_.File("schedule.ini")); },
       {1, 3},
       {"reserved", "duplicate", "reserved"},
       2},
      {"a damaged rules.sqlite: a new rule takes a new id and leaves the old rule's reservations",
       [](RuleFolder& f, GuideTime*) {
         f.store_.reset();
         std::ofstream(f.dir_.File("rules.sqlite"), std::ios::trunc) << std::string(8192, 'x');
         f.store_ = RuleStore::Open(f.dir_.File("rules.sqlite"), nullptr, nullptr);
         ReservationRule news;
         news.words = {"ニュース"};
         const uint32_t id =
             f.store_->Save(news, HighestRuleId(LoadScheduleFile(f.dir_.File("schedule.ini"))));
         EXPECT_GT(id, f.rule_id_);
       },
       {1, 3},
       {"reserved"}},
      {"the rule removed while it records: that recording goes on",
       [](RuleFolder& f, GuideTime* now) {
         RuleFolder::Program p(f.dir_);
         *now = At(7, 0) + kRecording;
         int kept = 0;
         EXPECT_EQ(
             RemoveRuleReservations(f.rule_id_, *f.store_, p.scheduler, p.guide.get(), *now, 1000, &kept), 1);
         EXPECT_EQ(kept, 1);
         EXPECT_TRUE(f.store_->Remove(f.rule_id_));
       },
       {1},
       {}},
      {"an airing recording now takes its episode",
       [](RuleFolder&, GuideTime* now) { *now = At(7, 0) + kRecording; },
       {1, 3},
       {"duplicate", "reserved"}},
      {"recorded whole", recorded(nullptr), {3}, {"recorded", "reserved"}},
      {"drops",
       recorded([](FinishedRecording* e) { e->summary->drop = 3; }),
       {2, 3},
       {"reserved", "reserved"}},
      {"a gap",
       recorded([](FinishedRecording* e) { e->summary->gaps = 1; }),
       {2, 3},
       {"reserved", "reserved"}},
      {"a stub cut short, or its head cut by the plan: the programme's start or end not in the file",
       recorded([](FinishedRecording* e) { e->summary->whole_programme = false; }),
       {2, 3},
       {"reserved", "reserved"}},
      {"its tail cut by the plan",
       recorded([](FinishedRecording* e) {
         e->summary->end = RecordingEnd::kCutByPlan;
         e->why = "cut short for another reservation";
       }),
       {2, 3},
       {"reserved", "reserved"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RuleFolder f;
    f.Make();
    {
      RuleFolder::Program first(f.dir_);
      ASSERT_EQ(first.Run(At(7, 0)).reserved, 2);
    }
    GuideTime now = At(7, 0);
    c.act(f, &now);
    RuleFolder::Program p(f.dir_);
    EXPECT_EQ(p.Run(now).restored, c.restored);
    EXPECT_EQ(p.Run(now).restored, 0);
    EXPECT_EQ(RuleEvents(f, f.rule_id_), c.file_events);
    if (!c.verdicts.empty()) {
      EXPECT_EQ(p.Verdicts(now), c.verdicts);
    }
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
