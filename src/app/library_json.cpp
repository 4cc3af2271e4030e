#include "app/library_json.h"

#include "app/json_text.h"

namespace pelkan {
namespace {

std::string Time(int64_t epoch) {
  return epoch == 0 ? std::string("null") : JsonString(JapanIsoOfEpoch(epoch));
}

const char* Bool(bool value) {
  return value ? "true" : "false";
}

}  // namespace

std::string LibraryEntryJson(const LibraryEntry& e) {
  std::string out;
  out.reserve(512);
  out += "{\"id\": " + std::to_string(e.id);
  out += ", \"file\": " + JsonString(e.file);
  out += ", \"report\": " + JsonString(e.report);
  out += ", \"title\": " + JsonString(e.title);
  out += ", \"service_id\": " + std::to_string(e.service_id);
  out += ", \"service_name\": " + JsonString(e.service_name);
  out += ", \"start\": " + Time(e.start);
  out += ", \"end\": " + Time(e.end);
  out += ", \"duration\": " + std::to_string(e.duration);
  out += ", \"bytes\": " + std::to_string(e.bytes);
  out += ", \"result\": " + JsonString(LibraryResultWord(e.result));
  out += ", \"drop\": " + std::to_string(e.drop);
  out += ", \"error\": " + std::to_string(e.error);
  out += ", \"scrambled\": " + std::to_string(e.scrambled);
  out += ", \"gaps\": " + std::to_string(e.gaps);
  out += ", \"rule_id\": " + (e.rule_id != 0 ? std::to_string(e.rule_id) : std::string("null"));
  out += ", \"protected\": " + std::string(Bool(e.is_protected));
  out += ", \"recording\": " + std::string(Bool(e.recording));
  out += ", \"missing\": " + std::string(Bool(e.missing)) + "}";
  return out;
}

std::string LibraryListJson(const std::vector<LibraryEntry>& entries) {
  std::string out = "{\"recordings\": [";
  out.reserve(entries.size() * 512 + 32);
  for (size_t i = 0; i < entries.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + LibraryEntryJson(entries[i]);
  return out + (entries.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace pelkan
