#include "app/rule_window_rules.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/rule_desk.h"
#include "app/rule_files.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "rules/rule_evaluation.h"
#include "rules/rule_matcher.h"
#include "tests/support/guide_events.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

GuideTime At(int day, int hour, int minute = 0) {  // December 2026 (the 6th is a Sunday)
  return GuideTime{MjdFromDate(2026, 12, day)} * 86400 + hour * 3600 + minute * 60;
}

RuleForm Form(const char* words) {
  RuleForm form;
  form.words = words;
  return form;
}

// Each refusal of the dialog's fields, and the field it points at; what passes builds the rule.
TEST(RuleWindowRules, BuildRuleRefusesWhatMakesNoRule) {
  struct Case {
    const char* what;
    RuleForm form;
    RuleFormField field;
    const char* message;
  };
  std::vector<Case> cases;
  cases.push_back({"no words, no expression", Form(" \u3000 "), RuleFormField::kWords,
                   "キーワードか正規表現を入力してください。"});
  RuleForm bad_regex = Form("");
  bad_regex.rule.regex = "麒麟(";
  cases.push_back({"bad expression", bad_regex, RuleFormField::kRegex,
                   "正規表現が正しくありません。\n(missing closing parenthesis at offset 7)"});
  RuleForm no_day = Form("麒麟");
  no_day.rule.weekdays = 0;
  cases.push_back({"no weekday", no_day, RuleFormField::kWeekdays, "曜日を一つ以上選んでください。"});
  RuleForm bad_time = Form("麒麟");
  bad_time.time_window = "23時から";
  cases.push_back({"bad window", bad_time, RuleFormField::kTimeWindow,
                   "時間帯は 23:00-27:00 のように入力してください。"});
  RuleForm minutes = Form("麒麟");
  minutes.rule.min_minutes = 60;
  minutes.rule.max_minutes = 30;
  cases.push_back({"min > max", minutes, RuleFormField::kMinutes, "最短の長さが最長より長くなっています。"});
  RuleForm period = Form("麒麟");
  period.rule.valid_from = MjdFromDate(2026, 12, 9);
  period.rule.valid_until = MjdFromDate(2026, 12, 8);
  cases.push_back(
      {"until < from", period, RuleFormField::kPeriod, "期間の終わりが始まりより前になっています。"});
  for (const Case& c : cases) {
    const RuleFormCheck check = BuildRule(c.form);
    EXPECT_FALSE(check.rule) << c.what;
    EXPECT_EQ(check.field, c.field) << c.what;
    EXPECT_EQ(check.message, c.message) << c.what;
  }

  // One bound of the length, or of the period, alone is no contradiction; an unnamed rule is named
  // after its words; the window is read as listings write it.
  RuleForm good = Form("麒麟\u3000の道");
  good.exclude = "再放送";
  good.time_window = "23:00-03:00";
  good.rule.min_minutes = 60;
  good.rule.valid_until = MjdFromDate(2026, 12, 1);
  const RuleFormCheck check = BuildRule(good);
  ASSERT_TRUE(check.rule) << check.message;
  EXPECT_EQ(check.rule->words, (std::vector<std::string>{"麒麟", "の道"}));
  EXPECT_EQ(check.rule->exclude, std::vector<std::string>{"再放送"});
  EXPECT_EQ(check.rule->name, "麒麟 の道");
  EXPECT_EQ(check.rule->window_from, 23 * 60);
  EXPECT_EQ(check.rule->window_to, 27 * 60);
  // And back to the fields unchanged.
  const RuleForm again = FormFromRule(*check.rule);
  EXPECT_EQ(again.words, "麒麟 の道");
  EXPECT_EQ(again.time_window, "23:00-27:00");
  EXPECT_EQ(BuildRule(again).rule, check.rule);
}

GuideEvent Event(const char* title, GuideTime start, uint16_t service = 1024) {
  GuideEvent e;
  e.key = {4, 5, service, 9};
  e.title = platform::Utf8ToBroadcast(title).value();
  e.start = start;
  e.duration = 1800;
  return e;
}

