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

LibraryListWriter::LibraryListWriter() { out_.reserve(4096); }

LibraryListWriter::LibraryListWriter(Sink sink, size_t chunk) : sink_(std::move(sink)), chunk_(chunk) {
  out_.reserve(chunk_ + 1024);
}

bool LibraryListWriter::Add(const LibraryEntry& e) {
  if (count_ == 0) out_.append("{\"recordings\": [");
  out_.append(count_ == 0 ? "\n  " : ",\n  ");
  ++count_;
  AppendEntry(&out_, e);
  if (sink_ && out_.size() >= chunk_) {
    failed_ = failed_ || !sink_(out_);
    out_.clear();
  }
  return !failed_;
}

bool LibraryListWriter::Finish() {
  out_.append(count_ == 0 ? "{\"recordings\": []}\n" : "\n]}\n");
  if (sink_) {
    failed_ = failed_ || !sink_(out_);
    out_.clear();
  }
  return !failed_;
}

std::string LibraryListJson(const std::vector<LibraryEntry>& entries) {
  LibraryListWriter writer;
  writer.Text().reserve(entries.size() * 512 + 32);
  for (const LibraryEntry& e : entries) writer.Add(e);
  writer.Finish();
  return std::move(writer.Text());
}

std::string LibraryListJson(RecordingLibrary& library, const LibraryQuery& query) {
  LibraryListWriter writer;
  library.Walk(query, [&writer](const LibraryEntry& e) {
    writer.Add(e);
    return true;
  });
  writer.Finish();
  return std::move(writer.Text());
}

bool WriteLibraryListJson(RecordingLibrary& library, const LibraryQuery& query, std::FILE* out) {
  LibraryListWriter writer([out](std::string_view piece) {
    return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
  });
  const bool read = library.Walk(query, [&writer](const LibraryEntry& e) { return writer.Add(e); });
  const bool written = writer.Finish();
  return read && written && std::fflush(out) == 0;
}

}  // namespace pelkan
