#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guide/guide_event.h"
#include "rules/reservation_rule.h"
#include "rules/rule_regex.h"
#include "rules/rule_text.h"

namespace pelkan {

// The texts of one programme folded for the rules (FoldBroadcastText), each folded the first time
// a rule asks for it, so that many rules over one guide fold every text at most once.
class FoldedEvent {
 public:
  explicit FoldedEvent(const GuideEvent* event) : event_(event) {}
  const GuideEvent& event() const { return *event_; }
  std::string_view Title();
  // Title, description and extended text as far as `scope` reaches, separated by line breaks.
  // Valid until the next call of Texts or Title.
  std::string_view Texts(RuleTextScope scope);
  // The characters of the texts folded so far (at least those of the last Texts or Title).
  const TextSignature& signature() const { return signature_; }
  // EpisodeKey and TitleKey of the event.
  const std::string& EpisodeKeyOf();
  const std::string& TitleKeyOf();

 private:
  const GuideEvent* event_;
  TextSignature signature_;
  // The folded title, then, once asked for, a line break and the folded description, then a line
  // break and the folded extended text: one string, so a wider scope is a longer prefix of it.
  std::string texts_;
  uint32_t title_end_ = 0, description_end_ = 0;
  RuleTextScope folded_ = RuleTextScope::kTitle;  // the widest scope in texts_, when title_folded_
  bool title_folded_ = false;
  std::optional<std::string> episode_key_, title_key_;
};

// The programmes one run of the rules goes over, folded as the rules ask (FoldedEvent), with the
// folded titles also kept side by side with their signatures, so that a rule's word is looked for
// in all titles at once, most of them ruled out by their signature alone.
class FoldedGuide {
 public:
  // `events` must outlive the object.
  explicit FoldedGuide(const std::vector<GuideEvent>& events);
  size_t size() const { return events_.size(); }
  FoldedEvent& operator[](size_t i) { return events_[i]; }
  // Indices, in order, of the programmes whose folded title holds `word` (folded, not empty).
  std::vector<size_t> TitlesHolding(const WordSearch& word);

 private:
  std::vector<FoldedEvent> events_;
  std::string titles_;            // every folded title followed by a line break
  std::vector<uint32_t> ends_;    // the offset after each title's line break; empty until first used
  std::vector<uint64_t> signed_;  // each title's signature (TextSignature::Narrow)
};

// The keys that tell one episode from another (see ReservationRule::dedup): with the series
// descriptor, its network, series and episode; without it (or unnumbered), the folded title
// without its marks and blanks. The title key is always the latter. Pure functions.
std::string EpisodeKey(const GuideEvent& event, std::string_view folded_title);
std::string TitleKey(std::string_view folded_title);

// The broadcast day (MJD) whose window [from, to) minutes holds `start`, counting a start after
// midnight as the day before when the window reaches past 24:00 ("23:00-27:00" holds 02:00 of the
// next morning), and whose weekday is in `weekdays` (bit 0 Sunday); nullopt when none does. A
// window of -1 is the whole calendar day. Pure function.
std::optional<uint32_t> BroadcastDayOf(GuideTime start, uint8_t weekdays, int from, int to);

// A rule made ready to test many programmes: its words folded, its regular expression compiled
// (RuleRegex, whose limits and budget hold for every programme this object tests).
class RuleMatcher {
 public:
  explicit RuleMatcher(const ReservationRule& rule);
  ~RuleMatcher();
  RuleMatcher(RuleMatcher&&) noexcept;

  const ReservationRule& rule() const { return rule_; }
  // The folded words (empty with a regular expression).
  const std::vector<std::string>& words() const { return words_; }
  // A folded text that every programme the rule matches holds in the texts of its scope: its
  // longest word, or the text the regular expression starts with; an empty word when there is none.
  const WordSearch& needle() const { return needle_; }
  // False when the regular expression does not compile (`error` says why, English, with the
  // offset in the folded expression); such a rule matches nothing.
  bool valid() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Why the regular expression's matching was stopped (RuleRegex::stopped: too complex, or over
  // its time budget); empty while it goes on. A stopped rule matches nothing more: what it matched
  // so far is not all it would match.
  const std::string& stopped() const;

  // The broadcast day of the programme when it meets every condition of the rule but the validity
  // period; nullopt when it does not (or the matching was stopped).
  std::optional<uint32_t> Match(FoldedEvent& event) const;
  // True when a programme of broadcast day `day` lies within the validity period.
  bool InPeriod(uint32_t day) const;

 private:
  ReservationRule rule_;
  std::vector<std::string> words_;
  std::vector<WordSearch> word_searches_, exclude_searches_;
  // Tried on many texts through a const object: its limits and budget are the matching's own state.
  std::unique_ptr<RuleRegex> regex_;
  WordSearch needle_;
  std::string error_;
};

}  // namespace pelkan
