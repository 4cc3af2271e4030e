#include "rules/rule_matcher.h"

#include <algorithm>

#include "rules/rule_text.h"

namespace pelkan {

namespace {

// The signature bit of the line break that joins the texts of a programme.
const uint8_t kLineBreakBit = TextSignature::CharBit("\n");

// The text every match of the regular expression `pattern` (folded) starts with: its
// plain characters up to the first special one, less the last when a quantifier that allows none
// follows it; empty when the pattern has alternatives anywhere.
std::string LiteralStart(std::string_view pattern) {
  if (pattern.find('|') != std::string_view::npos) return {};
  const size_t end = pattern.find_first_of("\\^$.*+?()[]{}");
  std::string_view literal = pattern.substr(0, end);
  if (end != std::string_view::npos && (pattern[end] == '*' || pattern[end] == '?' || pattern[end] == '{')) {
    // The quantifier applies to the last byte; the whole last character is left out.
    size_t last = literal.size();
    while (last > 0 && (static_cast<unsigned char>(literal[last - 1]) & 0xC0) == 0x80) --last;
    literal = literal.substr(0, last > 0 ? last - 1 : 0);
  }
  return std::string(literal);
}

}  // namespace

std::string_view FoldedEvent::Title() {
  return Texts(RuleTextScope::kTitle);
}

std::string_view FoldedEvent::Texts(RuleTextScope scope) {
  if (!title_folded_) {
    AppendFoldedBroadcastText(event_->title, &texts_, &signature_);
    title_end_ = static_cast<uint32_t>(texts_.size());
    title_folded_ = true;
  }
  if (scope != RuleTextScope::kTitle && folded_ == RuleTextScope::kTitle) {
    texts_ += '\n';
    signature_.AddBit(kLineBreakBit);
    AppendFoldedBroadcastText(event_->description, &texts_, &signature_);
    description_end_ = static_cast<uint32_t>(texts_.size());
    folded_ = RuleTextScope::kDescription;
  }
  if (scope == RuleTextScope::kAll && folded_ != RuleTextScope::kAll) {
    texts_ += '\n';
    signature_.AddBit(kLineBreakBit);
    AppendFoldedBroadcastText(event_->extended, &texts_, &signature_);
    folded_ = RuleTextScope::kAll;
  }
  const std::string_view all(texts_);
  switch (scope) {
    case RuleTextScope::kTitle:
      return all.substr(0, title_end_);
    case RuleTextScope::kDescription:
      return all.substr(0, description_end_);
    case RuleTextScope::kAll:
      break;
  }
  return all;
}

FoldedGuide::FoldedGuide(const std::vector<GuideEvent>& events) {
  events_.reserve(events.size());
  for (const GuideEvent& e : events) events_.emplace_back(&e);
}

std::vector<size_t> FoldedGuide::TitlesHolding(const WordSearch& word) {
  if (ends_.empty() && !events_.empty()) {
    ends_.reserve(events_.size());
    signed_.reserve(events_.size());
    for (FoldedEvent& e : events_) {
      titles_ += e.Title();
      titles_ += '\n';
      ends_.push_back(static_cast<uint32_t>(titles_.size()));
      signed_.push_back(e.signature().Narrow());
    }
  }
  std::vector<size_t> out;
  const uint64_t wanted = word.signature().Narrow();
  const std::string_view all(titles_);
  for (size_t i = 0; i < signed_.size(); ++i) {
    if ((signed_[i] & wanted) != wanted) continue;
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    if (word.In(all.substr(begin, ends_[i] - begin - 1))) out.push_back(i);
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

std::string EpisodeKey(const GuideEvent& event, std::string_view folded_title) {
  if (event.series_id >= 0 && event.episode_number != 0) {
    return "s:" + std::to_string(event.key.original_network_id) + ":" + std::to_string(event.series_id) + ":" +
           std::to_string(event.episode_number);
  }
  return TitleKey(folded_title);
}

std::string TitleKey(std::string_view folded_title) {
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
  for (const std::string& w : rule.words) {
    words_.push_back(FoldUserText(w));
    word_searches_.emplace_back(words_.back());
  }
  for (const std::string& w : rule.exclude) exclude_searches_.emplace_back(FoldUserText(w));
  if (!rule.regex.empty()) {
    const std::string pattern = FoldUserText(rule.regex);
    regex_ = std::make_unique<RuleRegex>(pattern);
    if (regex_->valid()) {
      needle_ = WordSearch(LiteralStart(pattern));
    } else {
      error_ = regex_->error();
    }
  } else {
    std::string longest;
    for (const std::string& w : words_) {
      if (w.size() > longest.size()) longest = w;
    }
    needle_ = WordSearch(longest);
  }
}

RuleMatcher::~RuleMatcher() = default;
RuleMatcher::RuleMatcher(RuleMatcher&&) noexcept = default;

const std::string& RuleMatcher::stopped() const {
  static const std::string kNone;
  return regex_ ? regex_->stopped() : kNone;
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
  const std::string_view text = folded.Texts(rule_.scope);
  // A text lacking one of a word's characters (by the signatures) is not searched. The needle
  // first: it rules most programmes out before the regular expression or the other words are tried.
  const TextSignature& signature = folded.signature();
  if (!needle_.In(text, signature)) return std::nullopt;
  if (regex_) {
    if (regex_->Search(text) != RuleRegex::Result::kMatch) return std::nullopt;
  } else {
    for (const WordSearch& w : word_searches_) {
      if (!w.In(text, signature)) return std::nullopt;
    }
  }
  for (const WordSearch& w : exclude_searches_) {
    if (w.In(text, signature)) return std::nullopt;
  }
  return day;
}

}  // namespace pelkan
