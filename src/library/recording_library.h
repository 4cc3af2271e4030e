#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "library/library_entry.h"

struct sqlite3;

namespace pelkan {

namespace hooks {
struct RecordingOutcome;
}

// What a list of the catalogue asks for; every part given must hold.
struct LibraryQuery {
  std::string words;  // each word (spaces apart) folded as the guide's search folds (FoldUserText)
  std::optional<uint32_t> rule_id;
  std::optional<uint16_t> service_id;
  std::optional<LibraryResult> result;
  std::string series;  // a series facet's key
  std::string month;   // "2026-12"
  size_t limit = 0;    // 0: all
};

// The lists the catalogue can be narrowed by.
enum class LibraryFacetKind { kRule, kService, kSeries, kResult, kMonth };
struct LibraryFacet {
  std::string key;    // what LibraryQuery takes ("12", "1024", "id:57", "complete", "2026-12")
  std::string label;  // what a list shows (UTF-8)
  size_t count = 0;
};

// The catalogue of recordings, library.sqlite beside pelkan.ini (SQLite, WAL), opened through the
// shared opener: a damaged or foreign file is renamed aside and a new one made. Every change is
// one transaction and waits for another program's (the desktop program and the recorder service
// write the same file), so nothing either writes is lost. One thread at a time per object.
class RecordingLibrary {
 public:
  static constexpr char kFileName[] = "library.sqlite";
  static constexpr int kBusyTimeoutMs = 10000;

  // Opens (creates) the catalogue at `path` (UTF-8). `notice` receives the message for the user
  // (Shift-JIS) when a damaged file was renamed aside; null with `error` (English) on failure.
  static std::unique_ptr<RecordingLibrary> Open(const std::string& path, std::string* notice, std::string* error);
  ~RecordingLibrary();
  RecordingLibrary(const RecordingLibrary&) = delete;
  RecordingLibrary& operator=(const RecordingLibrary&) = delete;

  // A recording whose file has just opened (`entry.file`): catalogued as recording, or, for a file
  // already there, marked recording again. Its id; nullopt when the file cannot be written.
  std::optional<int64_t> Begin(const LibraryEntry& entry);
  // A recording ended or was found (by its report): its entry (by file, report or where it was made,
  // `origin`) is completed from `outcome`, or one is added. `file` is where the recording is now;
  // `recording` keeps it marked as being written (a scan's report still says so). `now` marks a
  // new entry's creation. Its id, or nullopt on a failed write.
  std::optional<int64_t> Complete(const hooks::RecordingOutcome& outcome, const std::string& file, int64_t now,
                                  bool recording = false);

  std::vector<LibraryEntry> List(const LibraryQuery& query = {});
  // The entries of `query` in List's order, one at a time as they are read, without a list: `row`
  // sees each (the same object filled again: copy what must outlive the call) and returns false to
  // stop. False when reading failed.
  bool Walk(const LibraryQuery& query, const std::function<bool(const LibraryEntry&)>& row);
  std::optional<LibraryEntry> Find(int64_t id);
  // The entry of a recording's file (as it is now, or as it was made).
  std::optional<LibraryEntry> FindByFile(const std::string& file);
  // The entry of the recording `outcome` tells of, now at `file`: by its file, where it was made,
  // its report, or (moved with a report naming it relative to where it was made) its name, start
  // and size.
  std::optional<LibraryEntry> FindMatch(const hooks::RecordingOutcome& outcome, const std::string& file);
  std::vector<LibraryFacet> Facets(LibraryFacetKind kind);

  // False when the id is unknown or the file cannot be written.
  bool SetProtected(int64_t id, bool is_protected);
  bool SetMissing(int64_t id, bool missing);
  bool SetRecording(int64_t id, bool recording);
  bool SetWatched(int64_t id, int64_t seconds);
  // What is known of a recording while it is written (a manual recording of the whole stream learns
  // its first service and the programme on air there, as its report will name them at the end):
  // a text left empty and service 0 keep the entry's own. False when the id is unknown or the file
  // cannot be written.
  bool Describe(int64_t id, const std::string& title, const std::string& plain_title, uint16_t service_id,
                const std::string& service_name);
  // The recording was found at `file` with its report at `report` (moved by the user).
  bool Relocate(int64_t id, const std::string& file, const std::string& report);
  // Takes the entry out of the catalogue (the file stays).
  bool Forget(int64_t id);

  // Bytes per second of the complete recordings of `service_id` (their bytes over their seconds:
  // a tuner lost or away counts seconds without bytes); nullopt when none tells.
  std::optional<double> MeasuredRate(uint16_t service_id);

  const std::string& path() const { return path_; }

 private:
  RecordingLibrary(sqlite3* db, std::string path);
  bool Exec(const char* sql);
  bool Change(const char* sql, int64_t id, int64_t value);
  std::optional<int64_t> Write(const LibraryEntry& e, bool insert);

  struct Database;
  std::unique_ptr<Database> database_;
  sqlite3* db_;
  std::string path_;
};

}  // namespace pelkan
