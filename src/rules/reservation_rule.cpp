#include "rules/reservation_rule.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <tuple>

namespace pelkan {
namespace {

// Text values are written on one line: a backslash and a line break are escaped.
std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out.push_back(text[i + 1] == 'n' ? '\n' : text[i + 1]);
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

template <typename T>
std::optional<T> Number(std::string_view text) {
  T v{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::vector<std::string_view> SplitList(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(separator, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(pos, end - pos);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty()) out.push_back(part);
    pos = end + 1;
  }
  return out;
}

std::string Join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

constexpr std::array<std::string_view, 7> kDayKanji = {"日", "月", "火", "水", "木", "金", "土"};
constexpr std::array<std::string_view, 7> kDayEnglish = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

std::optional<int> ClockMinutes(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto h = Number<int>(text.substr(0, colon));
  const auto m = Number<int>(text.substr(colon + 1));
  if (!h || !m || *h < 0 || *h > 48 || *m < 0 || *m > 59) return std::nullopt;
  return *h * 60 + *m;
}

}  // namespace

std::vector<std::string> SplitWords(std::string_view text) {
  // The ideographic space (U+3000) separates words as a blank does.
  std::string spaced;
  spaced.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i, 3) == "\u3000") {
      spaced.push_back(' ');
      i += 3;
    } else {
      spaced.push_back(text[i++]);
    }
  }
  for (char& c : spaced) {
    if (c == '\t') c = ' ';
  }
  std::vector<std::string> out;
  for (std::string_view w : SplitList(spaced, ' ')) out.emplace_back(w);
  return out;
}

std::optional<uint8_t> ParseWeekdays(std::string_view text) {
  uint8_t bits = 0;
  for (std::string_view part : SplitList(text, ',')) {
    bool found = false;
    for (int d = 0; d < 7 && !found; ++d) {
      if (part == kDayEnglish[d]) {
        bits |= static_cast<uint8_t>(1u << d);
        found = true;
      }
    }
    // Kanji days may be run together ("土日").
    while (!found && !part.empty()) {
      int day = -1;
      for (int d = 0; d < 7; ++d) {
        if (part.starts_with(kDayKanji[d])) day = d;
      }
      if (day < 0) return std::nullopt;
      bits |= static_cast<uint8_t>(1u << day);
      part.remove_prefix(kDayKanji[day].size());
      if (part.empty()) found = true;
    }
    if (!found) return std::nullopt;
  }
  if (bits == 0) return std::nullopt;
  return bits;
}

std::string WeekdaysText(uint8_t weekdays) {
  std::vector<std::string> days;
  for (int i = 1; i <= 7; ++i) {  // Monday first, as listings write a week
    const int d = i % 7;
    if (weekdays & (1u << d)) days.emplace_back(kDayKanji[d]);
  }
  return Join(days, ",");
}

std::optional<std::pair<int, int>> ParseTimeWindow(std::string_view text) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto from = ClockMinutes(text.substr(0, dash));
  auto to = ClockMinutes(text.substr(dash + 1));
  if (!from || !to || *from >= 48 * 60) return std::nullopt;
  // "23:00-03:00" is the same window as "23:00-27:00".
  if (*to <= *from) *to += 24 * 60;
  if (*to > 48 * 60 || *to <= *from) return std::nullopt;
  return std::pair{*from, *to};
}

std::string TimeWindowText(int from, int to) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", from / 60, from % 60, to / 60, to % 60);
  return text;
}

std::optional<RuleGenre> ParseGenre(std::string_view text) {
  const size_t dot = text.find('.');
  const auto l1 = Number<int>(text.substr(0, dot));
  if (!l1 || *l1 < 0 || *l1 > 15) return std::nullopt;
  RuleGenre g{*l1, -1};
  if (dot != std::string_view::npos) {
    const auto l2 = Number<int>(text.substr(dot + 1));
    if (!l2 || *l2 < 0 || *l2 > 15) return std::nullopt;
    g.level2 = *l2;
  }
  return g;
}

std::string GenreText(const RuleGenre& genre) {
  std::string text = std::to_string(genre.level1);
  if (genre.level2 >= 0) text.append(1, '.').append(std::to_string(genre.level2));
  return text;
}

std::optional<RuleTextScope> ParseTextScope(std::string_view text) {
  if (text == "title") return RuleTextScope::kTitle;
  if (text == "description") return RuleTextScope::kDescription;
  if (text == "all") return RuleTextScope::kAll;
  return std::nullopt;
}

std::string_view TextScopeName(RuleTextScope scope) {
  switch (scope) {
    case RuleTextScope::kDescription:
      return "description";
    case RuleTextScope::kAll:
      return "all";
    default:
      return "title";
  }
}

