#include "hooks/recording_outcome.h"

#include <time.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"

namespace pelkan::hooks {
namespace {

constexpr std::array<std::string_view, 5> kResults = {"complete", "recovered", "partial", "failed", "missed"};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Splits a report line "key      value" (the key padded to 18 columns, then two spaces).
bool SplitLine(std::string_view line, std::string_view* key, std::string_view* value) {
  const size_t gap = line.find("  ");
  if (gap == std::string_view::npos || gap == 0) return false;
  *key = Trim(line.substr(0, gap));
  *value = Trim(line.substr(gap));
  return true;
}

// "2026-12-08 20:57:00" -> ISO 8601 with `offset`.
std::string IsoOf(std::string_view date_time, const std::string& offset) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const std::string text(date_time);
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return {};
  char out[48];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
  return out + offset;
}

// The machine's offset from UTC at local time `date_time` ("+01:00"); a report's local times carry it.
std::string LocalOffset(std::string_view date_time) {
  tm t{};
  const std::string text(date_time);
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec) != 6)
    return "+00:00";
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const time_t when = mktime(&t);
  tm local{};
  localtime_r(&when, &local);
  const int minutes = static_cast<int>(local.tm_gmtoff / 60) % (24 * 60);
  char out[32];
  std::snprintf(out, sizeof out, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                std::abs(minutes) % 60);
  return out;
}

// "2026-12-08 20:57:00 (broadcast 2026-12-08 20:57:03)": the broadcast time when there is one (Japan's
// time), else the local time with the machine's offset.
std::string IsoOfReportTime(std::string_view value) {
  const size_t broadcast = value.find("(broadcast ");
  if (broadcast != std::string_view::npos) {
    return IsoOf(value.substr(broadcast + 11, 19), "+09:00");
  }
  return IsoOf(value.substr(0, 19), LocalOffset(value.substr(0, 19)));
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

uint64_t Number(std::string_view text) {
  return std::strtoull(std::string(text).c_str(), nullptr, 10);
}

std::string PlainOf(const std::string& utf8) {
  const std::optional<std::string> sjis = platform::Utf8ToBroadcast(utf8);
  return sjis ? platform::BroadcastToUtf8(*sjis, platform::SymbolForm::kPlain) : utf8;
}

std::string ResultOfSummary(RecordingEnd end) {
  switch (end) {
    case RecordingEnd::kComplete:
      return "complete";
    case RecordingEnd::kCutByPlan:
      return "partial";
    default:
      return "failed";
  }
}

}  // namespace

std::pair<std::string, std::string> ResultOfReportLine(std::string_view line) {
  line = Trim(line);
  // The word ends at a colon ("partial: cut short ...") or a space ("recovered (gap 0:00:07)").
  const size_t end = line.find_first_of(": ");
  const std::string_view word = line.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : line.substr(end);
  if (!rest.empty() && rest.front() == ':') rest.remove_prefix(1);
  rest = Trim(rest);
  if (rest.size() >= 2 && rest.front() == '(' && rest.back() == ')') rest = Trim(rest.substr(1, rest.size() - 2));
  for (const std::string_view known : kResults) {
    if (word == known) return {std::string(known), std::string(rest)};
  }
  return {"failed", std::string(line)};
}

std::string JapanIso(MjdTime t) {
  if (t.date == 0) return {};
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  MjdToDate(t.date, &y, &mo, &d);
  SecondsToHms(t.seconds, &h, &mi, &s);
  char out[48];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d+09:00", y, mo, d, h, mi, s);
  return out;
}

bool ReadReportText(std::string_view text, RecordingOutcome* out) {
  if (text.substr(0, 23) != "Pelkan recording report") return false;
  bool first_service = true;
  bool programme_seen = false;
  for (const std::string_view line : Lines(text)) {
    if (line.starts_with("total ")) {
      unsigned long long p = 0, d = 0, e = 0, s = 0;
      if (std::sscanf(std::string(line).c_str(), "total packets %llu drop %llu error %llu scrambled %llu", &p, &d,
                      &e, &s) == 4) {
        out->packets = p;
        out->drop = d;
        out->error = e;
        out->scrambled = s;
      }
      continue;
    }
    std::string_view key, value;
    if (!SplitLine(line, &key, &value)) continue;
    if (key == "events") break;  // the list of events follows; nothing of the header is below
    if (key == "file") {
      out->file = value;
    } else if (key == "result") {
      std::tie(out->result, out->reason) = ResultOfReportLine(value);
    } else if (key == "reservation") {
      out->title = value;
    } else if (key == "programme" && !programme_seen) {
      programme_seen = true;
      if (out->title.empty()) out->title = value;
    } else if (key == "margins") {
      unsigned before = 0, after = 0;
      if (std::sscanf(std::string(value).c_str(), "%u s before, %u s after", &before, &after) == 2) {
        out->margin_before = static_cast<uint16_t>(before);
        out->margin_after = static_cast<uint16_t>(after);
      }
    } else if (key == "start") {
      out->actual_start = IsoOfReportTime(value);
    } else if (key == "end") {
      out->actual_end = IsoOfReportTime(value);
    } else if (key == "bytes") {
      out->bytes = Number(value);
    } else if (key == "packets") {
      out->packets = Number(value);
    } else if (key == "gaps") {
      out->gaps = Number(value);
    } else if (key == "service" && first_service && !value.starts_with("none")) {
      // "1024 Name: programme / programme"
      first_service = false;
      const size_t space = value.find(' ');
      const auto id = static_cast<uint16_t>(Number(value.substr(0, space)));
      if (!out->service_id) out->service_id = id;
      if (*out->service_id == id && space != std::string_view::npos) {
        std::string_view rest = value.substr(space + 1);
        const size_t colon = rest.find(": ");
        if (out->service_name.empty()) out->service_name = rest.substr(0, colon);
        if (colon != std::string_view::npos && out->title.empty()) {
          out->title = rest.substr(colon + 2, rest.find(" / ", colon + 2) - colon - 2);
        }
      }
    }
  }
  out->plain_title = PlainOf(out->title);
  return true;
}

