#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "output/http_reply.h"
#include "output/http_request.h"

namespace pelkan {

class RecordingLibrary;

// The recordings' catalogue as the HTTP server shows it.
struct HttpLibrarySource {
  std::string path;  // library.sqlite (UTF-8); "": the program keeps no catalogue
  // Whether this program's recorder still writes `file`; any thread, quick (null: it writes none).
  std::function<bool(const std::string& file)> writing;
};

// The catalogue's pages and its part of the API, on one connection to library.sqlite (opened at
// the first request, used by one document thread at a time):
//   GET /recordings.m3u     the recordings as a playlist, newest first, titles with their symbols,
//                           URLs under the request's base, each with its view query;
//   GET /recordings.json    the list as `pelkan-cli recordings list --json` writes it;
//   GET /recordings/ID      the file (HttpFileSource: ranges; followed while it is recorded);
//   GET /api/recordings?q=&result=&rule=, /api/recordings/ID, /api/recordings/ID/report;
//   PUT /api/recordings/ID {"protected": true|false};
//   DELETE /api/recordings/ID {"force": true|false}: file and report to the trash, a protected
//   recording and one being recorded refused (409) as `pelkan-cli recordings delete` refuses them.
// Only ids name a recording: a file the catalogue does not hold is never served. Without a
// catalogue every path is 404. Document threads, any number at once.
class HttpLibrary {
 public:
  explicit HttpLibrary(HttpLibrarySource source);
  ~HttpLibrary();
  HttpLibrary(const HttpLibrary&) = delete;
  HttpLibrary& operator=(const HttpLibrary&) = delete;

  // The answer to a path under /recordings; nullopt for any other path.
  std::optional<HttpReply> AnswerPage(const HttpRequest& request);
  // The answer to /api/recordings`rest` ("" or "/ID...").
  HttpReply AnswerApi(const HttpRequest& request, std::string_view rest);

  // A moved file is looked for this long after its last change before a chase of a recording
  // another program writes ends (this program's own recordings are followed until they end).
  static constexpr int kOtherWriterSeconds = 30;

 private:
  // The catalogue, opened when first needed; null (with *error) when it cannot be.
  RecordingLibrary* Library(HttpReply* error);

  const HttpLibrarySource source_;
  std::mutex mutex_;
  std::unique_ptr<RecordingLibrary> library_;
};

}  // namespace pelkan
