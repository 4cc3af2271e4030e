#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "guide/guide_event.h"
#include "rules/reservation_rule.h"
#include "rules/rule_matcher.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// What became of a programme a rule matches.
enum class RuleVerdict {
  kReserve,    // to be reserved (予約する)
  kReserved,   // already reserved, by hand or by a rule (予約済み)
  kDuplicate,  // an earlier airing of the same episode is reserved or to be (同じ回の放送が先にあります)
  kRecorded,   // the episode was recorded whole before (録画済み 第12話 2026-12-01)
  kDeleted,    // a rule's reservation of it was deleted by hand (手動で削除済み)
  kOutside,    // outside the rule's validity period (期間外)
};

// The command-line and JSON name of a verdict ("reserve", "reserved", "duplicate", "recorded",
// "deleted", "outside").
std::string_view RuleVerdictName(RuleVerdict verdict);

// An episode recorded whole (a clean report: no drops, no errors, no gaps, not cut at either end,
// the programme's start and end both in the file).
struct RecordedEpisode {
  std::string episode_key;
  std::string title_key;
  GuideTime start = 0;
  uint16_t episode_number = 0;
};

// A programme a rule made a reservation of, and whether the user asked for it despite a verdict
// ("この回も録画"), with the ListId of the reservation file it went into (empty when not known).
struct RuleMark {
  GuideEventKey key;
  uint32_t rule_id = 0;
  bool forced = false;
  std::string list_id;
};

// Everything the rules are judged against besides the guide: the reservations, the recorded
// episodes and the rules' marks, indexed once for a run over many rules.
class RuleContext {
 public:
  RuleContext(const std::vector<ScheduleItem>& reservations, const std::vector<RecordedEpisode>& recorded,
              const std::vector<RuleMark>& marks);
  // The event reservation of `key`, or null.
  const ScheduleItem* Reservation(const GuideEventKey& key) const;
  const RecordedEpisode* Recorded(std::string_view key, RuleDedup dedup) const;
  const RuleMark* Mark(const GuideEventKey& key) const;
  // Notes a reservation made during the run, so that later rules see it.
  void AddReservation(const ScheduleItem& item);
  // The ListId of the reservation file the reservations come from ("" for a file without one).
  // Not set (the default): marks are never taken for reservations lost with their file.
  void SetListId(std::string list_id) { list_id_ = std::move(list_id); }
  // True when the reservation `mark` stands for was lost with a damaged or replaced reservation
  // file rather than deleted by hand: it went into a file of another ListId.
  bool LostWithFile(const RuleMark& mark) const {
    return list_id_ && !mark.list_id.empty() && mark.list_id != *list_id_;
  }
  // Notes a reserved programme that has begun (not among the programmes judged): its episode and
  // title are taken, so that no later airing of them is reserved while it records.
  void AddRunning(std::string episode_key, std::string title_key);
  const std::vector<std::string>& Running(RuleDedup dedup) const {
    return dedup == RuleDedup::kTitle ? running_titles_ : running_episodes_;
  }

  static uint64_t Id(const GuideEventKey& key);

 private:
  std::vector<ScheduleItem> reservations_;
  std::unordered_map<uint64_t, size_t> by_event_;
  std::unordered_map<std::string, RecordedEpisode> by_episode_, by_title_;
  std::unordered_map<uint64_t, RuleMark> marks_;
  std::optional<std::string> list_id_;
  std::vector<std::string> running_episodes_, running_titles_;
};

// One programme a rule matches and its verdict.
struct RuleMatch {
  const GuideEvent* event = nullptr;  // in the events the rule was evaluated over
  RuleVerdict verdict = RuleVerdict::kReserve;
  // kRecorded: the start and episode of the recording that counts.
  GuideTime recorded_start = 0;
  uint16_t recorded_episode = 0;
  // kReserve: a rule's reservation of it was lost with a damaged or replaced reservation file.
  bool lost = false;
  // With the duplicate check by episode: the programme tells no episode (no series descriptor's
  // episode, no episode mark in its title), so every airing of it is recorded.
  bool no_episode = false;
};

// A programme a rule matches, before its verdict: its index in the FoldedGuide and its broadcast
// day.
struct RuleHit {
  size_t index = 0;
  uint32_t day = 0;
};

// The label of a programme's episode ("第12話"), empty when it is not numbered.
std::string EpisodeLabel(uint16_t episode_number);
// The verdict as the windows show it (UTF-8): 予約する (回の情報なし: 毎回録画 for a programme
// without an episode), 予約済み, 同じ回の放送が先にあります, 録画済み 第12話 2026-12-01, 手動で削除済み,
// 期間外.
std::string RuleMatchReason(const RuleMatch& match);
// The name shown for a reservation whose rule the rules file does not know (UTF-8).
inline constexpr char kUnknownRuleText[] = "ルール不明";
// The notice (UTF-8) that `count` rule reservations lost with a damaged or replaced reservation file
// were made again.
std::string RestoredReservationsText(int count);

// Every programme of `events` that `matcher` matches, in order: the costly part of a rule's run,
// done without the reservation file's lock. Cut short when the matcher's regular expression is
// stopped (RuleMatcher::stopped).
std::vector<RuleHit> MatchRule(const RuleMatcher& matcher, FoldedGuide& events);
// The verdict of each hit against `context`; the matches point into `events` and `context`. A
// later airing of an episode already reserved (or to be, or recording now) is a duplicate; an
// episode recorded whole is told as recorded even when its reservation was deleted by hand; a
// reservation lost with its file is made again; a forced mark overrides every verdict but
// reserved. Pure function.
std::vector<RuleMatch> JudgeRule(const RuleMatcher& matcher, const std::vector<RuleHit>& hits,
                                 FoldedGuide& events, const RuleContext& context);
// Every programme of `events` (sorted by start, all starting after now) that `matcher` matches,
// in order, with its verdict (MatchRule, then JudgeRule).
std::vector<RuleMatch> EvaluateRule(const RuleMatcher& matcher, FoldedGuide& events, const RuleContext& context);

// The reservation a rule makes of `event`: an event reservation limited to its service, with the
// rule's margins, priority, folder (`default_directory` when it has none), file name and mark.
ScheduleItem RuleReservation(const ReservationRule& rule, const GuideEvent& event,
                             std::string_view default_directory);

}  // namespace pelkan
