#include "guide/guide_file.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <utility>

#include "guide/broadcast_text.h"
#include "guide/guide_sql_statement.h"
#include "guide/guide_texts.h"
#include "platform/clock.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

using Statement = GuideSqlStatement;

constexpr int kApplicationId = 0x50454C47;  // "PELG": a programme guide of this program
constexpr int kSchemaVersion = 2;
// A guide of the first schema lacks the series columns of the events; opening it adds them.
constexpr int kFirstSchemaVersion = 1;
constexpr const char* kSeriesColumns =
    "ALTER TABLE events ADD COLUMN series INTEGER;"
    "ALTER TABLE events ADD COLUMN episode INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE events ADD COLUMN repeat INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE events ADD COLUMN free_ca INTEGER NOT NULL DEFAULT 0;";
constexpr int kBusyTimeoutMs = 3000;

constexpr const char* kSchema = R"sql(
CREATE TABLE services(
  original_network_id INTEGER NOT NULL,
  transport_stream_id INTEGER NOT NULL,
  service_id INTEGER NOT NULL,
  name BLOB NOT NULL DEFAULT x'',
  complete_at INTEGER,
  PRIMARY KEY(original_network_id, transport_stream_id, service_id)) WITHOUT ROWID;
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  original_network_id INTEGER NOT NULL,
  transport_stream_id INTEGER NOT NULL,
  service_id INTEGER NOT NULL,
  event_id INTEGER NOT NULL,
  start INTEGER NOT NULL,
  duration INTEGER,
  title BLOB NOT NULL DEFAULT x'',
  genre INTEGER,
  video INTEGER NOT NULL DEFAULT 0,
  audio INTEGER NOT NULL DEFAULT 0,
  kind INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 0,
  ext_kind INTEGER NOT NULL DEFAULT 0,
  ext_version INTEGER NOT NULL DEFAULT 0,
  series INTEGER,
  episode INTEGER NOT NULL DEFAULT 0,
  repeat INTEGER NOT NULL DEFAULT 0,
  free_ca INTEGER NOT NULL DEFAULT 0,
  UNIQUE(original_network_id, transport_stream_id, service_id, event_id));
CREATE INDEX events_start ON events(start);
CREATE TABLE texts(
  id INTEGER PRIMARY KEY,
  description BLOB NOT NULL DEFAULT x'',
  extended BLOB NOT NULL DEFAULT x'');
CREATE TABLE search_text(
  id INTEGER PRIMARY KEY,
  title TEXT NOT NULL,
  description TEXT NOT NULL,
  extended TEXT NOT NULL);
CREATE VIRTUAL TABLE search USING fts5(title, description, extended, content='search_text', content_rowid='id',
                                       tokenize='trigram');
CREATE TRIGGER events_deleted AFTER DELETE ON events BEGIN
  INSERT INTO search(search, rowid, title, description, extended)
    SELECT 'delete', id, title, description, extended FROM search_text WHERE id = old.id;
  DELETE FROM search_text WHERE id = old.id;
  DELETE FROM texts WHERE id = old.id;
END;
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
)sql";

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

enum class Verdict { kGood, kOlder, kEmpty, kForeign, kFailed };

// What the open file is; `code` receives the SQLite code of a failure.
Verdict InspectNow(sqlite3* db, bool whole, int* code);

// The file's header and schema are read in one read transaction, so that a guide another process
// makes meanwhile is seen either empty or whole, never half (its tables without its application id).
Verdict Inspect(sqlite3* db, bool whole, int* code) {
  const int rc = Exec(db, "BEGIN");
  if (rc != SQLITE_OK) {
    *code = rc;
    return GuideFile::IsDamage(rc) ? Verdict::kForeign : Verdict::kFailed;
  }
  const Verdict verdict = InspectNow(db, whole, code);
  Exec(db, "COMMIT");
  return verdict;
}

Verdict InspectNow(sqlite3* db, bool whole, int* code) {
  int64_t values[3] = {};
  if (!GuideFile::ReadHeader(db, values, code))
    return GuideFile::IsDamage(*code) ? Verdict::kForeign : Verdict::kFailed;
  if (values[2] == 0) return Verdict::kEmpty;
  const bool older = values[0] == kApplicationId && values[1] == kFirstSchemaVersion;
  if (!older && (values[0] != kApplicationId || values[1] != kSchemaVersion)) {
    // A database without a single table is a guide still being made (or whose making stopped
    // before its first transaction), not another program's file.
    Statement count(db, "SELECT count(*) FROM sqlite_schema");
    const int rc = count.Step();
    if (rc == SQLITE_ROW && count.ColInt(0) == 0) return Verdict::kEmpty;
    if (rc != SQLITE_ROW && !GuideFile::IsDamage(count.rc())) {
      *code = count.rc();
      return Verdict::kFailed;
    }
    return Verdict::kForeign;
  }
  if (whole) {
    Statement s(db, "PRAGMA quick_check");
    const int rc = s.Step();
    if (rc != SQLITE_ROW) {
      *code = rc;
      return GuideFile::IsDamage(rc) ? Verdict::kForeign : Verdict::kFailed;
    }
    if (s.ColBlob(0) != "ok") return Verdict::kForeign;
  }
  return older ? Verdict::kOlder : Verdict::kGood;
}

