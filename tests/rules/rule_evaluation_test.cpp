#include "rules/rule_evaluation.h"

#include <gtest/gtest.h>

#include "base/mjd_time.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "rules/rule_text.h"

namespace pelkan {
namespace {

GuideTime At(int day, int hour) {  // December 2026
  return GuideTime{MjdFromDate(2026, 12, day)} * 86400 + hour * 3600;
}

struct Airing {
  uint16_t event_id;
  const char* title;
  GuideTime start;
  int32_t series = -1;
  uint16_t episode = 0;
  uint8_t repeat = 0;
};

GuideEvent ToEvent(const Airing& a) {
  GuideEvent e;
  e.key = {4, 5, 101, a.event_id};
  e.title = platform::Utf8ToBroadcast(a.title).value();
  e.start = a.start;
  e.duration = 1800;
  e.series_id = a.series;
  e.episode_number = a.episode;
  e.repeat_label = a.repeat;
  return e;
}

ScheduleItem ByHand(uint16_t event_id) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT;
  item.network_id = 4;
  item.stream_id = 5;
  item.service_id = 101;
  item.event_id = event_id;
  return item;
}

TEST(EvaluateRule, DuplicatesRecordedDeletedAndOutside) {
  const std::vector<Airing> drama = {
      {1, "麒麟の道 第12話", At(7, 8), 7, 12},
      {2, "麒麟の道 第12話[再]", At(8, 5), 7, 12, 1},  // the next morning's rerun
      {3, "麒麟の道 第13話", At(8, 8), 7, 13},
  };
  const std::vector<Airing> special = {
      {11, "麒麟スペシャル 前編", At(9, 20), 8, 1},
      {12, "麒麟スペシャル 後編", At(10, 20), 8, 2},
      {13, "麒麟スペシャル 前編[再]", At(11, 20), 8, 1, 1},
  };
  const std::vector<Airing> unnumbered = {
      {21, "[新]麒麟の街 [前]", At(7, 23)},
      {22, "麒麟の街 [後][字]", At(8, 23)},
      {23, "【再】麒麟の街 [前]", At(9, 23)},
      {24, "麒麟の街［前］(再)", At(10, 23)},
  };
  const std::vector<RecordedEpisode> ep11 = {{"s:4:7:11", "t:麒麟の道第11話", At(1, 8), 11}};
  struct Case {
    const char* what;
    std::vector<Airing> airings;
    RuleDedup dedup;
    std::vector<ScheduleItem> reservations;
    std::vector<RecordedEpisode> recorded;
    std::vector<RuleMark> marks;
    uint32_t valid_until;
    std::vector<std::string> verdicts;
  } cases[] = {
      {"rerun by the series descriptor",
       drama,
       RuleDedup::kEpisode,
       {},
       {},
       {},
       0,
       {"reserve", "duplicate", "reserve"}},
      {"deduplication off", drama, RuleDedup::kOff, {}, {}, {}, 0, {"reserve", "reserve", "reserve"}},
      {"parts of one series",
       special,
       RuleDedup::kEpisode,
       {},
       {},
       {},
       0,
       {"reserve", "reserve", "duplicate"}},
      {"by title keeping [前]/[後]",
       unnumbered,
       RuleDedup::kEpisode,
       {},
       {},
       {},
       0,
       {"reserve", "reserve", "duplicate", "duplicate"}},
      {"reserved by hand takes the episode",
       drama,
       RuleDedup::kEpisode,
       {ByHand(1)},
       {},
       {},
       0,
       {"reserved", "duplicate", "reserve"}},
      {"recorded before",
       {{31, "麒麟の道 第11話[再]", At(7, 5), 7, 11, 1}},
       RuleDedup::kEpisode,
       {},
       ep11,
       {},
       0,
       {"recorded"}},
      {"recorded, same title",
       {{32, "麒麟の道 第11話", At(7, 5)}},
       RuleDedup::kTitle,
       {},
       ep11,
       {},
       0,
       {"recorded"}},
      {"deleted by hand sticks for that airing only",
       drama,
       RuleDedup::kEpisode,
       {},
       {},
       {{{4, 5, 101, 1}, 1, false, ""}},
       0,
       {"deleted", "reserve", "reserve"}},
      {"recorded, its next airing deleted by hand: told as recorded",
       {{31, "麒麟の道 第11話[再]", At(7, 5), 7, 11, 1}},
       RuleDedup::kEpisode,
       {},
       ep11,
       {{{4, 5, 101, 31}, 1, false, ""}},
       0,
       {"recorded"}},
      {"この回も録画",
       drama,
       RuleDedup::kEpisode,
       {},
       {},
       {{{4, 5, 101, 2}, 1, true, ""}},
       0,
       {"reserve", "reserve", "reserve"}},
      {"a title without an episode: every airing (回の情報なし)",
       {{41, "麒麟ニュース", At(7, 6)}, {42, "麒麟ニュース", At(8, 6)}},
       RuleDedup::kEpisode,
       {},
       {},
       {},
       0,
       {"reserve", "reserve"}},
      {"前編 tells its episode",
       {{43, "麒麟 前編", At(7, 1)}, {44, "麒麟 前編", At(8, 1)}},
       RuleDedup::kEpisode,
       {},
       {},
       {},
       0,
       {"reserve", "duplicate"}},
      {"outside the period",
       drama,
       RuleDedup::kEpisode,
       {},
       {},
       {},
       MjdFromDate(2026, 12, 7),
       {"reserve", "outside", "outside"}},
  };
  for (const Case& c : cases) {
    ReservationRule rule;
    rule.id = 1;
    rule.words = {"麒麟"};
    rule.dedup = c.dedup;
    rule.valid_until = c.valid_until;
    std::vector<GuideEvent> events;
    for (const Airing& a : c.airings) events.push_back(ToEvent(a));
    FoldedGuide folded(events);
    const RuleContext context(c.reservations, c.recorded, c.marks);
    std::vector<std::string> verdicts;
    for (const RuleMatch& m : EvaluateRule(RuleMatcher(rule), folded, context))
      verdicts.emplace_back(RuleVerdictName(m.verdict));
    EXPECT_EQ(verdicts, c.verdicts) << c.what;
  }
}

// A rule of the title looks only at the titles holding its needle: the rule's longest word or the
// text its regular expression starts with; the needle must never leave out a programme the
// expression itself matches.
TEST(EvaluateRule, TitleNeedleLeavesOutNoMatch) {
  const char* const titles[] = {"麒麟の道 第12話", "kirin no michi", "kiri no michi", "kirinn no michi",
                                "麒麟スペシャル", "道"};
  std::vector<GuideEvent> events;
  for (size_t i = 0; i < std::size(titles); ++i) {
    events.push_back(ToEvent({static_cast<uint16_t>(i + 1), titles[i], At(7, static_cast<int>(i))}));
  }
  struct Case {
    std::vector<std::string> words;
    const char* regex;
    size_t matches;
  } cases[] = {
      {{"の道", "麒麟"}, "", 1},      {{"kirin", "michi"}, "", 2},   {{}, "kirin? no", 2},
      {{}, "kirin* no", 3},           {{}, "kirin{0,1} no", 2},      {{}, "kirin+ no", 2},
      {{}, "麒麟|michi$", 5},         {{}, "(kiri)?n no", 2},        {{}, "麒麟の道 第[0-9]+話$", 1},
      {{}, "^道", 1},                 {{}, "第\\d+話", 1},           {{}, "ri.n", 2},
  };
  for (const Case& c : cases) {
    ReservationRule rule;
    rule.words = c.words;
    rule.regex = c.regex;
    rule.dedup = RuleDedup::kOff;
    FoldedGuide folded(events);
    EXPECT_EQ(EvaluateRule(RuleMatcher(rule), folded, RuleContext({}, {}, {})).size(), c.matches) << c.regex;
  }
}

TEST(EvaluateRule, ReasonsAsTheWindowsShowThem) {
  const std::vector<GuideEvent> events = {ToEvent({1, "麒麟の道 第11話", At(7, 8), 7, 11}),
                                          ToEvent({2, "麒麟の道 第13話", At(8, 8), 7, 13}),
                                          ToEvent({3, "麒麟の道 第13話[再]", At(9, 8), 7, 13, 1})};
  FoldedGuide folded(events);
  const RuleContext context({}, {{"s:4:7:11", "", At(1, 8), 11}}, {});
  ReservationRule rule;
  rule.words = {"麒麟"};
  const std::vector<RuleMatch> m = EvaluateRule(RuleMatcher(rule), folded, context);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(RuleMatchReason(m[0]), "録画済み 第11話 2026-12-01");
  EXPECT_EQ(RuleMatchReason(m[1]), "予約する");
  EXPECT_EQ(EpisodeLabel(m[1].event->episode_number), "第13話");
  EXPECT_EQ(RuleMatchReason(m[2]), "同じ回の放送が先にあります");

  const std::vector<GuideEvent> news = {ToEvent({4, "麒麟ニュース", At(7, 6)})};
  FoldedGuide folded_news(news);
  const std::vector<RuleMatch> n = EvaluateRule(RuleMatcher(rule), folded_news, context);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(RuleMatchReason(n[0]), "回の情報なし: 毎回録画");
}

TEST(RuleReservation, CarriesTheRulesSettings) {
  ReservationRule rule;
  rule.id = 9;
  rule.priority = 5;
  rule.margin_before = 60;
  rule.margin_after = 120;
  const GuideEvent e = ToEvent({7, "麒麟の道 第3話", At(7, 21), 7, 3});
  ScheduleItem item = RuleReservation(rule, e, "/rec");
  EXPECT_EQ(item.flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
  EXPECT_EQ(item.event_id, 7);
  EXPECT_EQ(item.rule_id, 9u);
  EXPECT_EQ(item.priority, 5);
  EXPECT_EQ(item.margin_before, 60);
  EXPECT_EQ(item.margin_after, 120);
  EXPECT_EQ(GetText(item.directory), "/rec");
  EXPECT_EQ(GetText(item.file_name), e.title);

  rule.directory = "/tv";
  rule.file_template = "{date}-{time}-{service}-{episode}";
  item = RuleReservation(rule, e, "/rec");
  EXPECT_EQ(GetText(item.directory), "/tv");
  EXPECT_EQ(GetText(item.file_name), "20261207-2100-101-3");
  EXPECT_TRUE(item.flags & SI_FILE_NAME);

  // A '/' of the title never leads the file into another folder.
  rule.file_template = "{title}";
  item = RuleReservation(rule, ToEvent({7, "../../etc/麒麟 1/2", At(7, 21), 7, 3}), "/rec");
  EXPECT_EQ(platform::SjisToUtf8(GetText(item.file_name)), "..／..／etc／麒麟 1／2");
}

}  // namespace
}  // namespace pelkan
