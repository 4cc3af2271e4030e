#include "guide/guide_file.h"

#include <sqlite3.h>

#include <cstdio>
#include <utility>

#include "guide/broadcast_text.h"
#include "guide/guide_sql_statement.h"
#include "guide/guide_texts.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

using Statement = GuideSqlStatement;

constexpr int kApplicationId = 0x50454C47;  // "PELG": a programme guide of this program
constexpr int kSchemaVersion = 3;
// A guide of the first schema lacks the series columns of the events, one of the first two the
// time each service was last heard from; opening it adds them.
constexpr int kFirstSchemaVersion = 1;
constexpr const char* kSeriesColumns =
    "ALTER TABLE events ADD COLUMN series INTEGER;"
    "ALTER TABLE events ADD COLUMN episode INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE events ADD COLUMN repeat INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE events ADD COLUMN free_ca INTEGER NOT NULL DEFAULT 0;";
constexpr const char* kHeardColumn = "ALTER TABLE services ADD COLUMN heard_at INTEGER;";
constexpr int kBusyTimeoutMs = 3000;

constexpr const char* kSchema = R"sql(
CREATE TABLE services(
  original_network_id INTEGER NOT NULL,
  transport_stream_id INTEGER NOT NULL,
  service_id INTEGER NOT NULL,
  name BLOB NOT NULL DEFAULT x'',
  complete_at INTEGER,
  heard_at INTEGER,
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
    return SqliteDatabase::IsDamage(rc) ? Verdict::kForeign : Verdict::kFailed;
  }
  const Verdict verdict = InspectNow(db, whole, code);
  Exec(db, "COMMIT");
  return verdict;
}

Verdict InspectNow(sqlite3* db, bool whole, int* code) {
  int64_t values[3] = {};
  if (!SqliteDatabase::ReadHeader(db, values, code))
    return SqliteDatabase::IsDamage(*code) ? Verdict::kForeign : Verdict::kFailed;
  if (values[2] == 0) return Verdict::kEmpty;
  const bool older =
      values[0] == kApplicationId && values[1] >= kFirstSchemaVersion && values[1] < kSchemaVersion;
  if (!older && (values[0] != kApplicationId || values[1] != kSchemaVersion)) {
    // A database without a single table is a guide still being made (or whose making stopped
    // before its first transaction), not another program's file.
    Statement count(db, "SELECT count(*) FROM sqlite_schema");
    const int rc = count.Step();
    if (rc == SQLITE_ROW && count.ColInt(0) == 0) return Verdict::kEmpty;
    if (rc != SQLITE_ROW && !SqliteDatabase::IsDamage(count.rc())) {
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
      return SqliteDatabase::IsDamage(rc) ? Verdict::kForeign : Verdict::kFailed;
    }
    if (s.ColBlob(0) != "ok") return Verdict::kForeign;
  }
  return older ? Verdict::kOlder : Verdict::kGood;
}

// Brings a guide of an older schema to the current one (readers too: it only adds columns, and a
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
    if (version >= kFirstSchemaVersion && version < kSchemaVersion) {
      const std::string columns = std::string(version == kFirstSchemaVersion ? kSeriesColumns : "") + kHeardColumn;
      rc = Exec(db, (columns + "PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
    if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
    if (rc != SQLITE_OK) Exec(db, "ROLLBACK");
  }
  *code = rc;
  return rc == SQLITE_OK;
}

}  // namespace

std::string GuideFile::ReplacedNotice(const std::string& path, const std::string& aside) {
  char text[1024];
  std::snprintf(text, sizeof text, guide_text::kFileReplaced.c_str(),
                platform::Utf8ToSjis(BaseName(path)).c_str(), platform::Utf8ToSjis(BaseName(aside)).c_str());
  return text;
}

std::unique_ptr<GuideFile> GuideFile::Open(const std::string& path, bool write, bool repair, std::string* notice,
                                           std::string* error, bool* created) {
  SqliteOpenRules rules;
  rules.busy_timeout_ms = kBusyTimeoutMs;
  rules.create = write;
  rules.reader = !write;
  // Only a writer repairs: a reader never renames a file that a writer may be using.
  rules.repair = repair && write;
  rules.inspect = [write](sqlite3* db, int* code) {
    switch (Inspect(db, write, code)) {
      case Verdict::kGood:
        return SqliteVerdict::kGood;
      case Verdict::kOlder:
        return Upgrade(db, code) ? SqliteVerdict::kGood : SqliteVerdict::kFailed;
      case Verdict::kEmpty:
        return SqliteVerdict::kEmpty;
      case Verdict::kForeign:
        return SqliteVerdict::kForeign;
      case Verdict::kFailed:
        break;
    }
    return SqliteVerdict::kFailed;
  };
  rules.schema = std::string(kSchema) + "PRAGMA application_id=" + std::to_string(kApplicationId) +
                 ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";INSERT INTO meta VALUES('text_revision'," +
                 std::to_string(kBroadcastTextRevision) + ");";
  rules.settings = "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;PRAGMA mmap_size=268435456;PRAGMA cache_size=-16384";
  rules.foreign_why = "not a programme guide of this program";
  rules.missing = "no programme guide yet (" + path + ")";
  rules.replaced_notice = ReplacedNotice;
  std::optional<SqliteDatabase> database = SqliteDatabase::Open(path, rules, notice, error, created);
  if (!database) return nullptr;
  return std::unique_ptr<GuideFile>(new GuideFile(std::move(*database)));
}

}  // namespace pelkan