// Brings a guide of the first schema to the current one (readers too: it only adds columns, and a
// reader of this build could not read the file without them). Another process may be doing the
// same: the version is read again under the exclusive lock.
bool Upgrade(sqlite3* db, int* code) {
  int rc = Exec(db, "BEGIN EXCLUSIVE");
  if (rc == SQLITE_OK) {
    int64_t version = 0;
    {
      Statement s(db, "PRAGMA user_version");
      if (s.Step() == SQLITE_ROW) version = s.ColInt(0);
    }
    if (version == kFirstSchemaVersion) {
      rc = Exec(db, (std::string(kSeriesColumns) + "PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
    if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
    if (rc != SQLITE_OK) Exec(db, "ROLLBACK");
  }
  *code = rc;
  return rc == SQLITE_OK;
}

}  // namespace

GuideFile::~GuideFile() {
  sqlite3_close_v2(db_);
}

bool GuideFile::IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool GuideFile::ReadHeader(sqlite3* db, int64_t (&values)[3], int* code) {
  const char* const pragmas[3] = {"PRAGMA application_id", "PRAGMA user_version", "PRAGMA page_count"};
  for (int i = 0; i < 3; ++i) {
    Statement s(db, pragmas[i]);
    const int rc = s.Step();
    if (rc != SQLITE_ROW) {
      *code = rc != SQLITE_OK && rc != SQLITE_DONE ? rc : s.rc();
      return false;
    }
    values[i] = s.ColInt(0);
  }
  return true;
}

std::string GuideFile::SetAside(const std::string& path) {
  const platform::CalendarTime c = platform::LocalTimeNow();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, ".broken-%04d%02d%02d-%02d%02d%02d", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  std::string aside = path + stamp;
  struct stat st {};
  for (int n = 1; ::lstat(aside.c_str(), &st) == 0 && n < 1000; ++n)
    aside = path + stamp + "-" + std::to_string(n);
  if (std::rename(path.c_str(), aside.c_str()) != 0) return {};
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string from = path + suffix;
    if (::lstat(from.c_str(), &st) == 0 && std::rename(from.c_str(), (aside + suffix).c_str()) != 0)
      std::remove(from.c_str());
  }
  return aside;
}

std::string GuideFile::ReplacedNotice(const std::string& path, const std::string& aside) {
  char text[1024];
  std::snprintf(text, sizeof text, guide_text::kFileReplaced.c_str(),
                platform::Utf8ToSjis(BaseName(path)).c_str(), platform::Utf8ToSjis(BaseName(aside)).c_str());
  return text;
}

std::unique_ptr<GuideFile> GuideFile::Open(const std::string& path, bool write, bool repair, std::string* notice,
                                           std::string* error, bool* created) {
  if (created) *created = false;
  // Only a writer repairs: a reader never renames a file that a writer may be using.
  repair = repair && write;
  std::string why;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const bool create = write || attempt > 0;
    bool foreign = exists && !S_ISREG(st.st_mode);
    if (!exists && !create) {
      if (error) *error = "no programme guide yet (" + path + ")";
      return nullptr;
    }
    sqlite3* db = nullptr;
    if (!foreign) {
      const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
      const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
      if (rc != SQLITE_OK) {
        if (error) *error = path + ": " + sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return nullptr;
      }
      sqlite3_busy_timeout(db, kBusyTimeoutMs);
      int code = 0;
      switch (Inspect(db, write, &code)) {
        case Verdict::kGood:
          break;
        case Verdict::kOlder:
          if (!Upgrade(db, &code)) {
            if (error) *error = path + ": " + sqlite3_errstr(code);
            sqlite3_close_v2(db);
            return nullptr;
          }
          break;
        case Verdict::kEmpty:
          if (!create) {
            sqlite3_close_v2(db);
            if (error) *error = "no programme guide yet (" + path + ")";
            return nullptr;
          }
          break;
        case Verdict::kForeign:
          foreign = true;
          why = code != 0 ? sqlite3_errstr(code) : "not a programme guide of this program";
          break;
        case Verdict::kFailed:
          if (error) *error = path + ": " + sqlite3_errstr(code);
          sqlite3_close_v2(db);
          return nullptr;
      }
    } else {
      why = "not a regular file";
    }
    if (foreign) {
      sqlite3_close_v2(db);
      if (!repair) {
        if (error) *error = path + ": " + why;
        return nullptr;
      }
      const std::string aside = SetAside(path);
      if (aside.empty()) {
        if (error) *error = path + ": " + why + ", and it cannot be renamed";
        return nullptr;
      }
      if (notice) *notice = ReplacedNotice(path, aside);
      continue;  // a new file in its place
    }
    std::unique_ptr<GuideFile> file(new GuideFile(db, path));
    if (write || attempt > 0) {
      // A new guide gets its schema and application id in one exclusive transaction before
      // anything else writes to the file (WAL mode writes its first page): another process that
      // opens the file meanwhile waits for the lock or finds it empty, never foreign.
      int rc = Exec(db, "BEGIN EXCLUSIVE");
      if (rc == SQLITE_OK) {
        bool empty;
        {
          GuideSqlStatement count(db, "SELECT count(*) FROM sqlite_schema");
          empty = count.Step() == SQLITE_ROW && count.ColInt(0) == 0;
        }
        if (empty) {
          const std::string init = std::string(kSchema) + "PRAGMA application_id=" +
                                   std::to_string(kApplicationId) + ";PRAGMA user_version=" +
                                   std::to_string(kSchemaVersion) + ";INSERT INTO meta VALUES('text_revision'," +
                                   std::to_string(kBroadcastTextRevision) + ");";
          rc = Exec(db, init.c_str());
        }
        if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
        if (rc != SQLITE_OK) {
          Exec(db, "ROLLBACK");
        } else if (empty && created) {
          *created = true;
        }
      }
      if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA journal_mode=WAL");
      if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA synchronous=NORMAL");
      if (rc != SQLITE_OK) {
        if (error) *error = path + ": " + sqlite3_errstr(rc);
        return nullptr;
      }
    }
    return file;
  }
  if (error) *error = path + ": " + why;
  return nullptr;
}

}  // namespace pelkan
