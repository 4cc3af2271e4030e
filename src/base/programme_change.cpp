#include "base/programme_change.h"

#include <charconv>

namespace pelkan {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A whole decimal number from `min` to `max`; a sign only where `min` is negative.
bool ReadNumber(std::string_view s, int64_t min, int64_t max, int64_t* out) {
  if (s.empty() || s.front() == '+' || (s.front() == '-' && min >= 0)) return false;
  int64_t v = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (error != std::errc() || end != s.data() + s.size() || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

const char* ProgrammeChangeWord(ProgrammeChangeKind kind) {
  switch (kind) {
    case ProgrammeChangeKind::kLate:
      return "late";
    case ProgrammeChangeKind::kExtend:
      return "extend";
    case ProgrammeChangeKind::kUndetermined:
      return "undetermined";
  }
  return "";
}

std::string ParseProgrammeChange(ProgrammeChangeKind kind, std::string_view text, ProgrammeChange* out) {
  const bool timed = kind != ProgrammeChangeKind::kUndetermined;
  const char* form = timed ? "is not SERVICE:EVENT:SECONDS" : "is not SERVICE:EVENT";
  text = Trim(text);
  std::string_view parts[3];
  size_t count = 0;
  for (;;) {
    const size_t colon = text.find(':');
    if (count == 3) return form;
    parts[count++] = text.substr(0, colon);
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  if (count != (timed ? 3u : 2u)) return form;
  int64_t service = 0, event = 0, seconds = 0;
  if (!ReadNumber(parts[0], 1, 0xFFFF, &service))
    return std::string(form) + " (SERVICE is a service_id, 1-65535)";
  if (!ReadNumber(parts[1], 0, 0xFFFF, &event)) return std::string(form) + " (EVENT is an event_id, 0-65535)";
  if (kind == ProgrammeChangeKind::kLate &&
      (!ReadNumber(parts[2], -kMaxProgrammeChangeSeconds, kMaxProgrammeChangeSeconds, &seconds) ||
       seconds == 0)) {
    return std::string(form) + " (SECONDS from -86400 to 86400, not 0; negative starts early)";
  }
  if (kind == ProgrammeChangeKind::kExtend &&
      !ReadNumber(parts[2], 1, kMaxProgrammeChangeSeconds, &seconds)) {
    return std::string(form) + " (SECONDS from 1 to 86400)";
  }
  *out = ProgrammeChange{kind, static_cast<uint16_t>(service), static_cast<uint16_t>(event),
                         static_cast<int32_t>(seconds)};
  return {};
}

std::vector<std::string> ParseProgrammeChangeList(ProgrammeChangeKind kind, std::string_view text,
                                                  std::vector<ProgrammeChange>* out) {
  std::vector<std::string> problems;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    if (!entry.empty()) {
      ProgrammeChange change;
      const std::string problem = ParseProgrammeChange(kind, entry, &change);
      if (problem.empty()) {
        out->push_back(change);
      } else {
        std::string line(1, '\'');
        line.append(entry).append("' ").append(problem);
        problems.push_back(std::move(line));
      }
    }
    if (comma == std::string_view::npos) return problems;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace pelkan
