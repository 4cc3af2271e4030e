#include "guide/sqlite_library.h"

#include "platform/shared_library.h"

namespace pelkan {

const SqliteLibrary* Sqlite(std::string* error) {
  return platform::LoadLibraryTable<SqliteLibrary>(
      "libsqlite3.so.0",
      [](platform::SharedLibrary& library, SqliteLibrary& table) {
#define PELKAN_SQLITE_RESOLVE(name) &&library.Resolve(#name, &table.name)
        return true PELKAN_SQLITE_FUNCTIONS(PELKAN_SQLITE_RESOLVE);
#undef PELKAN_SQLITE_RESOLVE
      },
      error);
}

namespace {

// The loaded table; only reached through a handle that sqlite3_open_v2 gave, so never without it.
const SqliteLibrary& Loaded() {
  return *Sqlite();
}

}  // namespace

}  // namespace pelkan

// The functions the program calls, each forwarding to the library's own.
using pelkan::Loaded;

extern "C" {

int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs) {
  const pelkan::SqliteLibrary* library = pelkan::Sqlite();
  if (library == nullptr) {
    if (db != nullptr) *db = nullptr;
    return SQLITE_CANTOPEN;
  }
  return library->sqlite3_open_v2(filename, db, flags, vfs);
}
int sqlite3_close_v2(sqlite3* db) {
  return db == nullptr ? SQLITE_OK : Loaded().sqlite3_close_v2(db);
}
const char* sqlite3_errstr(int code) {
  // Also asked after a failed open, when the library itself may be what is missing.
  thread_local std::string why;
  const pelkan::SqliteLibrary* library = pelkan::Sqlite(&why);
  return library != nullptr ? library->sqlite3_errstr(code) : why.c_str();
}
int sqlite3_busy_timeout(sqlite3* db, int ms) { return Loaded().sqlite3_busy_timeout(db, ms); }
int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**), void* user,
                 char** error) {
  return Loaded().sqlite3_exec(db, sql, callback, user, error);
}
int sqlite3_changes(sqlite3* db) { return Loaded().sqlite3_changes(db); }
sqlite3_int64 sqlite3_last_insert_rowid(sqlite3* db) { return Loaded().sqlite3_last_insert_rowid(db); }
int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement, const char** tail) {
  return Loaded().sqlite3_prepare_v2(db, sql, bytes, statement, tail);
}
int sqlite3_prepare_v3(sqlite3* db, const char* sql, int bytes, unsigned int flags, sqlite3_stmt** statement,
                       const char** tail) {
  return Loaded().sqlite3_prepare_v3(db, sql, bytes, flags, statement, tail);
}
int sqlite3_step(sqlite3_stmt* s) { return Loaded().sqlite3_step(s); }
int sqlite3_reset(sqlite3_stmt* s) { return Loaded().sqlite3_reset(s); }
int sqlite3_finalize(sqlite3_stmt* s) { return s == nullptr ? SQLITE_OK : Loaded().sqlite3_finalize(s); }
int sqlite3_clear_bindings(sqlite3_stmt* s) { return Loaded().sqlite3_clear_bindings(s); }
int sqlite3_bind_text(sqlite3_stmt* s, int i, const char* text, int bytes, void (*destructor)(void*)) {
  return Loaded().sqlite3_bind_text(s, i, text, bytes, destructor);
}
int sqlite3_bind_null(sqlite3_stmt* s, int i) { return Loaded().sqlite3_bind_null(s, i); }
int sqlite3_bind_int64(sqlite3_stmt* s, int i, sqlite3_int64 value) { return Loaded().sqlite3_bind_int64(s, i, value); }
int sqlite3_bind_blob(sqlite3_stmt* s, int i, const void* data, int bytes, void (*destructor)(void*)) {
  return Loaded().sqlite3_bind_blob(s, i, data, bytes, destructor);
}
int sqlite3_column_type(sqlite3_stmt* s, int column) { return Loaded().sqlite3_column_type(s, column); }
sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* s, int column) { return Loaded().sqlite3_column_int64(s, column); }
int sqlite3_column_bytes(sqlite3_stmt* s, int column) { return Loaded().sqlite3_column_bytes(s, column); }
const void* sqlite3_column_blob(sqlite3_stmt* s, int column) { return Loaded().sqlite3_column_blob(s, column); }

}  // extern "C"
