#include "app/rule_window_rules.h"

#include <algorithm>
#include <regex>
#include <utility>

#include "base/mjd_time.h"
#include "guide/broadcast_text.h"
#include "guide/guide_coverage.h"
#include "guide/guide_texts.h"
#include "platform/text_codec.h"
#include "rules/rule_matcher.h"
#include "rules/rule_text.h"

namespace pelkan {
namespace {

std::string Join(const std::vector<std::string>& words, std::string_view prefix) {
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty()) out += ' ';
    out.append(prefix).append(w);
  }
  return out;
}

// "12/8(火) 23:00".
std::string WhenText(GuideTime start) {
  std::string when = platform::SjisToUtf8(guide_text::DayText(static_cast<uint32_t>(start / 86400)));
  when += ' ';
  when += guide_text::ClockText(start);
  return when;
}

// A window of an hour around a start: half an hour before it to half an hour after.
constexpr int kWindowAround = 30;

}  // namespace

RuleForm FormFromRule(const ReservationRule& rule) {
  RuleForm form;
  form.rule = rule;
  form.words = Join(rule.words, "");
  form.exclude = Join(rule.exclude, "");
  if (rule.window_from >= 0 && rule.window_to >= 0)
    form.time_window = TimeWindowText(rule.window_from, rule.window_to);
  return form;
}

RuleFormCheck BuildRule(const RuleForm& form) {
  RuleFormCheck check;
  const auto refuse = [&check](std::string_view message, RuleFormField field) {
    check.message = message;
    check.field = field;
    return check;
  };
  ReservationRule rule = form.rule;
  rule.words = SplitWords(form.words);
  rule.exclude = SplitWords(form.exclude);
  if (rule.regex.find_first_not_of(" \t") == std::string::npos) rule.regex.clear();
  if (rule.words.empty() && rule.regex.empty())
    return refuse("キーワードか正規表現を入力してください。", RuleFormField::kWords);
  if (!rule.regex.empty()) {
    const RuleMatcher matcher(rule);
    // With the engine's reason and where in the expression it stopped reading.
    if (!matcher.valid())
      return refuse("正規表現が正しくありません。\n(" + matcher.error() + ")", RuleFormField::kRegex);
  }
  if ((rule.weekdays & 0x7F) == 0) return refuse("曜日を一つ以上選んでください。", RuleFormField::kWeekdays);
  rule.window_from = rule.window_to = -1;
  if (form.time_window.find_first_not_of(" \t") != std::string::npos) {
    const auto window = ParseTimeWindow(form.time_window);
    if (!window) return refuse("時間帯は 23:00-27:00 のように入力してください。", RuleFormField::kTimeWindow);
    rule.window_from = window->first;
    rule.window_to = window->second;
  }
  if (rule.min_minutes != 0 && rule.max_minutes != 0 && rule.min_minutes > rule.max_minutes)
    return refuse("最短の長さが最長より長くなっています。", RuleFormField::kMinutes);
  if (rule.valid_from != 0 && rule.valid_until != 0 && rule.valid_from > rule.valid_until)
    return refuse("期間の終わりが始まりより前になっています。", RuleFormField::kPeriod);
  if (rule.name.find_first_not_of(" \t") == std::string::npos)
    rule.name = rule.regex.empty() ? Join(rule.words, "") : rule.regex;
  check.rule = std::move(rule);
  return check;
}

bool IsSuppressed(RuleVerdict verdict) {
  switch (verdict) {
    case RuleVerdict::kReserve:
    case RuleVerdict::kReserved:
      return false;
    case RuleVerdict::kDuplicate:
    case RuleVerdict::kRecorded:
    case RuleVerdict::kDeleted:
    case RuleVerdict::kOutside:
      break;
  }
  return true;
}