std::optional<RuleDedup> ParseDedup(std::string_view text) {
  if (text == "episode") return RuleDedup::kEpisode;
  if (text == "title") return RuleDedup::kTitle;
  if (text == "off") return RuleDedup::kOff;
  return std::nullopt;
}

std::string_view DedupName(RuleDedup dedup) {
  switch (dedup) {
    case RuleDedup::kTitle:
      return "title";
    case RuleDedup::kOff:
      return "off";
    default:
      return "episode";
  }
}

std::string FormatRuleBody(const ReservationRule& r) {
  std::string out;
  auto line = [&out](std::string_view key, std::string_view value) {
    out.append(key).append("=").append(Escape(value)).append("\n");
  };
  std::vector<std::string> services, genres;
  for (uint16_t s : r.services) services.push_back(std::to_string(s));
  for (const RuleGenre& g : r.genres) genres.push_back(GenreText(g));
  line("Name", r.name);
  line("Enabled", r.enabled ? "1" : "0");
  line("Memo", r.memo);
  line("Words", Join(r.words, " "));
  line("Exclude", Join(r.exclude, " "));
  line("Regex", r.regex);
  line("In", TextScopeName(r.scope));
  line("Services", Join(services, ","));
  line("Genres", Join(genres, ","));
  line("GenresExcluded", r.genres_excluded ? "1" : "0");
  line("Weekdays", std::to_string(r.weekdays));
  line("Time", r.window_from >= 0 ? TimeWindowText(r.window_from, r.window_to) : "");
  line("MinMinutes", std::to_string(r.min_minutes));
  line("MaxMinutes", std::to_string(r.max_minutes));
  line("From", std::to_string(r.valid_from));
  line("Until", std::to_string(r.valid_until));
  line("FreeOnly", r.free_only ? "1" : "0");
  line("Priority", std::to_string(r.priority));
  line("MarginBefore", std::to_string(r.margin_before));
  line("MarginAfter", std::to_string(r.margin_after));
  line("Dir", r.directory);
  line("File", r.file_template);
  line("Dedup", DedupName(r.dedup));
  return out;
}

ReservationRule ParseRuleBody(std::string_view body) {
  ReservationRule r;
  for (std::string_view raw : SplitList(body, '\n')) {
    const size_t eq = raw.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = raw.substr(0, eq);
    const std::string value = Unescape(raw.substr(eq + 1));
    auto flag = [&value] { return value == "1"; };
    if (key == "Name") {
      r.name = value;
    } else if (key == "Enabled") {
      r.enabled = flag();
    } else if (key == "Memo") {
      r.memo = value;
    } else if (key == "Words") {
      r.words = SplitWords(value);
    } else if (key == "Exclude") {
      r.exclude = SplitWords(value);
    } else if (key == "Regex") {
      r.regex = value;
    } else if (key == "In") {
      r.scope = ParseTextScope(value).value_or(r.scope);
    } else if (key == "Services") {
      for (std::string_view s : SplitList(value, ',')) {
        if (auto id = Number<uint16_t>(s)) r.services.push_back(*id);
      }
    } else if (key == "Genres") {
      for (std::string_view s : SplitList(value, ',')) {
        if (auto g = ParseGenre(s)) r.genres.push_back(*g);
      }
    } else if (key == "GenresExcluded") {
      r.genres_excluded = flag();
    } else if (key == "Weekdays") {
      const auto bits = Number<unsigned>(value);
      if (bits && *bits > 0 && *bits <= 0x7F) r.weekdays = static_cast<uint8_t>(*bits);
    } else if (key == "Time") {
      if (auto w = ParseTimeWindow(value)) std::tie(r.window_from, r.window_to) = *w;
    } else if (key == "MinMinutes") {
      r.min_minutes = Number<uint32_t>(value).value_or(0);
    } else if (key == "MaxMinutes") {
      r.max_minutes = Number<uint32_t>(value).value_or(0);
    } else if (key == "From") {
      r.valid_from = Number<uint32_t>(value).value_or(0);
    } else if (key == "Until") {
      r.valid_until = Number<uint32_t>(value).value_or(0);
    } else if (key == "FreeOnly") {
      r.free_only = flag();
    } else if (key == "Priority") {
      const auto p = Number<int>(value);
      if (p && *p >= kMinPriority && *p <= kMaxPriority) r.priority = static_cast<uint8_t>(*p);
    } else if (key == "MarginBefore" || key == "MarginAfter") {
      const auto m = Number<int>(value);
      if (m && *m >= 0 && *m <= kMaxMarginSeconds)
        (key == "MarginBefore" ? r.margin_before : r.margin_after) = static_cast<uint16_t>(*m);
    } else if (key == "Dir") {
      r.directory = value;
    } else if (key == "File") {
      r.file_template = value;
    } else if (key == "Dedup") {
      r.dedup = ParseDedup(value).value_or(r.dedup);
    }
  }
  return r;
}

}  // namespace pelkan
