#pragma once

#include <memory>
#include <string>
#include <utility>

#include "guide/sqlite_database.h"

namespace pelkan {

// The programme guide's file (epg.sqlite beside pelkan.ini) as one SQLite connection: opening it,
// checking that it is a guide of this program (application id, schema version, and the whole file
// for a writer), renaming a damaged or foreign file aside, and creating the schema in WAL mode,
// through SqliteDatabase.
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
  GuideFile(const GuideFile&) = delete;
  GuideFile& operator=(const GuideFile&) = delete;

  sqlite3* db() const { return database_.db(); }
  const std::string& path() const { return database_.path(); }

  // The message for the user (Shift-JIS) that the file at `path` was renamed to `aside`.
  static std::string ReplacedNotice(const std::string& path, const std::string& aside);

 private:
  explicit GuideFile(SqliteDatabase database) : database_(std::move(database)) {}

  SqliteDatabase database_;
};

}  // namespace pelkan
