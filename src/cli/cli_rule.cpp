// pelkan-cli rule: the automatic reservation rules of rules.sqlite in the home folder: add, list,
// remove, enable and disable them, and test what one matches in the programme guide now.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/json_text.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "base/mjd_time.h"
#include "cli/cli_commands.h"
#include "app/date_time_text.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "rules/rule_genre.h"
#include "rules/rule_runner.h"
#include "rules/rule_store.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli rule";
constexpr uint32_t kLockWaitMs = 10000;

GuideTime Now() {
  return ToGuideTime(JapanTimeNow());
}

std::unique_ptr<RuleStore> OpenRules() {
  std::string notice, error;
  auto store = RuleStore::Open(RulesPath(), &notice, &error);
  if (!notice.empty()) std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(notice).c_str());
  if (!store) std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
  return store;
}

// A scheduler on schedule.ini of the home folder, with the options of pelkan.ini, that does not
// record (the rules only add and remove reservations).
struct RuleSchedule {
  RuleSchedule() : capture([](std::function<void()>) {}, nullptr) {
    Settings settings;
    LoadSettings(SettingsPath(), std::string(), &settings);
    capture.ApplySettings(settings);
    capture.scheduler().LoadSchedule(SchedulePath());
  }
  ScheduledCapture capture;
};

