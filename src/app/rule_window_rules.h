#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guide/guide_event.h"
#include "rules/reservation_rule.h"
#include "rules/rule_evaluation.h"

// The rules of the automatic reservation windows ("自動予約" and its edit dialog): the rule as the
// dialog's fields hold it and its validation, the rows of the rule list and of the live match
// list, and the rules the guide's popup starts from. Texts are UTF-8. Pure functions.

namespace pelkan {

// The edit dialog's fields: what has a typed control lives in `rule`, the rest as typed.
struct RuleForm {
  ReservationRule rule;
  std::string words;        // words separated by blanks
  std::string exclude;      // likewise
  std::string time_window;  // "23:00-27:00", empty for the whole day
};

// The field a refusal is about, so that the dialog can point at it.
enum class RuleFormField { kNone, kWords, kRegex, kWeekdays, kTimeWindow, kMinutes, kPeriod };

struct RuleFormCheck {
  std::optional<ReservationRule> rule;  // the rule when the fields make one
  std::string message;                  // why not (UTF-8), empty when they do
  RuleFormField field = RuleFormField::kNone;
};

RuleForm FormFromRule(const ReservationRule& rule);
// Checks the fields and builds the rule: words or a regular expression that compiles, a weekday,
// a time window that reads, the shortest length not over the longest, the period not ending
// before it starts. A rule without a name is named after its words (or its expression).
RuleFormCheck BuildRule(const RuleForm& form);

// True for the verdicts under which a match is not reserved although the rule matches it
// (duplicate, recorded, deleted by hand, outside the period): the match list strikes them through.
bool IsSuppressed(RuleVerdict verdict);

// The name of a service by its id (UTF-8), empty when unknown.
using ServiceNameFn = std::function<std::string(uint16_t service_id)>;

// A row of the rule list.
struct RuleRow {
  std::string name;
  std::string words;     // "麒麟 -再放送", or the regular expression as "/…/"
  std::string services;  // "すべて" or the names, comma separated
  std::string next;      // "12/8(火) 23:00 麒麟の道 第12話", "なし", or "無効"
  std::string count;     // reservations the rule made: "3"
};
// `matches` is what the rule matches now (TestRule), `reservations` how many reservations it made.
RuleRow RuleRowOf(const ReservationRule& rule, const std::vector<RuleMatch>& matches, size_t reservations,
                  const ServiceNameFn& service_name);

// Whether what the guide says of a programme is old (GuideCoverage::Stale).
using StaleFn = std::function<bool(const GuideEvent& e)>;

// A row of the live match list: "12/8(火) 23:00", the service, the title, the verdict's text
// (followed by "番組情報が古い" when `stale` says so of the programme, as the reservation list marks it).
struct RuleMatchRow {
  std::string when, service, title, verdict;
  bool suppressed = false;
};
RuleMatchRow RuleMatchRowOf(const RuleMatch& match, const ServiceNameFn& service_name,
                            const StaleFn& stale = nullptr);

// A rule for the series of programme `e` ("この番組で自動予約を作成"): its title folded, without its
// marks and cut before its episode (第12話, #12, (12), 前編, [後], ...), as the words, and its
// service; every weekday and the whole day, so that a daily programme matches every airing.
ReservationRule RuleFromProgramme(const GuideEvent& e);

// The weekday and time window of one airing, which the rule dialog offers as one check box
// ("この曜日・時間帯だけ"): the weekday of its day and an hour around its start.
struct RuleAiring {
  uint8_t weekdays = 0x7F;
  int window_from = -1;
  int window_to = -1;
};
RuleAiring AiringOf(const GuideEvent& e);
// Holds the fields to `airing`'s weekday and window (`only`), or opens them to every weekday and
// the whole day.
void KeepFormToAiring(RuleForm* form, const RuleAiring& airing, bool only);
// True when the fields hold exactly `airing`'s weekday and window.
bool FormKeepsToAiring(const RuleForm& form, const RuleAiring& airing);
// A rule for the guide's search ("検索条件で自動予約を作成"): its words, looked for in every text
// as the search does.
ReservationRule RuleFromSearch(std::string_view words);

// Texts of the rule list window's question and of the verdict column (UTF-8).
namespace rule_text {
inline constexpr std::string_view kCaption = "自動予約";
// Deleting a rule: whether its reservations that have not started go too (%s: the rule's name).
std::string DeleteQuestion(std::string_view name);
inline constexpr std::string_view kLockFailed =
    "予約ファイルを他のプログラムが使っているため、予約を変更できませんでした。";
inline constexpr std::string_view kSaveFailed = "自動予約のファイル rules.sqlite に書き込めません。";
// "この回も録画" refused: reserved already, or the reservation file held by another program.
inline constexpr std::string_view kReserveFailed =
    "この回を予約できませんでした。すでに予約されているか、予約ファイルを他のプログラムが使っています。";
}  // namespace rule_text

}  // namespace pelkan
