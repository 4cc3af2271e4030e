#include "rules/rule_matcher.h"

#include <gtest/gtest.h>

#include "base/mjd_time.h"
#include "platform/broadcast_text.h"

namespace pelkan {
namespace {

constexpr uint8_t kMon = 1u << 1, kTue = 1u << 2, kSun = 1u << 0;

GuideTime At(int day, int hour, int minute) {  // December 2026; the 7th is a Monday
  return GuideTime{MjdFromDate(2026, 12, day)} * 86400 + hour * 3600 + minute * 60;
}

TEST(BroadcastDay, LateNightHoursBelongToTheDayBefore) {
  const uint32_t mon = MjdFromDate(2026, 12, 7);
  struct Case {
    GuideTime start;
    uint8_t weekdays;
    const char* window;
    std::optional<uint32_t> day;
  } cases[] = {
      {At(7, 23, 30), kMon, "23:00-27:00", mon},
      {At(8, 2, 59), kMon, "23:00-27:00", mon},       // Tuesday 02:59 is Monday's 26:59
      {At(8, 3, 0), kMon, "23:00-27:00", std::nullopt},  // the window's end is not in it
      {At(8, 2, 0), kTue, "23:00-27:00", std::nullopt},  // not Tuesday's broadcast day
      {At(7, 22, 59), kMon, "23:00-03:00", std::nullopt},
      {At(8, 1, 0), kMon, "23:00-03:00", mon},        // written the short way round
      {At(8, 1, 30), kMon, "25:00-26:00", mon},       // a window wholly after midnight
      {At(7, 12, 0), kMon, nullptr, mon},             // no window: the calendar day
      {At(6, 12, 0), kSun, nullptr, mon - 1},
      {At(8, 1, 0), kMon, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    int from = -1, to = -1;
    if (c.window) std::tie(from, to) = ParseTimeWindow(c.window).value();
    EXPECT_EQ(BroadcastDayOf(c.start, c.weekdays, from, to), c.day) << c.start << " " << (c.window ? c.window : "");
  }
}

GuideEvent Event(const char* title, GuideTime start, uint32_t minutes = 30) {
  GuideEvent e;
  e.key = {1, 1, 101, 1};
  e.title = platform::Utf8ToBroadcast(title).value();
  e.description = platform::Utf8ToBroadcast("主演 山田").value();
  e.start = start;
  e.duration = minutes * 60;
  e.genre = 0x30;
  return e;
}

TEST(RuleMatcher, EachConditionOfARule) {
  struct Case {
    const char* what;
    void (*setup)(ReservationRule*, GuideEvent*);
    bool matches;
  } cases[] = {
      {"words folded", [](ReservationRule*, GuideEvent*) {}, true},
      {"every word", [](ReservationRule* r, GuideEvent*) { r->words.push_back("ない"); }, false},
      {"excluded word", [](ReservationRule* r, GuideEvent*) { r->exclude = {"［再］"}; }, false},
      {"description out of scope", [](ReservationRule* r, GuideEvent*) { r->words = {"山田"}; }, false},
      {"description in scope",
       [](ReservationRule* r, GuideEvent*) {
         r->words = {"山田"};
         r->scope = RuleTextScope::kDescription;
       },
       true},
      {"regex instead of words",
       [](ReservationRule* r, GuideEvent*) {
         r->words = {"ない"};
         r->regex = "第[0-9]+話";
       },
       true},
      {"other service", [](ReservationRule* r, GuideEvent*) { r->services = {102}; }, false},
      {"genre level 1", [](ReservationRule* r, GuideEvent*) { r->genres = {{3, -1}}; }, true},
      {"genre level 2", [](ReservationRule* r, GuideEvent*) { r->genres = {{3, 1}}; }, false},
      {"genre not these",
       [](ReservationRule* r, GuideEvent*) {
         r->genres = {{3, -1}};
         r->genres_excluded = true;
       },
       false},
      {"too short", [](ReservationRule* r, GuideEvent*) { r->min_minutes = 45; }, false},
      {"too long", [](ReservationRule* r, GuideEvent*) { r->max_minutes = 29; }, false},
      {"pay programme", [](ReservationRule* r, GuideEvent* e) { r->free_only = e->free_ca_mode = true; }, false},
      {"weekday", [](ReservationRule* r, GuideEvent*) { r->weekdays = kTue; }, false},
  };
  for (const Case& c : cases) {
    ReservationRule rule;
    rule.words = {"ＫＩＲＩＮ", "麒麟"};
    GuideEvent e = Event("Kirin 麒麟の道 第3話[再]", At(7, 21, 0));
    c.setup(&rule, &e);
    FoldedEvent folded(&e);
    EXPECT_EQ(RuleMatcher(rule).Match(folded).has_value(), c.matches) << c.what;
  }
}

// Regular expressions: those that backtrack without end over a long title are stopped as too
// complex (each search is bounded, and a stopped rule tries nothing more), those the engine refuses
// are refused with its reason and offset, and the ordinary ones match whole UTF-8 characters over
// the folded texts.
TEST(RuleMatcher, RegularExpressionsAreBoundedRefusedOrMatched) {
  const std::string long_tail(70, 'a');
  struct Case {
    const char* regex;
    std::string title;
    const char* outcome;  // "match", "no match", "too complex", or the refusal
  } cases[] = {
      {"(.*)*x", "x" + long_tail, "too complex"},
      {"(.+)+最終回", "最終回 " + long_tail, "too complex"},
      {"((.)*)*z", "z" + long_tail, "too complex"},
      {"(", "麒麟", "missing closing parenthesis at offset 1"},
      {"麒麟[", "麒麟", "missing terminating ] for character class at offset 7"},
      {"a{2,1}", "aa", "numbers out of order in {} quantifier at offset 5"},
      {"麒麟.道", "麒麟の道 第3話", "match"},               // one character, not one byte
      {"^麒麟の道 第\\d+話$", "麒麟の道 第３話", "match"},  // the full-width digit folded
      {"KIRIN", "Ｋｉｒｉｎ", "match"},                     // folded on both sides, as the words
      {"麒麟(?!の道)", "麒麟の道", "no match"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.regex);
    ReservationRule rule;
    rule.regex = c.regex;
    GuideEvent e = Event("", At(7, 21, 0));
    e.title = platform::Utf8ToBroadcast(c.title).value();
    FoldedEvent folded(&e);
    const RuleMatcher matcher(rule);
    const std::string outcome = c.outcome;
    if (outcome != "match" && outcome != "no match" && outcome != "too complex") {
      EXPECT_FALSE(matcher.valid());
      EXPECT_EQ(matcher.error(), outcome);
      EXPECT_FALSE(matcher.Match(folded));
      continue;
    }
    ASSERT_TRUE(matcher.valid()) << matcher.error();
    EXPECT_EQ(matcher.Match(folded).has_value(), outcome == "match");
    if (outcome == "too complex") {
      EXPECT_EQ(matcher.stopped().rfind("too complex: ", 0), 0u) << matcher.stopped();
      // Stopped for good: a title it would match is not tried.
      GuideEvent plain = Event("x", At(7, 21, 0));
      plain.title = platform::Utf8ToBroadcast("x").value();
      FoldedEvent other(&plain);
      EXPECT_FALSE(matcher.Match(other));
    } else {
      EXPECT_EQ(matcher.stopped(), "");
    }
  }
}

TEST(ReservationRule, BodyAndFormsRoundTrip) {
  ReservationRule r;
  r.name = "麒麟";
  r.memo = "二行の\nメモ \\ 付き";
  r.words = {"麒麟", "道"};
  r.exclude = {"再"};
  r.regex = "第\\d+話";
  r.scope = RuleTextScope::kAll;
  r.services = {101, 102};
  r.genres = {{3, -1}, {7, 1}};
  r.genres_excluded = true;
  r.weekdays = ParseWeekdays("月,火").value();
  std::tie(r.window_from, r.window_to) = ParseTimeWindow("23:00-27:00").value();
  r.min_minutes = 10;
  r.max_minutes = 90;
  r.valid_from = 61000;
  r.valid_until = 61010;
  r.free_only = true;
  r.priority = 5;
  r.margin_before = 30;
  r.margin_after = 60;
  r.directory = "/rec/麒麟";
  r.file_template = "{title}-{episode}";
  r.dedup = RuleDedup::kTitle;
  r.enabled = false;
  EXPECT_EQ(ParseRuleBody(FormatRuleBody(r)), r);

  EXPECT_EQ(ParseWeekdays("mon,tue"), ParseWeekdays("月火"));
  EXPECT_EQ(WeekdaysText(ParseWeekdays("sun,sat,mon").value()), "月,土,日");
  EXPECT_FALSE(ParseWeekdays("月,xyz"));
  EXPECT_EQ(TimeWindowText(r.window_from, r.window_to), "23:00-27:00");
  EXPECT_FALSE(ParseTimeWindow("23:00"));
  EXPECT_EQ(ParseTimeWindow("25:00-26:00"), (std::pair{25 * 60, 26 * 60}));
  EXPECT_FALSE(ParseTimeWindow("47:00-49:00"));
  EXPECT_FALSE(ParseGenre("16"));
  EXPECT_EQ(SplitWords(" 麒麟\u3000道  "), (std::vector<std::string>{"麒麟", "道"}));
}

}  // namespace
}  // namespace pelkan
