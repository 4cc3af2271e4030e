#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

struct sqlite3;

namespace pelkan {

// What an opened file turned out to be, as the owner's check of its header and schema tells.
enum class SqliteVerdict {
  kGood,     // a file of the owner's kind, ready to use
  kEmpty,    // a new file (no page, or not a single table yet)
  kForeign,  // another database, or a damaged one
  kFailed,   // cannot be read now (`code` tells why); left alone
};

// What differs between the program's SQLite files (the guide, the rules) when one is opened.
struct SqliteOpenRules {
  int busy_timeout_ms = 0;
  // Creates the file when missing and gives a new one its schema; without it, a missing or empty
  // file is the error `missing`.
  bool create = true;
  // Renames a foreign file aside and makes a new one; without it, a foreign file is an error.
  bool repair = true;
  // A reader: a file this process may not write is opened read-only, and one whose folder does
  // not let it make the files a reader of a WAL database needs (a read-only folder or medium,
  // where no writer can be either) as an unchanging file.
  bool reader = false;
  // Reads the open file's header and schema (bringing an older schema up to date if it does
  // that); `code` receives the SQLite code of a failure or damage.
  std::function<SqliteVerdict(sqlite3* db, int* code)> inspect;
  // The statements that make the schema (with the application id) of an empty file.
  std::string schema;
  // Run after the schema on every connection that may write (journal mode and the like).
  const char* settings = "";
  // Why a readable file of another kind is foreign (English).
  const char* foreign_why = "";
  // The error (English) for a missing or empty file when it is not created.
  std::string missing;
  // The error (English) when a new file is foreign again; empty: the path and why.
  std::string gave_up;
  // The message for the user (Shift-JIS) that the file at `path` was renamed to `aside`.
  std::string (*replaced_notice)(const std::string& path, const std::string& aside) = nullptr;
};

// The rules of a file that carries `application_id` and schema `version` in its header
// (SqliteDatabase::InspectOwnFile), made by `schema` in WAL mode, waiting `busy_timeout_ms` for
// another writer; the rest is the caller's to fill.
SqliteOpenRules OwnFileRules(int64_t application_id, int64_t version, const std::string& schema, int busy_timeout_ms);

// One connection to one of the program's SQLite files, closed with the object. Opening checks
// that the file is of its owner's kind and renames a damaged or foreign file aside (never
// overwriting it) before making a new one. Used by one thread at a time.
class SqliteDatabase {
 public:
  // Opens the file at `path` (UTF-8) by `rules`. `notice` receives the message for the user when
  // a file was renamed aside; empty with `error` (English) on failure. *created (if given) tells
  // whether the schema was made just now.
  static std::optional<SqliteDatabase> Open(const std::string& path, const SqliteOpenRules& rules,
                                            std::string* notice, std::string* error, bool* created = nullptr);
  ~SqliteDatabase();
  SqliteDatabase(SqliteDatabase&& other) noexcept
      : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}
  SqliteDatabase& operator=(SqliteDatabase&&) = delete;
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  sqlite3* db() const { return db_; }
  const std::string& path() const { return path_; }

  // Whether an SQLite result code says the file is damaged.
  static bool IsDamage(int code);
  // The open file's application_id, user_version and page_count (in that order); false, with
  // `code` the SQLite code, when they cannot be read.
  static bool ReadHeader(sqlite3* db, int64_t (&values)[3], int* code);
  // Renames `path` and its WAL files aside (name + ".broken-YYYYMMDD-hhmmss"); the new name
  // (UTF-8), or empty when it cannot be moved.
  static std::string SetAside(const std::string& path);
  // The usual check of a file that carries its owner's `application_id` and schema `version` in
  // its header (in one read transaction, so that a file another process is making is seen empty or
  // whole): good when both match and its quick check passes, empty without a page or a table,
  // foreign otherwise.
  static SqliteVerdict InspectOwnFile(sqlite3* db, int64_t application_id, int64_t version, int* code);

 private:
  SqliteDatabase(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

  sqlite3* db_;
  std::string path_;
};

}  // namespace pelkan