bool ReadReportFile(const std::string& path, RecordingOutcome* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (!ReadReportText(text.str(), out)) return false;
  out->report = path;
  return true;
}

RecordingOutcome OutcomeOfReservation(const FinishedRecording& ended, const std::string& service_name) {
  const ScheduleItem& item = ended.item;
  RecordingOutcome out;
  out.kind = item.rule_id != 0 ? "rule" : "reservation";
  out.rule_id = item.rule_id;
  // A reservation of the whole stream names no service: its report's first one stands.
  if (item.service_id != 0) out.service_id = item.service_id;
  out.service_name = service_name;
  if ((item.flags & SI_BY_EVENT) != 0) {
    out.event_id = item.event_id;
    out.network_id = item.network_id;
    out.stream_id = item.stream_id;
  }
  if (HasStart(item)) {
    MjdTime start{item.start_day, item.start_second};
    out.planned_start = JapanIso(start);
    AddSeconds(&start, item.duration);
    out.planned_end = JapanIso(start);
  }
  out.margin_before = item.margin_before;
  out.margin_after = item.margin_after;
  if (!ended.summary) {
    out.result = ended.could_not_start ? "failed" : "missed";
  } else {
    const RecordingSummary& s = *ended.summary;
    out.result = ResultOfSummary(s.end);
    out.packets = s.packets;
    out.drop = s.drop;
    out.error = s.error;
    out.scrambled = s.scrambled;
    if (!s.report_path.empty()) {
      // The report's words stand: it also knows the times, the bytes and the file.
      RecordingOutcome read = out;
      if (ReadReportFile(s.report_path, &read)) out = std::move(read);
    }
  }
  if (out.result != "complete" && out.reason.empty()) out.reason = ended.why;
  // The reservation's own title (an event reservation's programme) wins over a programme the
  // report names; a date-time reservation has none.
  if (item.title[0] != '\0') {
    out.title = platform::BroadcastToUtf8(GetText(item.title));
    out.plain_title = platform::BroadcastToUtf8(GetText(item.title), platform::SymbolForm::kPlain);
  } else {
    out.plain_title = PlainOf(out.title);
  }
  return out;
}

RecordingOutcome OutcomeOfManualRecording(const std::string& path, const RecordingSummary& summary) {
  RecordingOutcome out;
  out.kind = "manual";
  out.file = path;
  out.result = ResultOfSummary(summary.end);
  out.packets = summary.packets;
  out.drop = summary.drop;
  out.error = summary.error;
  out.scrambled = summary.scrambled;
  if (!summary.report_path.empty()) ReadReportFile(summary.report_path, &out);
  return out;
}

std::vector<std::string> OutcomeEnvironment(const RecordingOutcome& o) {
  std::vector<std::string> env;
  const auto text = [&env](const char* name, const std::string& value) { env.push_back(std::string(name) + "=" + value); };
  const auto number = [&text](const char* name, uint64_t value) { text(name, std::to_string(value)); };
  const auto maybe = [&text](const char* name, const std::optional<uint16_t>& value) {
    text(name, value ? std::to_string(*value) : std::string());
  };
  text("PELKAN_FILE", o.file);
  text("PELKAN_REPORT", o.report);
  text("PELKAN_RESULT", o.result);
  text("PELKAN_REASON", o.reason);
  text("PELKAN_KIND", o.kind);
  text("PELKAN_TITLE", o.title);
  text("PELKAN_TITLE_PLAIN", o.plain_title);
  maybe("PELKAN_SERVICE_ID", o.service_id);
  text("PELKAN_SERVICE_NAME", o.service_name);
  maybe("PELKAN_EVENT_ID", o.event_id);
  maybe("PELKAN_NETWORK_ID", o.network_id);
  maybe("PELKAN_TS_ID", o.stream_id);
  text("PELKAN_PLANNED_START", o.planned_start);
  text("PELKAN_PLANNED_END", o.planned_end);
  text("PELKAN_START", o.actual_start);
  text("PELKAN_END", o.actual_end);
  maybe("PELKAN_MARGIN_BEFORE", o.margin_before);
  maybe("PELKAN_MARGIN_AFTER", o.margin_after);
  number("PELKAN_BYTES", o.bytes);
  number("PELKAN_PACKETS", o.packets);
  number("PELKAN_DROP", o.drop);
  number("PELKAN_ERROR", o.error);
  number("PELKAN_SCRAMBLED", o.scrambled);
  number("PELKAN_GAPS", o.gaps);
  text("PELKAN_RULE_ID", o.rule_id != 0 ? std::to_string(o.rule_id) : std::string());
  // A value never spans lines: the environment file keeps one variable a line.
  for (std::string& line : env) {
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
  }
  return env;
}

std::vector<std::string> ParseEnvironmentLines(std::string_view text) {
  std::vector<std::string> env;
  for (const std::string_view line : Lines(text)) {
    if (line.starts_with("PELKAN_") && line.find('=') != std::string_view::npos) env.emplace_back(line);
  }
  return env;
}

}  // namespace pelkan::hooks
