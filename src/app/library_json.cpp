#include "app/library_json.h"

#include <charconv>

#include "app/json_text.h"
#include "base/mjd_time.h"
#include "hooks/wake_alarm_keeper.h"

namespace pelkan {
namespace {

void AppendTime(std::string* out, int64_t epoch) {
  if (epoch == 0) {
    out->append("null");
    return;
  }
  const MjdTime t = hooks::JapanTimeOfEpoch(epoch);
  if (t.date == 0) {
    out->append("\"\"");
    return;
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  MjdToDate(t.date, &y, &mo, &d);
  SecondsToHms(t.seconds, &h, &mi, &s);
  out->push_back('"');
  AppendJapanIso(out, y, mo, d, h, mi, s);
  out->push_back('"');
}

void AppendField(std::string* out, std::string_view key, uint64_t value) {
  out->append(key);
  char digits[24];
  out->append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendField(std::string* out, std::string_view key, std::string_view text) {
  out->append(key);
  AppendJsonString(out, text);
}

void AppendField(std::string* out, std::string_view key, bool value) {
  out->append(key);
  out->append(value ? "true" : "false");
}

void AppendEntry(std::string* out, const LibraryEntry& e) {
  out->append("{\"id\": ");
  AppendJsonInt(out, e.id);
  AppendField(out, ", \"file\": ", e.file);
  AppendField(out, ", \"report\": ", e.report);
  AppendField(out, ", \"title\": ", e.title);
  AppendField(out, ", \"service_id\": ", uint64_t{e.service_id});
  AppendField(out, ", \"service_name\": ", e.service_name);
  out->append(", \"start\": ");
  AppendTime(out, e.start);
  out->append(", \"end\": ");
  AppendTime(out, e.end);
  out->append(", \"duration\": ");
  AppendJsonInt(out, e.duration);
  AppendField(out, ", \"bytes\": ", e.bytes);
  AppendField(out, ", \"result\": ", LibraryResultWord(e.result));
  AppendField(out, ", \"drop\": ", e.drop);
  AppendField(out, ", \"error\": ", e.error);
  AppendField(out, ", \"scrambled\": ", e.scrambled);
  AppendField(out, ", \"gaps\": ", e.gaps);
  if (e.rule_id != 0) {
    AppendField(out, ", \"rule_id\": ", uint64_t{e.rule_id});
  } else {
    out->append(", \"rule_id\": null");
  }
  AppendField(out, ", \"protected\": ", e.is_protected);
  AppendField(out, ", \"recording\": ", e.recording);
  AppendField(out, ", \"missing\": ", e.missing);
  out->push_back('}');
}

}  // namespace

std::string LibraryEntryJson(const LibraryEntry& e) {
  std::string out;
  out.reserve(512);
  AppendEntry(&out, e);
  return out;
}

std::string LibraryListJson(const std::vector<LibraryEntry>& entries) {
  std::string out;
  out.reserve(entries.size() * 512 + 32);
  out.append("{\"recordings\": [");
  for (size_t i = 0; i < entries.size(); ++i) {
    out.append(i == 0 ? "\n  " : ",\n  ");
    AppendEntry(&out, entries[i]);
  }
  out.append(entries.empty() ? "]}\n" : "\n]}\n");
  return out;
}

}  // namespace pelkan