// The list's rows: the next match skips the suppressed ones, disabled rules say so, services by
// name; the match rows carry the verdict and whether it is struck through.
TEST(RuleWindowRules, RowsOfTheListAndOfTheMatches) {
  const GuideEvent rerun = Event("麒麟の道 第12話[再]", At(8, 5));
  const GuideEvent next = Event("麒麟の道 第13話", At(8, 23, 30), 1032);
  const std::vector<RuleMatch> matches = {{&rerun, RuleVerdict::kDuplicate}, {&next, RuleVerdict::kReserve}};
  const ServiceNameFn names = [](uint16_t id) {
    return id == 1024 ? std::string("ペルカン総合") : std::string();
  };
  ReservationRule rule;
  rule.name = "麒麟";
  rule.words = {"麒麟"};
  rule.exclude = {"再放送", "総集編"};
  rule.services = {1024, 1032};
  RuleRow row = RuleRowOf(rule, matches, 2, names);
  EXPECT_EQ(row.words, "麒麟 -再放送 -総集編");
  EXPECT_EQ(row.services, "ペルカン総合, 1032");
  EXPECT_EQ(row.next, "12/8(火) 23:30 麒麟の道 第13話");
  EXPECT_EQ(row.count, "2");
  rule.regex = "麒麟.*";
  rule.exclude.clear();
  rule.services.clear();
  row = RuleRowOf(rule, {{&rerun, RuleVerdict::kDuplicate}}, 0, names);
  EXPECT_EQ(row.words, "/麒麟.*/");
  EXPECT_EQ(row.services, "すべて");
  EXPECT_EQ(row.next, "なし");
  rule.enabled = false;
  EXPECT_EQ(RuleRowOf(rule, matches, 0, names).next, "無効");

  const struct {
    RuleMatch match;
    const char* verdict;
    bool suppressed;
  } cases[] = {
      {{&next, RuleVerdict::kReserve}, "予約する", false},
      {{&next, RuleVerdict::kReserved}, "予約済み", false},
      {{&rerun, RuleVerdict::kDuplicate}, "同じ回の放送が先にあります", true},
      {{&rerun, RuleVerdict::kRecorded, At(1, 23), 12}, "録画済み 第12話 2026-12-01", true},
      {{&rerun, RuleVerdict::kDeleted}, "手動で削除済み", true},
      {{&rerun, RuleVerdict::kOutside}, "期間外", true},
  };
  for (const auto& c : cases) {
    const RuleMatchRow r = RuleMatchRowOf(c.match, names);
    EXPECT_EQ(r.verdict, c.verdict);
    EXPECT_EQ(r.suppressed, c.suppressed) << c.verdict;
  }
  const RuleMatchRow r = RuleMatchRowOf({&rerun, RuleVerdict::kDuplicate}, names);
  EXPECT_EQ(r.when, "12/8(火) 05:00");
  EXPECT_EQ(r.service, "ペルカン総合");
  EXPECT_EQ(r.title, "麒麟の道 第12話[再]");
}

// The live match list of the rule dialog marks the programmes whose guide is old, as the
// reservation list does: here a service not heard from for two days beside one heard an hour ago.
TEST(RuleWindowRules, TheMatchListMarksProgrammesWhoseGuideIsOld) {
  const test::TempDir dir;
  const GuideTime now = At(7, 8);
  const struct {
    uint16_t service;
    const char* title;
    uint16_t episode;
    GuideTime heard_at;
    const char* verdict;
  } cases[] = {
      {101, "麒麟の道 第12話", 12, now - 3600, "予約する"},
      {102, "麒麟の道 第13話", 13, now - 2 * 86400, "予約する 番組情報が古い"},
  };
  {
    std::string error;
    auto guide = GuideStore::Open(dir.File("epg.sqlite"), GuideStore::Access::kWrite, true, nullptr, &error);
    ASSERT_TRUE(guide) << error;
    guide->Begin();
    for (const auto& c : cases) {
      ASSERT_TRUE(test::AddGuideEvent(*guide, {4, 5, c.service, 1}, c.title, At(7, 20), c.episode, 0));
      ASSERT_TRUE(guide->SetServiceHeard(4, 5, c.service, c.heard_at));
    }
    ASSERT_TRUE(guide->Commit());
  }
  ScheduledCapture capture([](std::function<void()> work) { work(); });
  RuleFiles files(dir.File("rules.sqlite"), dir.File("epg.sqlite"));
  RuleDesk desk(capture.scheduler(), files, [now] { return now; });
  desk.Refresh(true);
  ReservationRule rule;
  rule.words = {"麒麟"};
  const std::vector<RuleMatch> matches = desk.Test(rule);
  ASSERT_EQ(matches.size(), std::size(cases));
  for (const auto& c : cases) {
    const auto m = std::find_if(matches.begin(), matches.end(),
                                [&c](const RuleMatch& m) { return m.event->key.service_id == c.service; });
    ASSERT_NE(m, matches.end()) << c.service;
    EXPECT_EQ(RuleMatchRowOf(*m, desk.NameFn(), desk.StaleNow()).verdict, c.verdict) << c.service;
  }
}

