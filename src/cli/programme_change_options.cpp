#include "cli/programme_change_options.h"

#include <cstdlib>

#include "cli/option_parser.h"

namespace pelkan::cli {
namespace {

std::string ChangeText(const ProgrammeChange& c) {
  // Appended piece by piece: GCC 12 at -O3 takes a chain of string sums for an overlapping copy.
  std::string text = std::to_string(c.service_id);
  text.push_back(':');
  text.append(std::to_string(c.event_id));
  if (c.kind != ProgrammeChangeKind::kUndetermined) {
    text.push_back(':');
    text.append(std::to_string(c.seconds));
  }
  return text;
}

}  // namespace

bool ParseBitRate(const char* s, uint64_t* out) {
  if (*s == '\0') return false;
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (*end == 'k' || *end == 'K') {
    v *= 1e3;
    ++end;
  } else if (*end == 'M' || *end == 'm') {
    v *= 1e6;
    ++end;
  }
  if (*end != '\0' || !(v > 0) || v > 1e10) return false;
  *out = static_cast<uint64_t>(v + 0.5);
  return true;
}

void DeclareProgrammeChanges(OptionParser& p, const std::string& prefix, const std::string& scope,
                             std::vector<ProgrammeChange>* changes) {
  auto take = [changes](ProgrammeChangeKind kind) {
    return [changes, kind](const std::string& text) {
      ProgrammeChange change;
      std::string problem = ParseProgrammeChange(kind, text, &change);
      if (problem.empty()) changes->push_back(change);
      return problem;
    };
  };
  p.Repeated(prefix + "late SERVICE:EVENT:SECONDS",
             scope +
                 "programme EVENT (its event_id, see 'pelkan-cli epg') of SERVICE\n"
                 "starts SECONDS late, the programme before running over; a\n"
                 "negative SECONDS starts it early, cutting the one before. Counted\n"
                 "from the start the tables show without changes (after the overrun\n"
                 "of the programme before, when it has one) (repeatable)",
             take(ProgrammeChangeKind::kLate));
  p.Repeated(prefix + "extend SERVICE:EVENT:SECONDS",
             scope +
                 "programme EVENT of SERVICE ends SECONDS late; the programmes after\n"
                 "it move back as much (repeatable)",
             take(ProgrammeChangeKind::kExtend));
  p.Repeated(prefix + "undetermined SERVICE:EVENT",
             scope +
                 "programme EVENT of SERVICE has no duration in the tables; it runs\n"
                 "its scheduled length (repeatable). A service with changes has no\n"
                 "random overruns",
             take(ProgrammeChangeKind::kUndetermined));
}

std::string ProgrammeChangesProblem(const std::string& prefix, const streamgen::GeneratorOptions& options) {
  streamgen::GeneratorOptions one = options;
  for (const ProgrammeChange& c : options.programme_changes) {
    one.programme_changes = {c};
    const std::string problem = streamgen::CheckGeneratorOptions(one);
    if (!problem.empty())
      return prefix + ProgrammeChangeWord(c.kind) + " '" + ChangeText(c) + "': " + problem;
  }
  const std::string problem = streamgen::CheckGeneratorOptions(options);
  if (problem.empty()) return {};
  return prefix + "late, " + prefix + "extend, " + prefix + "undetermined: " + problem;
}

}  // namespace pelkan::cli
