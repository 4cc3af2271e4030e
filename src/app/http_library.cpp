#include "app/http_library.h"

#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <vector>

#include "app/http_api.h"
#include "app/http_pages.h"
#include "app/library_json.h"
#include "library/recording_library.h"
#include "library/recording_removal.h"
#include "output/http_file_stream.h"

namespace pelkan {

using nlohmann::json;

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
// Most bytes of a report the API hands out (a report is a few kilobytes).
constexpr std::streamsize kMaxReport = 1 << 20;

HttpReply Text(unsigned status, std::string body, const char* type) {
  return HttpReply{status, std::make_shared<const std::string>(std::move(body)), type};
}

// The id after `prefix` in `path` and what follows it ("/report"); nullopt when it is no id.
std::optional<std::pair<int64_t, std::string_view>> IdOf(std::string_view path) {
  const size_t slash = path.find('/');
  const std::optional<uint32_t> id = ApiId(path.substr(0, slash));
  if (!id) return std::nullopt;
  return std::make_pair(int64_t{*id}, slash == std::string_view::npos ? std::string_view() : path.substr(slash));
}

// Whether `file`, which the catalogue marked as being recorded, was changed lately.
bool ChangedLately(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 && ::time(nullptr) - st.st_mtime <= HttpLibrary::kOtherWriterSeconds;
}

std::optional<std::string> ReadReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (path.empty() || !in) return std::nullopt;
  std::string text(static_cast<size_t>(kMaxReport), '\0');
  in.read(text.data(), kMaxReport);
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

HttpReply EntryReply(const LibraryEntry& e) {
  return Text(200, "{\"recording\": " + LibraryEntryJson(e) + "}", kJsonType);
}

}  // namespace

HttpLibrary::HttpLibrary(HttpLibrarySource source) : source_(std::move(source)) {}

HttpLibrary::~HttpLibrary() = default;

RecordingLibrary* HttpLibrary::Library(HttpReply* error) {
  if (source_.path.empty()) {
    *error = ApiError(404, "this program keeps no recordings catalogue");
    return nullptr;
  }
  if (!library_) {
    std::string notice, why;
    library_ = RecordingLibrary::Open(source_.path, &notice, &why);
    if (!library_) {
      *error = ApiError(503, "the recordings catalogue cannot be opened: " + why);
      return nullptr;
    }
  }
  return library_.get();
}

std::optional<HttpReply> HttpLibrary::AnswerPage(const HttpRequest& request) {
  const std::string& path = request.path;
  const bool list = path == "/recordings.m3u" || path == "/recordings.json";
  constexpr std::string_view kOne = "/recordings/";
  if (!list && !path.starts_with(kOne)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  HttpReply error;
  RecordingLibrary* library = Library(&error);
  if (library == nullptr) return error;
  if (path == "/recordings.json") return Text(200, LibraryListJson(*library), kJsonType);
  if (path == "/recordings.m3u") {
    // What a player can open: a recording whose file was gone at the last scan is left out.
    std::vector<LibraryEntry> entries = library->List();
    std::erase_if(entries, [](const LibraryEntry& e) { return e.missing; });
    return Text(200, RecordingsPlaylist(request.base, entries, request.view_query), "audio/x-mpegurl; charset=utf-8");
  }
  const std::optional<uint32_t> id = ApiId(std::string_view(path).substr(kOne.size()));
  const std::optional<LibraryEntry> e = id ? library->Find(*id) : std::nullopt;
  if (!e || e->missing) return Text(404, "no such recording\n", "text/plain; charset=utf-8");
  auto file = std::make_shared<HttpFileSource>();
  file->path = e->file;
  file->name = path;
  file->writing = [writing = source_.writing, path = e->file, flagged = e->recording] {
    if (writing && writing(path)) return true;
    return flagged && ChangedLately(path);
  };
  HttpReply reply;
  reply.file = std::move(file);
  return reply;
}

HttpReply HttpLibrary::AnswerApi(const HttpRequest& request, std::string_view rest) {
  const std::string& method = request.method;
  std::lock_guard<std::mutex> lock(mutex_);
  HttpReply error;
  error.status = 0;
  RecordingLibrary* library = Library(&error);
  if (library == nullptr) return error;
  if (rest.empty()) {
    if (method != "GET") return ApiError(405, "not a method of " + request.path);
    LibraryQuery query;
    const auto arg = [&request](const char* name) -> std::string {
      const auto it = request.query.find(name);
      return it == request.query.end() ? std::string() : it->second;
    };
    query.words = arg("q");
    if (const std::string result = arg("result"); !result.empty()) {
      query.result = LibraryResultOfWord(result);
      if (!query.result) return ApiError(422, "result: is not complete, recovered, partial, failed, tuner lost or recording");
    }
    if (const std::string rule = arg("rule"); !rule.empty()) {
      query.rule_id = ApiId(rule);
      if (!query.rule_id) return ApiError(422, "rule: is not a rule's id");
    }
    return Text(200, LibraryListJson(*library, query), kJsonType);
  }
  const auto id = rest.starts_with("/") ? IdOf(rest.substr(1)) : std::nullopt;
  if (!id || (!id->second.empty() && id->second != "/report")) return ApiError(404, "not found");
  const std::optional<LibraryEntry> e = library->Find(id->first);
  if (!e) return ApiError(404, "no recording " + std::to_string(id->first));
  if (id->second == "/report") {
    if (method != "GET") return ApiError(405, "not a method of a recording's report");
    const std::optional<std::string> text = ReadReport(e->report);
    if (!text) return ApiError(404, "recording " + std::to_string(e->id) + " has no report");
    return ApiJson(200, {{"report", *text}});
  }
  if (method == "GET") return EntryReply(*e);
  if (method != "PUT" && method != "DELETE") return ApiError(405, "not a method of a recording");
  const std::optional<json> body = ApiBody(request, &error);
  if (!body) return error;
  if (method == "PUT") {
    const std::optional<bool> protect = ApiBool(*body, "protected", &error);
    if (error.status != 0) return error;
    if (!protect) return ApiError(422, "protected: give true or false");
    if (!library->SetProtected(e->id, *protect)) return ApiError(500, "the recordings catalogue cannot be written");
    return EntryReply(*library->Find(e->id));
  }
  const bool force = ApiBool(*body, "force", &error).value_or(false);
  if (error.status != 0) return error;
  std::string why;
  if (!RemoveRecording(*library, *e, RemovalKind::kTrash, force, &why)) {
    return ApiError(!force && (e->recording || e->is_protected) ? 409 : 500, why);
  }
  return ApiJson(200, {{"done", true}});
}

}  // namespace pelkan