// The guide's popup makes a rule of the series: the title without marks, cut before its episode,
// and its service, on every day at any time (the airing's weekday and hour are the dialog's check
// box); the search's words are looked for everywhere.
TEST(RuleWindowRules, RulesFromAProgrammeAndFromASearch) {
  const struct {
    const char* title;
    GuideTime start;
    std::vector<std::string> words;
    uint8_t weekday_bit;
    int from, to;
  } cases[] = {
      {"[新]麒麟の道 第1話[字]", At(7, 21), {"麒麟の道"}, 1 << 1, 20 * 60 + 30, 21 * 60 + 30},
      {"ＮＥＷＳ　ウオッチ #12", At(12, 23, 45), {"news", "ウオッチ"}, 1 << 6, 23 * 60 + 15, 24 * 60 + 15},
      {"深夜アニメ(3)", At(9, 0, 10), {"深夜アニメ"}, 1 << 3, 0, 40},
      {"麒麟の道 第十二回「決戦」", At(7, 21), {"麒麟の道"}, 1 << 1, 20 * 60 + 30, 21 * 60 + 30},
      {"ドラマスペシャル 後編", At(13, 21), {"ドラマスペシャル"}, 1 << 0, 20 * 60 + 30, 21 * 60 + 30},
      {"第1話", At(7, 21), {"第1話"}, 1 << 1, 20 * 60 + 30, 21 * 60 + 30},
  };
  for (const auto& c : cases) {
    const GuideEvent e = Event(c.title, c.start, 1032);
    const ReservationRule rule = RuleFromProgramme(e);
    EXPECT_EQ(rule.words, c.words) << c.title;
    EXPECT_EQ(rule.services, std::vector<uint16_t>{1032}) << c.title;
    EXPECT_EQ(rule.weekdays, 0x7F) << c.title;
    EXPECT_EQ(rule.window_from, -1) << c.title;
    const RuleAiring airing = AiringOf(e);
    EXPECT_EQ(airing.weekdays, c.weekday_bit) << c.title;
    EXPECT_EQ(airing.window_from, c.from) << c.title;
    EXPECT_EQ(airing.window_to, c.to) << c.title;
    // The check box keeps the fields to the airing and opens them again.
    RuleForm form = FormFromRule(rule);
    EXPECT_FALSE(FormKeepsToAiring(form, airing)) << c.title;
    KeepFormToAiring(&form, airing, true);
    EXPECT_TRUE(FormKeepsToAiring(form, airing)) << c.title;
    const RuleFormCheck kept = BuildRule(form);
    ASSERT_TRUE(kept.rule) << c.title;
    EXPECT_EQ(kept.rule->weekdays, c.weekday_bit) << c.title;
    EXPECT_EQ(kept.rule->window_from, c.from) << c.title;
    KeepFormToAiring(&form, airing, false);
    EXPECT_EQ(BuildRule(form).rule, rule) << c.title;
  }
  const ReservationRule search = RuleFromSearch("麒麟　前編");
  EXPECT_EQ(search.words, (std::vector<std::string>{"麒麟", "前編"}));
  EXPECT_EQ(search.name, "麒麟 前編");
  EXPECT_EQ(search.scope, RuleTextScope::kAll);
}

// A rule made from one airing reserves what the user means: every airing of a daily drama in the
// coming week, every edition of the news (no episode: each recorded), both halves of a two-part
// special; kept to the airing's weekday and time, only the airings then.
TEST(RuleWindowRules, ARuleFromOneAiringReservesTheSeries) {
  struct Airing {
    std::string title;
    GuideTime start;
    uint16_t service = 1024;
  };
  const auto daily = [](const char* title, int hour, int days, int first_episode) {
    std::vector<Airing> airings;
    for (int d = 0; d < days; ++d) {
      const std::string t = first_episode > 0 ? title + std::string("(") + std::to_string(first_episode + d) + ")"
                                              : std::string(title);
      airings.push_back({t, At(7 + d, hour)});
    }
    return airings;
  };
  struct Case {
    const char* what;
    std::vector<Airing> guide;  // the first one is the programme the rule is made from
    size_t reserved, reserved_at_the_airing;
  };
  std::vector<Case> cases;
  // Monday to Saturday at 8:00 with its episode, and a rerun of the same title on another service.
  std::vector<Airing> drama = daily("[新]連続テレビ小説　あさの風", 8, 6, 56);
  drama.push_back({"連続テレビ小説　あさの風(56)[再]", At(12, 12), 1032});
  cases.push_back({"daily drama", drama, 6, 1});
  cases.push_back({"news", daily("ニュース７", 19, 7, 0), 7, 1});
  cases.push_back({"two parts",
                   {{"ドラマスペシャル　前編[字]", At(12, 21)}, {"ドラマスペシャル　後編[字]", At(13, 21)},
                    {"ドラマ傑作選", At(13, 23)}},
                   2,
                   1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<GuideEvent> events;
    for (size_t i = 0; i < c.guide.size(); ++i) {
      GuideEvent e = Event(c.guide[i].title.c_str(), c.guide[i].start, c.guide[i].service);
      e.key.event_id = static_cast<uint16_t>(100 + i);
      events.push_back(e);
    }
    const ReservationRule made = RuleFromProgramme(events.front());
    std::sort(events.begin(), events.end(), [](const GuideEvent& a, const GuideEvent& b) { return a.start < b.start; });
    const RuleContext nothing({}, {}, {});
    const auto reserved = [&](const ReservationRule& rule) {
      FoldedGuide folded(events);
      size_t n = 0;
      for (const RuleMatch& m : EvaluateRule(RuleMatcher(rule), folded, nothing)) {
        if (m.verdict == RuleVerdict::kReserve) ++n;
      }
      return n;
    };
    EXPECT_EQ(reserved(made), c.reserved);
    RuleForm form = FormFromRule(made);
    KeepFormToAiring(&form, AiringOf(Event(c.guide.front().title.c_str(), c.guide.front().start)), true);
    EXPECT_EQ(reserved(*BuildRule(form).rule), c.reserved_at_the_airing);
  }
}

}  // namespace
}  // namespace pelkan