RuleRow RuleRowOf(const ReservationRule& rule, const std::vector<RuleMatch>& matches, size_t reservations,
                  const ServiceNameFn& service_name) {
  RuleRow row;
  row.name = rule.name;
  row.words = rule.regex.empty() ? Join(rule.words, "") : "/" + rule.regex + "/";
  if (!rule.exclude.empty()) {
    if (!row.words.empty()) row.words += ' ';
    row.words += Join(rule.exclude, "-");
  }
  if (rule.services.empty()) {
    row.services = "すべて";
  } else {
    for (uint16_t id : rule.services) {
      if (!row.services.empty()) row.services += ", ";
      const std::string name = service_name ? service_name(id) : std::string();
      row.services += name.empty() ? std::to_string(id) : name;
    }
  }
  row.next = "なし";
  if (!rule.enabled) {
    row.next = "無効";
  } else {
    for (const RuleMatch& m : matches) {
      if (IsSuppressed(m.verdict)) continue;
      row.next = WhenText(m.event->start);
      row.next += ' ';
      row.next += BroadcastTextUtf8(m.event->title);
      break;
    }
  }
  row.count = std::to_string(reservations);
  return row;
}

RuleMatchRow RuleMatchRowOf(const RuleMatch& match, const ServiceNameFn& service_name, const StaleFn& stale) {
  RuleMatchRow row;
  const GuideEvent& e = *match.event;
  row.when = WhenText(e.start);
  row.service = service_name ? service_name(e.key.service_id) : std::string();
  if (row.service.empty()) row.service = std::to_string(e.key.service_id);
  row.title = BroadcastTextUtf8(e.title);
  row.verdict = RuleMatchReason(match);
  if (stale && stale(e)) row.verdict += " " + platform::SjisToUtf8(StaleGuideText());
  row.suppressed = IsSuppressed(match.verdict);
  return row;
}

ReservationRule RuleFromProgramme(const GuideEvent& e) {
  ReservationRule rule;
  // The series, not this episode: the title ends where its episode begins.
  static const std::regex kEpisode(
      "第(?:[0-9]+|(?:一|二|三|四|五|六|七|八|九|十|百|〇)+)(?:話|回|夜|部|章)|#[0-9]+|\\([0-9]+\\)|"
      "前編|中編|後編|\\[前\\]|\\[中\\]|\\[後\\]");
  const std::string title = TitleWithoutMarks(FoldBroadcastText(e.title));
  std::smatch episode;
  std::string series = title;
  if (std::regex_search(title, episode, kEpisode)) {
    const std::string before = episode.prefix().str();
    // A title that starts with its episode keeps what follows it.
    series = before.find_first_not_of(' ') != std::string::npos ? before : episode.suffix().str();
  }
  rule.words = SplitWords(series);
  if (rule.words.empty()) rule.words = SplitWords(title);
  rule.name = Join(rule.words, "");
  rule.services = {e.key.service_id};
  return rule;
}

RuleAiring AiringOf(const GuideEvent& e) {
  RuleAiring airing;
  const auto day = static_cast<uint32_t>(e.start / 86400);
  const int minute = static_cast<int>(e.start % 86400 / 60);
  airing.weekdays = static_cast<uint8_t>(1u << ((day + 3) % 7));  // MJD 0 was a Wednesday
  airing.window_from = std::max(0, minute - kWindowAround);
  airing.window_to = minute + kWindowAround;
  return airing;
}

void KeepFormToAiring(RuleForm* form, const RuleAiring& airing, bool only) {
  form->rule.weekdays = only ? airing.weekdays : uint8_t{0x7F};
  form->time_window = only ? TimeWindowText(airing.window_from, airing.window_to) : std::string();
}

bool FormKeepsToAiring(const RuleForm& form, const RuleAiring& airing) {
  const auto window = ParseTimeWindow(form.time_window);
  return form.rule.weekdays == airing.weekdays && window &&
         *window == std::make_pair(airing.window_from, airing.window_to);
}

ReservationRule RuleFromSearch(std::string_view words) {
  ReservationRule rule;
  rule.words = SplitWords(words);
  rule.name = Join(rule.words, "");
  rule.scope = RuleTextScope::kAll;
  return rule;
}

namespace rule_text {

std::string DeleteQuestion(std::string_view name) {
  std::string text = "自動予約「";
  text.append(name).append(
      "」を削除します。\nこのルールが作った予約のうち、まだ始まっていないものも削除しますか？\n"
      "（「いいえ」で予約は残します）");
  return text;
}

}  // namespace rule_text

}  // namespace pelkan
