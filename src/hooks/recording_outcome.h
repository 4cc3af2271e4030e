#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/recording_report.h"
#include "schedule/recording_scheduler.h"

namespace pelkan::hooks {

// How a recording (or a reservation that never recorded) ended, as the command run after it, the
// notifications and `pelkan-cli hook test` see it. Texts are UTF-8.
struct RecordingOutcome {
  std::string kind;     // "manual", "reservation" or "rule"
  std::string file;     // the recording (empty: none was made)
  std::string report;   // its report, NAME.ts.err (empty: none)
  std::string result;   // complete, recovered, partial, failed or missed
  std::string reason;   // why it is not complete (empty when it is)
  std::string title;    // the reservation's title with the broadcast's symbols ("🈑"), else the programme's
  std::string plain_title;  // the same with the symbols' plain forms ("[字]")
  std::optional<uint16_t> service_id, event_id, network_id, stream_id;
  std::string service_name;
  // ISO 8601 with the offset ("2026-12-08T20:57:00+09:00"); empty when not known.
  std::string planned_start, planned_end, actual_start, actual_end;
  std::optional<uint16_t> margin_before, margin_after;
  uint64_t bytes = 0, packets = 0, drop = 0, error = 0, scrambled = 0, gaps = 0;
  uint32_t rule_id = 0;
};

// The result word of a report's "result" line and the reason after it: "complete", "partial: cut
// short for X" -> partial, X. Words other than complete, recovered, partial, failed and missed
// ("stopped: ...") count as failed, the whole text being the reason.
std::pair<std::string, std::string> ResultOfReportLine(std::string_view line);

// Fills `out` from the text of a report (RecordingReport): file, result, reservation or first
// programme, times, margins, bytes, packets, the first service and the totals of its PID table.
// False when the text is no report.
bool ReadReportText(std::string_view text, RecordingOutcome* out);
// The same from the report file `path` (also sets `report`). False when it cannot be read.
bool ReadReportFile(const std::string& path, RecordingOutcome* out);

// The outcome of a reservation that ended (recorded, cut, failed, missed, gone). Reads its report
// when it has one. `service_name` (UTF-8) names its service when the capture knows it.
RecordingOutcome OutcomeOfReservation(const FinishedRecording& ended, const std::string& service_name = {});
// The outcome of a manual recording into `path` with `summary` (reads its report).
RecordingOutcome OutcomeOfManualRecording(const std::string& path, const RecordingSummary& summary);

// Offset ISO 8601 of a broadcast (Japan) time: "2026-12-08T20:57:00+09:00"; "" for date 0.
std::string JapanIso(MjdTime t);

// The PELKAN_* variables of `outcome` as NAME=value, in a fixed order (manual page's list).
std::vector<std::string> OutcomeEnvironment(const RecordingOutcome& outcome);
// Reads back what OutcomeEnvironment wrote (one NAME=value a line, other lines skipped).
std::vector<std::string> ParseEnvironmentLines(std::string_view text);

}  // namespace pelkan::hooks
