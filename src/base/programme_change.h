#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelkan {

// How one programme of the synthetic broadcast departs from its schedule on request, so that a
// recorder's following of late, extended, early and open-ended programmes can be tried. Shared by
// the generator (which plays it) and the device set's configuration (which passes it on), hence
// kept below both.
enum class ProgrammeChangeKind : uint8_t {
  kLate,          // starts `seconds` after its scheduled start (negative: that much earlier)
  kExtend,        // ends `seconds` after its scheduled end; the programmes after it move back
  kUndetermined,  // its duration is undefined in the tables; it runs its scheduled length
};

// One change: the programme is named by its service and its event id in the unchanged schedule.
struct ProgrammeChange {
  ProgrammeChangeKind kind = ProgrammeChangeKind::kLate;
  uint16_t service_id = 0;
  uint16_t event_id = 0;
  int32_t seconds = 0;  // kLate: not 0; kExtend: 1 or more; kUndetermined: 0
  bool operator==(const ProgrammeChange&) const = default;
};

// The word of a kind in the option names and messages: "late", "extend" or "undetermined".
const char* ProgrammeChangeWord(ProgrammeChangeKind kind);

// Most seconds a programme may be made late, early or extended by: one day.
inline constexpr int32_t kMaxProgrammeChangeSeconds = 86400;

// Reads one change of `kind` from "SERVICE:EVENT:SECONDS" (kLate, kExtend; SECONDS may have a '-'
// for kLate) or "SERVICE:EVENT" (kUndetermined), decimal numbers, blanks around the text allowed.
// Returns an empty text and fills *out, or why the text is refused, worded to follow
// "OPTION 'VALUE'" ("is not SERVICE:EVENT:SECONDS ...").
std::string ParseProgrammeChange(ProgrammeChangeKind kind, std::string_view text, ProgrammeChange* out);

// Reads a list of changes of `kind` separated by commas, as a settings file keeps them; empty
// entries are passed over. Good entries are appended to *out; the returned texts say, one per bad
// entry, "'ENTRY' " followed by why it is refused.
std::vector<std::string> ParseProgrammeChangeList(ProgrammeChangeKind kind, std::string_view text,
                                                  std::vector<ProgrammeChange>* out);

}  // namespace pelkan
