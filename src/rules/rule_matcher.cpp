#include "rules/rule_matcher.h"

#include <string.h>

#include <algorithm>

#include "rules/rule_text.h"

namespace pelkan {

namespace {

// True when `text` holds `word`. memmem skips through long Japanese texts, whose UTF-8 shares a
// few lead bytes, far quicker than a search for the word's first byte.
bool Contains(std::string_view text, std::string_view word) {
  return ::memmem(text.data(), text.size(), word.data(), word.size()) != nullptr;
}

}  // namespace

const std::string& FoldedEvent::Title() {
  if (!title_) title_ = FoldBroadcastText(event_->title);
  return *title_;
}

const std::string& FoldedEvent::Texts(RuleTextScope scope) {
  if (scope == RuleTextScope::kTitle) return Title();
  if (!description_) description_ = Title() + "\n" + FoldBroadcastText(event_->description);
  if (scope == RuleTextScope::kDescription) return *description_;
  if (!all_) all_ = *description_ + "\n" + FoldBroadcastText(event_->extended);
  return *all_;
}

FoldedGuide::FoldedGuide(const std::vector<GuideEvent>& events) {
  events_.reserve(events.size());
  for (const GuideEvent& e : events) events_.emplace_back(&e);
}

std::vector<size_t> FoldedGuide::TitlesHolding(std::string_view word) {
  if (ends_.empty() && !events_.empty()) {
    ends_.reserve(events_.size());
    for (FoldedEvent& e : events_) {
      titles_ += e.Title();
      titles_ += '\n';
      ends_.push_back(titles_.size());
    }
  }
  std::vector<size_t> out;
  const std::string_view all(titles_);
  for (size_t pos = all.find(word); pos != std::string_view::npos;) {
    const size_t i = static_cast<size_t>(std::upper_bound(ends_.begin(), ends_.end(), pos) - ends_.begin());
    out.push_back(i);
    pos = all.find(word, ends_[i]);  // the next title
  }
  return out;
}

const std::string& FoldedEvent::EpisodeKeyOf() {
  if (!episode_key_) episode_key_ = EpisodeKey(*event_, Title());
  return *episode_key_;
}

const std::string& FoldedEvent::TitleKeyOf() {
  if (!title_key_) title_key_ = TitleKey(Title());
  return *title_key_;
}

std::string EpisodeKey(const GuideEvent& event, const std::string& folded_title) {
  if (event.series_id >= 0 && event.episode_number != 0) {
    return "s:" + std::to_string(event.key.original_network_id) + ":" + std::to_string(event.series_id) + ":" +
           std::to_string(event.episode_number);
  }
  return TitleKey(folded_title);
}

std::string TitleKey(const std::string& folded_title) {
  // Blanks are left out: listings space the same title differently from one airing to the next.
  std::string title = TitleWithoutMarks(folded_title);
  std::erase(title, ' ');
  return "t:" + title;
}

std::optional<uint32_t> BroadcastDayOf(GuideTime start, uint8_t weekdays, int from, int to) {
  const int64_t day = start / 86400;
  const int minute = static_cast<int>(start % 86400) / 60;
  if (from < 0) {
    from = 0;
    to = 24 * 60;
  }
  // The calendar day itself, then the day before with the hours past 24:00.
  for (int back = 0; back < 2; ++back) {
    const int m = minute + back * 24 * 60;
    const int64_t d = day - back;
    // MJD 0 was a Wednesday.
    const int weekday = static_cast<int>((d + 3) % 7);
    if (m >= from && m < to && (weekdays & (1u << weekday)) != 0) return static_cast<uint32_t>(d);
  }
  return std::nullopt;
}

RuleMatcher::RuleMatcher(const ReservationRule& rule) : rule_(rule) {
  for (const std::string& w : rule.words) words_.push_back(FoldUserText(w));
  for (const std::string& w : rule.exclude) exclude_.push_back(FoldUserText(w));
  if (!rule.regex.empty()) {
    try {
      regex_.emplace(FoldUserText(rule.regex), std::regex::ECMAScript | std::regex::optimize);
    } catch (const std::regex_error& e) {
      error_ = e.what();
    }
  }
}

bool RuleMatcher::InPeriod(uint32_t day) const {
  return (rule_.valid_from == 0 || day >= rule_.valid_from) && (rule_.valid_until == 0 || day <= rule_.valid_until);
}

std::optional<uint32_t> RuleMatcher::Match(FoldedEvent& folded) const {
  if (!error_.empty()) return std::nullopt;
  const GuideEvent& e = folded.event();
  // The cheap conditions first: most programmes fail one of them.
  if (!rule_.services.empty() &&
      std::find(rule_.services.begin(), rule_.services.end(), e.key.service_id) == rule_.services.end())
    return std::nullopt;
  if (rule_.free_only && e.free_ca_mode) return std::nullopt;
  if (e.HasEnd()) {
    if (rule_.min_minutes != 0 && e.duration < rule_.min_minutes * 60) return std::nullopt;
    if (rule_.max_minutes != 0 && e.duration > rule_.max_minutes * 60) return std::nullopt;
  }
  if (!rule_.genres.empty()) {
    const bool listed = std::any_of(rule_.genres.begin(), rule_.genres.end(), [&e](const RuleGenre& g) {
      return e.genre >= 0 && (e.genre >> 4) == g.level1 && (g.level2 < 0 || (e.genre & 0x0F) == g.level2);
    });
    if (listed == rule_.genres_excluded) return std::nullopt;
  }
  const bool any_time = rule_.weekdays == 0x7F && rule_.window_from < 0;
  const std::optional<uint32_t> day =
      any_time ? std::optional<uint32_t>(static_cast<uint32_t>(e.start / 86400))
               : BroadcastDayOf(e.start, rule_.weekdays, rule_.window_from, rule_.window_to);
  if (!day) return std::nullopt;
  const std::string& text = folded.Texts(rule_.scope);
  if (regex_) {
    if (!std::regex_search(text, *regex_)) return std::nullopt;
  } else {
    for (const std::string& w : words_) {
      if (!Contains(text, w)) return std::nullopt;
    }
  }
  for (const std::string& w : exclude_) {
    if (Contains(text, w)) return std::nullopt;
  }
  return day;
}

}  // namespace pelkan
