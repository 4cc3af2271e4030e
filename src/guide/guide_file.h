#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct sqlite3;

namespace pelkan {

// The programme guide's file (epg.sqlite beside pelkan.ini) as one SQLite connection: opening it,
// checking that it is a guide of this program (application id, schema version, and the whole file
// for a writer), renaming a damaged or foreign file aside, and creating the schema in WAL mode.
// What is stored in it is the guide store's business. Used by one thread at a time.
class GuideFile {
 public:
  // Opens the file at `path` (UTF-8); with `write`, creates it when missing and checks it whole.
  // A file that is not a guide of this program (another database, a damaged one, not a regular
  // file) is renamed aside (name + ".broken-YYYYMMDD-hhmmss") and a new one made when `repair` is
  // set, and `notice` then receives the message for the user (Shift-JIS); without `repair`, or
  // when the file cannot be opened at all, the result is null and `error` receives the reason
  // (English). *created (if given) tells whether the schema was made just now. Never waits longer
  // than a few seconds for another connection's lock.
  static std::unique_ptr<GuideFile> Open(const std::string& path, bool write, bool repair,
                                         std::string* notice, std::string* error, bool* created = nullptr);
  ~GuideFile();
  GuideFile(const GuideFile&) = delete;
  GuideFile& operator=(const GuideFile&) = delete;

  sqlite3* db() const { return db_; }
  const std::string& path() const { return path_; }

  // Whether an SQLite result code says the file is damaged.
  static bool IsDamage(int code);
  // The open file's application_id, user_version and page_count (in that order); false, with
  // `code` the SQLite code, when they cannot be read. For the program's other SQLite files too.
  static bool ReadHeader(sqlite3* db, int64_t (&values)[3], int* code);
  // Renames `path` and its WAL files aside; the new name (UTF-8), or empty when it cannot be moved.
  static std::string SetAside(const std::string& path);
  // The message for the user (Shift-JIS) that the file at `path` was renamed to `aside`.
  static std::string ReplacedNotice(const std::string& path, const std::string& aside);

 private:
  GuideFile(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

  sqlite3* db_;
  std::string path_;
};

}  // namespace pelkan
