#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "schedule/schedule_item.h"

namespace pelkan {

// Which texts of a programme a rule's words are looked for in.
enum class RuleTextScope { kTitle, kDescription, kAll };  // title; + description; + extended text

// How a rule tells that a programme was already recorded or is aired again.
enum class RuleDedup { kOff, kEpisode, kTitle };

// One genre condition: content_nibble_level_1, and level_2 or -1 for any.
struct RuleGenre {
  int level1 = 0;
  int level2 = -1;
  bool operator==(const RuleGenre&) const = default;
};

// An automatic reservation rule ("自動予約"): which programmes of the guide it reserves and how
// it reserves them. Texts are UTF-8. A plain record copied by value.
struct ReservationRule {
  uint32_t id = 0;  // given by the rules file; 0 until stored
  std::string name;
  bool enabled = true;
  std::string memo;

  // Every word must appear, none of `exclude`; or, when `regex` is set, it must match (ECMAScript,
  // over the folded texts) and the words are ignored.
  std::vector<std::string> words;
  std::vector<std::string> exclude;
  std::string regex;
  RuleTextScope scope = RuleTextScope::kTitle;

  std::vector<uint16_t> services;  // empty: every service
  std::vector<RuleGenre> genres;   // empty: every genre
  bool genres_excluded = false;    // the genres are the ones not wanted
  // Days of the broadcast day (bit 0 Sunday ... bit 6 Saturday) and its time window in minutes
  // from 00:00 of that day; the end may pass 24:00 ("23:00-27:00"), and -1 means the whole day.
  uint8_t weekdays = 0x7F;
  int window_from = -1;
  int window_to = -1;
  uint32_t min_minutes = 0;  // 0: no bound
  uint32_t max_minutes = 0;
  uint32_t valid_from = 0;   // MJD of the first broadcast day it reserves; 0 no bound
  uint32_t valid_until = 0;  // MJD of the last one; 0 no bound
  bool free_only = false;    // only programmes with free_CA_mode 0

  uint8_t priority = kDefaultPriority;
  uint16_t margin_before = kDefaultMarginBefore;
  uint16_t margin_after = kDefaultMarginAfter;
  std::string directory;      // empty: the default recording folder
  std::string file_template;  // empty: the automatic name; else with {title} {date} {time} {episode} {service}
  RuleDedup dedup = RuleDedup::kEpisode;

  bool operator==(const ReservationRule&) const = default;
};

// The rule as "Key=Value" lines (its body in the rules file) and back. Parse keeps the defaults
// for keys it does not know or cannot read. Pure functions.
std::string FormatRuleBody(const ReservationRule& rule);
ReservationRule ParseRuleBody(std::string_view body);

// Readers of the command-line and dialog forms, nullopt when the text is not one. Pure functions.
// "月,火" or "mon,tue" (also "月火"): the weekday bits.
std::optional<uint8_t> ParseWeekdays(std::string_view text);
// "23:00-27:00": the window in minutes (the end after the start, at most 48:00; "23:00-03:00" is
// read as "23:00-27:00", and "25:00-26:00" is 01:00-02:00 of the next morning).
std::optional<std::pair<int, int>> ParseTimeWindow(std::string_view text);
// "7" or "7.1": a genre; "title", "description", "all"; "episode", "title", "off".
std::optional<RuleGenre> ParseGenre(std::string_view text);
std::optional<RuleTextScope> ParseTextScope(std::string_view text);
std::optional<RuleDedup> ParseDedup(std::string_view text);
// The forms written back: "月,火", "23:00-27:00", "7.1", "title", "episode".
std::string WeekdaysText(uint8_t weekdays);
std::string TimeWindowText(int from, int to);
std::string GenreText(const RuleGenre& genre);
std::string_view TextScopeName(RuleTextScope scope);
std::string_view DedupName(RuleDedup dedup);
// Words separated by blanks (the ideographic space too).
std::vector<std::string> SplitWords(std::string_view text);

}  // namespace pelkan
