#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "library/library_entry.h"
#include "library/recording_library.h"

namespace pelkan {

// One catalogued recording as JSON: {"id", "file", "report", "title", "service_id", "service_name",
// "start", "end" (ISO 8601 +09:00, null when unknown), "duration" (seconds), "bytes", "result",
// "drop", "error", "scrambled", "gaps", "rule_id" (null for none), "protected", "recording",
// "missing"}. The command line's `recordings --json` and the HTTP /recordings.json alike.
std::string LibraryEntryJson(const LibraryEntry& e);

// {"recordings":[...]}, one entry a line, written as the entries come: kept whole (Text), or
// handed to a sink in pieces of about `chunk` bytes, so that a long list is never held at once.
class LibraryListWriter {
 public:
  // Takes each piece; false when it could not be written (what follows is dropped).
  using Sink = std::function<bool(std::string_view)>;
  static constexpr size_t kChunk = 64 * 1024;

  // Keeps the whole text (Text).
  LibraryListWriter();
  explicit LibraryListWriter(Sink sink, size_t chunk = kChunk);

  // False once the sink failed.
  bool Add(const LibraryEntry& e);
  // Closes the list and hands the rest to the sink; false when the sink failed at any piece.
  bool Finish();
  // The whole text of a writer without a sink, once finished.
  std::string& Text() { return out_; }

 private:
  Sink sink_;
  size_t chunk_ = 0;
  std::string out_;
  size_t count_ = 0;
  bool failed_ = false;
};

// The whole list of `entries` in their order.
std::string LibraryListJson(const std::vector<LibraryEntry>& entries);
// The whole list of the entries of `query`, read as they are written.
std::string LibraryListJson(RecordingLibrary& library, const LibraryQuery& query = {});
// The list of the entries of `query` written to `out` as they are read; false when reading the
// catalogue or writing failed.
bool WriteLibraryListJson(RecordingLibrary& library, const LibraryQuery& query, std::FILE* out);

}  // namespace pelkan
