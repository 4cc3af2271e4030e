#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/broadcast_text.h"

namespace pelkan {
class RecordingScheduler;
class ServiceRowTable;
struct RecordingSummary;
struct StatusSnapshot;
}  // namespace pelkan

namespace pelkan::cli {

// What `pelkan-cli capture` prints while it runs: the status line and the service rows on standard
// output (text or JSON lines), the scheduled recordings on standard error. Main-loop thread.
class CapturePrinter {
 public:
  CapturePrinter(bool json, platform::SymbolForm symbols) : json_(json), symbols_(symbols) {}

  // One status line: "time ... | ok ... | ..." or a JSON object of every field.
  void Status(const StatusSnapshot& s) const;

  // The service rows as the filtering window shows them: a "services: N" line and one line per
  // row, or one JSON line {"services":[...]}.
  void Services(const ServiceRowTable& rows) const;

  // Tells when a scheduled recording opens its file and when a reservation ends, comparing the
  // scheduler's state with the last call.
  void ScheduleChanges(RecordingScheduler& scheduler);

  // What a recording's report says in one line: its totals and where the report is.
  static std::string SummaryText(const RecordingSummary& r);

 private:
  bool json_;
  platform::SymbolForm symbols_;
  std::vector<std::string> active_paths_;
  size_t reported_ = 0;
};

}  // namespace pelkan::cli
