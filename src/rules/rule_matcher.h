#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "guide/guide_event.h"
#include "rules/reservation_rule.h"

namespace pelkan {

// The texts of one programme folded for the rules (FoldBroadcastText), each folded the first time
// a rule asks for it, so that many rules over one guide fold every text at most once.
class FoldedEvent {
 public:
  explicit FoldedEvent(const GuideEvent* event) : event_(event) {}
  const GuideEvent& event() const { return *event_; }
  const std::string& Title();
  // Title, description and extended text as far as `scope` reaches, separated by line breaks.
  const std::string& Texts(RuleTextScope scope);

 private:
  const GuideEvent* event_;
  std::optional<std::string> title_, description_, all_;
};

// The broadcast day (MJD) whose window [from, to) minutes holds `start`, counting a start after
// midnight as the day before when the window reaches past 24:00 ("23:00-27:00" holds 02:00 of the
// next morning), and whose weekday is in `weekdays` (bit 0 Sunday); nullopt when none does. A
// window of -1 is the whole calendar day. Pure function.
std::optional<uint32_t> BroadcastDayOf(GuideTime start, uint8_t weekdays, int from, int to);

// A rule made ready to test many programmes: its words folded, its regular expression compiled.
class RuleMatcher {
 public:
  explicit RuleMatcher(const ReservationRule& rule);

  const ReservationRule& rule() const { return rule_; }
  // False when the regular expression does not compile (`error` says why, English); such a rule
  // matches nothing.
  bool valid() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // The broadcast day of the programme when it meets every condition of the rule but the validity
  // period; nullopt when it does not.
  std::optional<uint32_t> Match(FoldedEvent& event) const;
  // True when a programme of broadcast day `day` lies within the validity period.
  bool InPeriod(uint32_t day) const;

 private:
  ReservationRule rule_;
  std::vector<std::string> words_;
  std::vector<std::string> exclude_;
  std::optional<std::regex> regex_;
  std::string error_;
};

}  // namespace pelkan
