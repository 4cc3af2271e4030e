#include "cli/capture_printer.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/capture_options.h"
#include "app/json_text.h"
#include "app/status_json.h"
#include "cli/one_line_text.h"
#include "core/status_text.h"
#include "info/service_row_table.h"
#include "output/recording_report.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {

namespace {

std::string OneLine(const std::string& sjis) {
  std::string s = platform::SjisToUtf8(sjis);
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s;
}

std::string StatusText(const StatusSnapshot& s) {
  std::string line = "time " + s.elapsed + " | ok " + s.transfers_ok + " failed " + s.transfers_failed + " | " +
                     s.rate + " | buffer " + OneLine(s.buffer) + " | packet " + s.packet_size + " sync " +
                     s.sync_losses + " drop " + s.dropped + " cc-at-unit-starts " + s.continuity + " scrambled " +
                     s.scrambled;
  if (!s.device_status.empty()) line += " | " + OneLine(s.device_status);
  if (!s.clock.empty()) line += " | " + OneLine(s.clock);
  line += " | " + OneLine(s.recording);
  if (s.free_space != " ") line += " | " + OneLine(s.free_space);
  if (s.bar[1] != " ") line += " | " + OneLine(s.bar[1]);
  if (s.bar[2] != " ") line += " | " + OneLine(s.bar[2]);
  line += " | " + OneLine(s.sending);
  if (!s.http.empty()) line += " | " + OneLine(s.http);
  if (s.bar[3] != " ") line += " | " + OneLine(s.bar[3]);
  if (!s.guide.empty()) line += " | " + OneLine(s.guide);
  return line;
}

}  // namespace

void CapturePrinter::Status(const StatusSnapshot& s) const {
  std::printf("%s\n", (json_ ? StatusJson(s) : StatusText(s)).c_str());
  std::fflush(stdout);
}

void CapturePrinter::Services(const ServiceRowTable& rows) const {
  if (json_) {
    std::string line = "{\"services\":[";
    for (size_t i = 0; i < rows.Rows().size(); ++i) {
      const ServiceRowTable::Row& row = rows.Rows()[i];
      auto cell = [&row, this](int column) { return JsonString(ServiceCellUtf8(row, column, symbols_)); };
      if (i > 0) line += ",";
      line += "{\"service_id\":" + std::to_string(row.service_id) +
              ",\"kept\":" + (row.checked ? "true" : "false") + ",\"name\":" + cell(1) +
              ",\"programme\":" + cell(2) + ",\"pmt_pid\":" + cell(3) + ",\"components\":" + cell(4) + "}";
    }
    std::printf("%s]}\n", line.c_str());
  } else {
    std::printf("services: %zu\n", rows.Rows().size());
    for (const std::string& line : rows.RenderUtf8(symbols_)) std::printf("  %s\n", line.c_str());
  }
  std::fflush(stdout);
}

void CapturePrinter::ScheduleChanges(RecordingScheduler& scheduler) {
  // Several reservations of one stream record at once: each new file is told once.
  const std::vector<std::string> paths = scheduler.ActiveOutputPaths();
  for (const std::string& path : paths) {
    if (std::find(active_paths_.begin(), active_paths_.end(), path) == active_paths_.end()) {
      std::fprintf(stderr, "%s: scheduled recording to %s\n", kCaptureName, OneLineText(path).c_str());
    }
  }
  active_paths_ = paths;
  const std::vector<FinishedRecording> finished = scheduler.FinishedRecordings();
  for (size_t i = reported_; i < finished.size(); ++i) {
    const uint32_t state = ItemState(finished[i].item);
    const char* how = state == ST_FINISHED  ? "finished"
                      : state == ST_CANCELLED ? "cancelled"
                      : state == ST_GONE      ? "gone"
                                              : "failed";
    std::string line = platform::SjisToUtf8(ItemStartText(finished[i].item)) + " " + how;
    if (finished[i].summary) line += ": " + SummaryText(*finished[i].summary);
    if (!finished[i].why.empty()) line += " (" + finished[i].why + ")";
    std::fprintf(stderr, "%s: reservation %s\n", kCaptureName, OneLineText(line).c_str());
  }
  reported_ = finished.size();
}

std::string CapturePrinter::SummaryText(const RecordingSummary& r) {
  return "packets " + std::to_string(r.packets) + ", drop " + std::to_string(r.drop) + ", error " +
         std::to_string(r.error) + ", scrambled " + std::to_string(r.scrambled) +
         (r.report_path.empty() ? std::string() : "; report " + OneLineText(r.report_path));
}

}  // namespace pelkan::cli
