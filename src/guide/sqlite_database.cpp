#include "guide/sqlite_database.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "guide/guide_sql_statement.h"
#include "platform/clock.h"

namespace pelkan {
namespace {

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Gives an empty file its schema in one exclusive transaction before anything else writes to it
// (WAL mode writes its first page): another process that opens the file meanwhile waits for the
// lock or finds it empty, never foreign. Then applies the connection's settings.
int Initialize(sqlite3* db, const SqliteOpenRules& rules, bool* created) {
  int rc = Exec(db, "BEGIN EXCLUSIVE");
  if (rc == SQLITE_OK) {
    bool empty;
    {
      GuideSqlStatement count(db, "SELECT count(*) FROM sqlite_schema");
      empty = count.Step() == SQLITE_ROW && count.ColInt(0) == 0;
    }
    if (empty) rc = Exec(db, rules.schema.c_str());
    if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
    if (rc != SQLITE_OK) {
      Exec(db, "ROLLBACK");
    } else if (empty && created) {
      *created = true;
    }
  }
  if (rc == SQLITE_OK) rc = Exec(db, rules.settings);
  return rc;
}

// Opens a connection: read-only, or reading and writing (creating the file with `create`); an
// `unchanging` file is read without the shared files of WAL mode (nothing else may write it).
int OpenConnection(const std::string& path, bool read_only, bool create, bool unchanging, sqlite3** db) {
  int flags = SQLITE_OPEN_NOMUTEX;
  flags |= read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (!unchanging) return sqlite3_open_v2(path.c_str(), db, flags, nullptr);
  std::string uri = "file:";
  for (const unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    } else {
      uri += static_cast<char>(c);
    }
  }
  uri += "?immutable=1";
  return sqlite3_open_v2(uri.c_str(), db, flags | SQLITE_OPEN_URI, nullptr);
}

// Whether a read-only connection failed because it could not make or write the files a reader of
// a WAL database shares with the others (its folder is read-only).
bool CannotShare(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN;
}

}  // namespace

SqliteDatabase::~SqliteDatabase() {
  sqlite3_close_v2(db_);
}

bool SqliteDatabase::IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool SqliteDatabase::ReadHeader(sqlite3* db, int64_t (&values)[3], int* code) {
  const char* const pragmas[3] = {"PRAGMA application_id", "PRAGMA user_version", "PRAGMA page_count"};
  for (int i = 0; i < 3; ++i) {
    GuideSqlStatement s(db, pragmas[i]);
    const int rc = s.Step();
    if (rc != SQLITE_ROW) {
      *code = rc != SQLITE_OK && rc != SQLITE_DONE ? rc : s.rc();
      return false;
    }
    values[i] = s.ColInt(0);
  }
  return true;
}

std::string SqliteDatabase::SetAside(const std::string& path) {
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

std::optional<SqliteDatabase> SqliteDatabase::Open(const std::string& path, const SqliteOpenRules& rules,
                                                   std::string* notice, std::string* error, bool* created) {
  if (created) *created = false;
  std::string why;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const bool create = rules.create || attempt > 0;
    bool foreign = exists && !S_ISREG(st.st_mode);
    if (!exists && !create) {
      if (error) *error = rules.missing;
      return std::nullopt;
    }
    sqlite3* db = nullptr;
    if (!foreign) {
      const bool read_only = rules.reader && !create && ::access(path.c_str(), W_OK) != 0;
      int rc = OpenConnection(path, read_only, create, false, &db);
      if (rc != SQLITE_OK) {
        if (error) *error = path + ": " + sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return std::nullopt;
      }
      sqlite3_busy_timeout(db, rules.busy_timeout_ms);
      int code = 0;
      SqliteVerdict verdict = rules.inspect(db, &code);
      if (verdict == SqliteVerdict::kFailed && read_only && CannotShare(code)) {
        sqlite3_close_v2(db);
        db = nullptr;
        rc = OpenConnection(path, true, false, true, &db);
        if (rc != SQLITE_OK) {
          if (error) *error = path + ": " + sqlite3_errstr(rc);
          sqlite3_close_v2(db);
          return std::nullopt;
        }
        verdict = rules.inspect(db, &code);
      }
      switch (verdict) {
        case SqliteVerdict::kGood:
          break;
        case SqliteVerdict::kEmpty:
          if (!create) {
            sqlite3_close_v2(db);
            if (error) *error = rules.missing;
            return std::nullopt;
          }
          break;
        case SqliteVerdict::kForeign:
          foreign = true;
          why = code != 0 ? sqlite3_errstr(code) : rules.foreign_why;
          break;
        case SqliteVerdict::kFailed:
          if (error) *error = path + ": " + sqlite3_errstr(code);
          sqlite3_close_v2(db);
          return std::nullopt;
      }
    } else {
      why = "not a regular file";
    }
    if (foreign) {
      sqlite3_close_v2(db);
      if (!rules.repair) {
        if (error) *error = path + ": " + why;
        return std::nullopt;
      }
      const std::string aside = SetAside(path);
      if (aside.empty()) {
        if (error) *error = path + ": " + why + ", and it cannot be renamed";
        return std::nullopt;
      }
      if (notice) *notice = rules.replaced_notice(path, aside);
      continue;  // a new file in its place
    }
    SqliteDatabase file(db, path);
    if (create) {
      const int rc = Initialize(db, rules, created);
      if (rc != SQLITE_OK) {
        if (error) *error = path + ": " + sqlite3_errstr(rc);
        return std::nullopt;
      }
    }
    return file;
  }
  if (error) *error = rules.gave_up.empty() ? path + ": " + why : rules.gave_up;
  return std::nullopt;
}

SqliteVerdict SqliteDatabase::InspectOwnFile(sqlite3* db, int64_t application_id, int64_t version, int* code) {
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  const SqliteVerdict verdict = [&] {
    int64_t values[3] = {};
    if (!ReadHeader(db, values, code)) return IsDamage(*code) ? SqliteVerdict::kForeign : SqliteVerdict::kFailed;
    if (values[2] == 0) return SqliteVerdict::kEmpty;
    if (values[0] == application_id && values[1] == version) {
      GuideSqlStatement check(db, "PRAGMA quick_check");
      const int rc = check.Step();
      if (rc != SQLITE_ROW) {
        *code = rc;
        return IsDamage(rc) ? SqliteVerdict::kForeign : SqliteVerdict::kFailed;
      }
      return check.ColBlob(0) == "ok" ? SqliteVerdict::kGood : SqliteVerdict::kForeign;
    }
    GuideSqlStatement count(db, "SELECT count(*) FROM sqlite_schema");
    if (count.Step() == SQLITE_ROW && count.ColInt(0) == 0) return SqliteVerdict::kEmpty;
    return SqliteVerdict::kForeign;
  }();
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return verdict;
}

SqliteOpenRules OwnFileRules(int64_t application_id, int64_t version, const std::string& schema, int busy_timeout_ms) {
  SqliteOpenRules rules;
  rules.busy_timeout_ms = busy_timeout_ms;
  rules.inspect = [application_id, version](sqlite3* db, int* code) {
    return SqliteDatabase::InspectOwnFile(db, application_id, version, code);
  };
  rules.schema = schema + "PRAGMA application_id=" + std::to_string(application_id) +
                 ";PRAGMA user_version=" + std::to_string(version) + ";";
  rules.settings = "PRAGMA journal_mode=WAL";
  return rules;
}

}  // namespace pelkan