// "YYYY-MM-DD" of an MJD date (as --from and --until take it).
std::string DateText(uint32_t mjd) {
  int y = 0, m = 0, d = 0;
  MjdToDate(mjd, &y, &m, &d);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

// "YYYY-MM-DDTHH:MM:SS+09:00" of a broadcast time, as the other JSON outputs write times.
std::string JsonTime(GuideTime t) {
  int h = 0, mi = 0, s = 0;
  SecondsToHms(static_cast<uint32_t>(t % 86400), &h, &mi, &s);
  char text[32];
  std::snprintf(text, sizeof text, "T%02d:%02d:%02d+09:00", h, mi, s);
  return DateText(static_cast<uint32_t>(t / 86400)) + text;
}

std::string TimeText(GuideTime t) {
  int h = 0, mi = 0, s = 0;
  SecondsToHms(static_cast<uint32_t>(t % 86400), &h, &mi, &s);
  char text[16];
  std::snprintf(text, sizeof text, " %02d:%02d", h, mi);
  return DateText(static_cast<uint32_t>(t / 86400)) + text;
}

OptionParser::Take List(std::vector<std::string>* out) {
  return [out](const std::string& text) -> std::string {
    *out = SplitWords(text);
    return out->empty() ? "has no word" : "";
  };
}

OptionParser::Take Date(uint32_t* out) {
  return [out](const std::string& text) -> std::string {
    const char* problem = nullptr;
    const auto t = ParseDateTimeText((text + " 00:00").c_str(), &problem);
    if (!t) return "is not a date YYYY-MM-DD";
    *out = t->date;
    return {};
  };
}

// The options of `rule add` (and of `rule test` without an id) over `r`.
void DeclareRule(OptionParser& parser, ReservationRule* r, bool* words_given) {
  parser.Value("--name N", "the rule's name (default: its words)", [r](const std::string& v) {
    r->name = v;
    return std::string();
  });
  parser.Value("--words \"…\"", "words that must all appear (separated by blanks)", [r, words_given](const std::string& v) {
    *words_given = true;
    return List(&r->words)(v);
  });
  parser.Value("--exclude \"…\"", "words that must not appear", List(&r->exclude));
  parser.Value("--regex RE", "a regular expression (Perl-compatible, PCRE2) instead of the words",
               [r](const std::string& v) {
                 r->regex = v;
                 const RuleMatcher matcher(*r);
                 return matcher.valid() ? std::string() : "is not a regular expression: " + matcher.error();
               });
  parser.Value("--in title|description|all", "where the words are looked for (default title)",
               [r](const std::string& v) -> std::string {
                 const auto scope = ParseTextScope(v);
                 if (!scope) return "is not title, description or all";
                 r->scope = *scope;
                 return {};
               });
  parser.Value("--service ID,...", "only these services", [r](const std::string& v) -> std::string {
    r->services.clear();
    size_t pos = 0;
    while (pos <= v.size()) {
      size_t end = v.find(',', pos);
      if (end == std::string::npos) end = v.size();
      const auto id = ParseNumber(v.substr(pos, end - pos), 0xFFFF);
      if (!id) return "is not a list of service ids";
      r->services.push_back(static_cast<uint16_t>(*id));
      pos = end + 1;
    }
    return {};
  });
  std::string genres = GenreNamesText("  ");
  genres.pop_back();
  parser.Value("--genre G,...",
               "only these genres: content_nibble_level_1, level_1.level_2, or the\n"
               "names the guide shows (ドラマ, ドラマ/国内ドラマ); a leading ! takes every\n"
               "genre but these. The names:\n" +
                   genres,
               [r](const std::string& v) -> std::string {
                 std::string list = v;
                 r->genres_excluded = !list.empty() && list[0] == '!';
                 if (r->genres_excluded) list.erase(0, 1);
                 r->genres.clear();
                 size_t pos = 0;
                 while (pos <= list.size()) {
                   size_t end = list.find(',', pos);
                   if (end == std::string::npos) end = list.size();
                   const std::string part = list.substr(pos, end - pos);
                   std::optional<RuleGenre> g = ParseGenre(part);
                   if (!g) g = ParseGenreName(part);
                   if (!g) return "is not a list of genres 0-15, 0-15.0-15 or their names";
                   r->genres.push_back(*g);
                   pos = end + 1;
                 }
                 return {};
               });
  parser.Value("--weekday 月,火|mon,tue", "only these days of the broadcast day", [r](const std::string& v) -> std::string {
    const auto days = ParseWeekdays(v);
    if (!days) return "is not a list of weekdays";
    r->weekdays = *days;
    return {};
  });
  parser.Value("--time HH:MM-HH:MM", "the start within this window of the broadcast day; 23:00-27:00\n"
               "runs to 03:00 the next morning",
               [r](const std::string& v) -> std::string {
                 const auto w = ParseTimeWindow(v);
                 if (!w) return "is not a window HH:MM-HH:MM";
                 std::tie(r->window_from, r->window_to) = *w;
                 return {};
               });
  parser.Number("--min-minutes N", "programmes of at least N minutes", 1, 24 * 60, &r->min_minutes);
  parser.Number("--max-minutes N", "programmes of at most N minutes", 1, 24 * 60, &r->max_minutes);
  parser.Value("--from DATE", "reserve broadcast days from DATE (YYYY-MM-DD)", Date(&r->valid_from));
  parser.Value("--until DATE", "reserve broadcast days up to DATE", Date(&r->valid_until));
  parser.Flag("--free-only", "free programmes only (free_CA_mode 0)", &r->free_only);
  parser.Number("--priority N", "the reservations' priority 1-5 (default 3)", kMinPriority, kMaxPriority, &r->priority);
  const std::string margins = "0-" + std::to_string(kMaxMarginSeconds);
  parser.Number("--margin-before S", "start S seconds before the programme, " + margins + " (default 5)", 0,
                kMaxMarginSeconds, &r->margin_before);
  parser.Number("--margin-after S", "end S seconds after it, " + margins + " (default 0)", 0,
                kMaxMarginSeconds, &r->margin_after);
  parser.Value("--dedup episode|title|off", "what counts as recorded or aired before: the same episode\n"
               "(default), the same title, or nothing",
               [r](const std::string& v) -> std::string {
                 const auto d = ParseDedup(v);
                 if (!d) return "is not episode, title or off";
                 r->dedup = *d;
                 return {};
               });
  parser.Value("--dir DIR", "the recordings' folder (default REC_AUTOPATH of pelkan.ini)",
               [r](const std::string& v) {
                 r->directory = v;
                 return ShiftJisProblem(v);
               });
  parser.Value("--file TEMPLATE",
               "the file name with {title} {date} {time} {episode} {service}\n"
               "(default the automatic name); a '/' of a title becomes '／'",
               [r](const std::string& v) {
                 r->file_template = v;
                 if (v.find('/') != std::string::npos) return std::string("has a '/' (the folder is --dir)");
                 return ShiftJisProblem(v);
               });
}

std::string Csv(const std::vector<std::string>& parts, const char* separator = " ") {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

std::string ServicesText(const ReservationRule& r) {
  std::vector<std::string> ids;
  for (uint16_t s : r.services) ids.push_back(std::to_string(s));
  return ids.empty() ? "all" : Csv(ids, ",");
}

std::string WordsText(const ReservationRule& r) {
  if (!r.regex.empty()) return "/" + r.regex + "/";
  std::string text = Csv(r.words);
  if (!r.exclude.empty()) text += " -" + Csv(r.exclude, " -");
  return text;
}

// A rule whose matching was stopped, on stderr.
void TellStopped(uint32_t rule_id, const std::string& why) {
  std::fprintf(stderr,
               "%s: rule %u: its regular expression was stopped (%s); it reserves nothing until it is "
               "changed\n",
               kName, rule_id, why.c_str());
}

std::optional<uint32_t> RuleId(const std::string& text) {
  const auto id = ParseNumber(text, 0xFFFFFFFF);
  if (!id || *id == 0) return std::nullopt;
  return static_cast<uint32_t>(*id);
}

int Add(int argc, char** argv) {
  ReservationRule rule;
  bool words = false;
  OptionParser parser(kName, "Usage: pelkan-cli rule add --name N --words \"…\" [options]\n"
                             "Adds an automatic reservation rule and runs it over the programme guide.\n\n",
                      {}, 29);
  DeclareRule(parser, &rule, &words);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (!words && rule.regex.empty() && rule.genres.empty() && rule.services.empty())
    return parser.Fail("give --words, --regex, --genre or --service");
  if (rule.name.empty()) rule.name = rule.regex.empty() ? Csv(rule.words) : rule.regex;
  auto store = OpenRules();
  if (!store) return 1;
  RuleSchedule s;
  // Never the id of a rule whose reservations the reservation file still holds (a rules file made
  // anew after a damaged one starts counting again).
  rule.id = store->Save(rule, HighestRuleId(s.capture.scheduler().Reservations()));
  if (rule.id == 0) {
    std::fprintf(stderr, "%s: cannot write %s\n", kName, RulesPath().c_str());
    return 1;
  }
  std::printf("added: %u\t%s\n", rule.id, OneLineText(rule.name).c_str());
  auto guide = GuideStore::Open(GuidePath(), GuideStore::Access::kRead, false, nullptr, nullptr);
  if (!guide) return 0;  // the rule runs once a guide is there
  const RuleRunResult r = RunRules(*store, *guide, s.capture.scheduler(), Now(), kLockWaitMs);
  for (const StoppedRule& stopped : r.stopped) TellStopped(stopped.rule_id, stopped.why);
  if (!r.locked) {
    std::fprintf(stderr, "%s: %s is locked by another process; the rule runs later\n", kName, SchedulePath().c_str());
    return 0;
  }
  std::printf("reserved: %d\n", r.reserved);
  if (r.restored > 0) std::printf("%s\n", RestoredReservationsText(r.restored).c_str());
  return 0;
}

int ListRules(int argc, char** argv) {
  bool json = false;
  OptionParser parser(kName, "Usage: pelkan-cli rule list [--json]\nThe automatic reservation rules.\n\n", {}, 19);
  parser.Flag("--json", "a JSON array of one object per rule", &json);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto store = OpenRules();
  if (!store) return 1;
  const GuideTime now = Now();
  std::vector<GuideEvent> events;
  auto guide = GuideStore::Open(GuidePath(), GuideStore::Access::kRead, false, nullptr, nullptr);
  const std::vector<ReservationRule> rules = store->Rules();
  if (guide) events = FutureEvents(*guide, now, NeedTexts(rules));
  RuleSchedule s;
  const std::vector<ScheduleItem> reservations = s.capture.scheduler().Reservations();
  const RuleContext context = ContextOf(s.capture.scheduler(), store.get(), guide.get(), events, now);
  std::string out = json ? "[" : "ID\t有効\t名前\tキーワード\tサービス\t次の放送\t予約数\n";
  for (size_t i = 0; i < rules.size(); ++i) {
    const ReservationRule& r = rules[i];
    int count = 0;
    for (const ScheduleItem& item : reservations) count += item.rule_id == r.id;
    std::optional<GuideTime> next;
    std::string stopped;
    const std::vector<RuleMatch> matches = TestRule(r, events, context, &stopped);
    if (!stopped.empty()) TellStopped(r.id, stopped);
    for (const RuleMatch& m : matches) {
      if (m.verdict == RuleVerdict::kReserve || m.verdict == RuleVerdict::kReserved) {
        next = m.event->start;
        break;
      }
    }
    if (json) {
      out += std::string(i ? ",\n  " : "\n  ") + "{\"id\": " + std::to_string(r.id) +
             ", \"name\": " + JsonString(r.name) + ", \"enabled\": " + (r.enabled ? "true" : "false") +
             ", \"words\": " + JsonString(Csv(r.words)) + ", \"exclude\": " + JsonString(Csv(r.exclude)) +
             ", \"regex\": " + JsonString(r.regex) + ", \"in\": " + JsonString(TextScopeName(r.scope)) +
             ", \"services\": " + JsonString(ServicesText(r)) + ", \"dedup\": " + JsonString(DedupName(r.dedup)) +
             ", \"priority\": " + std::to_string(r.priority) +
             ", \"next\": " + (next ? JsonString(JsonTime(*next)) : std::string("null")) +
             ", \"reservations\": " + std::to_string(count) + "}";
    } else {
      out += std::to_string(r.id) + "\t" + (r.enabled ? "有効" : "無効") + "\t" + OneLineText(r.name) + "\t" +
             OneLineText(WordsText(r)) + "\t" + ServicesText(r) + "\t" + (next ? TimeText(*next) : "-") + "\t" +
             std::to_string(count) + "\n";
    }
  }
  // Reservations of rules the rules file no longer knows (it was made anew, or they were removed
  // with their reservations kept): listed, never taken by a new rule.
  std::map<uint32_t, int> unknown;
  for (const ScheduleItem& item : reservations) {
    if (item.rule_id != 0 && std::none_of(rules.begin(), rules.end(),
                                          [&item](const ReservationRule& r) { return r.id == item.rule_id; }))
      ++unknown[item.rule_id];
  }
  bool first = rules.empty();
  for (const auto& [id, count] : unknown) {
    if (json) {
      out += std::string(first ? "\n  " : ",\n  ") + "{\"id\": " + std::to_string(id) +
             ", \"name\": " + JsonString(kUnknownRuleText) +
             ", \"unknown\": true, \"reservations\": " + std::to_string(count) + "}";
    } else {
      out += std::to_string(id) + "\t-\t" + kUnknownRuleText + "\t-\t-\t-\t" + std::to_string(count) + "\n";
    }
    first = false;
  }
  if (json) out += rules.empty() && unknown.empty() ? "]\n" : "\n]\n";
  std::fputs(out.c_str(), stdout);
  return 0;
}

int Remove(int argc, char** argv) {
  std::optional<uint32_t> id;
  bool keep = false;
  OptionParser parser(kName, "Usage: pelkan-cli rule remove ID [--keep-reservations]\n"
                             "Deletes a rule and the reservations it made that have not started.\n\n",
                      {}, 22);
  parser.Positionals("ID", 1, 1, [&id](const std::string& v) -> std::string {
    id = RuleId(v);
    return id ? "" : "is not a rule id";
  });
  parser.Flag("--keep-reservations", "keep the rule's reservations", &keep);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto store = OpenRules();
  if (!store) return 1;
  if (!store->Find(*id)) {
    std::fprintf(stderr, "%s: no rule %u\n", kName, *id);
    return 1;
  }
  int removed = 0, begun = 0;
  if (!keep) {
    RuleSchedule s;
    auto guide = GuideStore::Open(GuidePath(), GuideStore::Access::kRead, false, nullptr, nullptr);
    removed =
        RemoveRuleReservations(*id, *store, s.capture.scheduler(), guide.get(), Now(), kLockWaitMs, &begun);
    if (removed < 0) {
      std::fprintf(stderr, "%s: %s is locked by another process; try again\n", kName, SchedulePath().c_str());
      return 1;
    }
  }
  store->Remove(*id);
  std::printf("removed: rule %u, %d reservations\n", *id, removed);
  if (begun > 0)
    std::printf(
        "kept: %d reservations that have begun (or whose start is not known): they record to their end\n",
        begun);
  return 0;
}

int SetEnabled(int argc, char** argv, bool enabled) {
  std::optional<uint32_t> id;
  OptionParser parser(kName, std::string("Usage: pelkan-cli rule ") + (enabled ? "enable" : "disable") + " ID\n", {},
                      12);
  parser.Positionals("ID", 1, 1, [&id](const std::string& v) -> std::string {
    id = RuleId(v);
    return id ? "" : "is not a rule id";
  });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto store = OpenRules();
  if (!store) return 1;
  std::optional<ReservationRule> rule = store->Find(*id);
  if (!rule) {
    std::fprintf(stderr, "%s: no rule %u\n", kName, *id);
    return 1;
  }
  rule->enabled = enabled;
  store->Save(*rule);
  std::printf("%s: %u\n", enabled ? "enabled" : "disabled", *id);
  return 0;
}

int Test(int argc, char** argv) {
  ReservationRule rule;
  bool words = false, json = false;
  std::optional<uint32_t> id;
  OptionParser parser(kName, "Usage: pelkan-cli rule test (ID | the add options) [--json]\n"
                             "Every programme of the guide the rule matches now, with its verdict.\n\n",
                      {}, 29);
  parser.Positionals("ID", 0, 1, [&id](const std::string& v) -> std::string {
    id = RuleId(v);
    return id ? "" : "is not a rule id";
  });
  DeclareRule(parser, &rule, &words);
  parser.Flag("--json", "{\"matches\": [...]} with service_id, event_id, start, title, episode,\n"
              "verdict (reserve, reserved, duplicate, recorded, deleted, outside) and reason", &json);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto store = OpenRules();
  if (!store) return 1;
  if (id) {
    std::optional<ReservationRule> stored = store->Find(*id);
    if (!stored) {
      std::fprintf(stderr, "%s: no rule %u\n", kName, *id);
      return 1;
    }
    rule = *stored;
  } else if (!words && rule.regex.empty() && rule.genres.empty() && rule.services.empty()) {
    return parser.Fail("give a rule ID, or --words, --regex, --genre or --service");
  }
  std::string error;
  auto guide = GuideStore::Open(GuidePath(), GuideStore::Access::kRead, false, nullptr, &error);
  if (!guide) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  RuleSchedule s;
  const GuideTime now = Now();
  const std::vector<GuideEvent> events = FutureEvents(*guide, now, rule.scope != RuleTextScope::kTitle);
  std::string stopped;
  const auto matches = TestRule(
      rule, events, ContextOf(s.capture.scheduler(), store.get(), guide.get(), events, now), &stopped);
  if (!stopped.empty()) TellStopped(rule.id, stopped);
  std::string out = json ? "{\"matches\": [" : "サービス\tイベント\t開始\t番組名\t回\t判定\t理由\n";
  for (size_t i = 0; i < matches.size(); ++i) {
    const RuleMatch& m = matches[i];
    const std::string title = platform::BroadcastToUtf8(m.event->title);
    if (json) {
      out += std::string(i ? ",\n  " : "\n  ") + "{\"service_id\": " + std::to_string(m.event->key.service_id) +
             ", \"event_id\": " + std::to_string(m.event->key.event_id) +
             ", \"start\": " + JsonString(JsonTime(m.event->start)) + ", \"title\": " + JsonString(title) +
             ", \"episode\": " + (m.event->episode_number ? std::to_string(m.event->episode_number) : "null") +
             ", \"verdict\": " + JsonString(RuleVerdictName(m.verdict)) + ", \"reason\": " + JsonString(RuleMatchReason(m)) +
             "}";
    } else {
      out += std::to_string(m.event->key.service_id) + "\t" + std::to_string(m.event->key.event_id) + "\t" +
             TimeText(m.event->start) + "\t" + OneLineText(title) + "\t" + (m.event->episode_number ? EpisodeLabel(m.event->episode_number) : "-") +
             "\t" + std::string(RuleVerdictName(m.verdict)) + "\t" + RuleMatchReason(m) + "\n";
    }
  }
  if (json) out += matches.empty() ? "]}\n" : "\n]}\n";
  std::fputs(out.c_str(), stdout);
  // The matches of a stopped rule are not all it would match.
  return stopped.empty() ? 0 : 1;
}

}  // namespace

int RunRule(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli rule add --name N --words \"…\" [options]\n"
                      "       pelkan-cli rule list [--json]\n"
                      "       pelkan-cli rule remove ID [--keep-reservations]\n"
                      "       pelkan-cli rule enable|disable ID\n"
                      "       pelkan-cli rule test (ID | the add options) [--json]\n"
                      "Works on rules.sqlite, schedule.ini and epg.sqlite of the home folder; a running\n"
                      "'pelkan-cli capture --schedule' or desktop program runs the rules whenever the guide\n"
                      "or the rules change.\n",
                      {}, 10);
  parser.Command("add", "a new rule (see 'rule add --help'); it runs at once when there is a guide", Add);
  parser.Command("list", "the rules with their words, services, next programme and reservations", ListRules);
  parser.Command("remove", "deletes a rule and, unless --keep-reservations, its unstarted reservations", Remove);
  parser.Command("enable", "lets a rule make reservations again", [](int c, char** v) { return SetEnabled(c, v, true); });
  parser.Command("disable", "stops a rule making reservations (those made stay)",
                 [](int c, char** v) { return SetEnabled(c, v, false); });
  parser.Command("test", "every programme the rule matches in the guide, with its verdict and reason", Test);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
