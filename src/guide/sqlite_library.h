#pragma once

#include <sqlite3.h>

#include <string>

namespace pelkan {

// The SQLite functions the guide, the rules and the catalogue call, in one list: the table's
// members are named after them.
#define PELKAN_SQLITE_FUNCTIONS(X) \
  X(sqlite3_open_v2)               \
  X(sqlite3_close_v2)              \
  X(sqlite3_busy_timeout)          \
  X(sqlite3_errstr)                \
  X(sqlite3_exec)                  \
  X(sqlite3_changes)               \
  X(sqlite3_last_insert_rowid)     \
  X(sqlite3_prepare_v2)            \
  X(sqlite3_prepare_v3)            \
  X(sqlite3_step)                  \
  X(sqlite3_reset)                 \
  X(sqlite3_finalize)              \
  X(sqlite3_clear_bindings)        \
  X(sqlite3_bind_text)             \
  X(sqlite3_bind_null)             \
  X(sqlite3_bind_int64)            \
  X(sqlite3_bind_blob)             \
  X(sqlite3_column_type)           \
  X(sqlite3_column_int64)          \
  X(sqlite3_column_bytes)          \
  X(sqlite3_column_blob)

// libsqlite3, taken from the library when a file is first opened rather than linked, so that a
// command that opens none (`--version`, `generate`, `check`) does not pay for mapping and
// relocating it at start. The program's own definitions of the functions above forward to this
// table, so that their callers stay as they are; without the library, opening a file fails with
// SQLITE_CANTOPEN and sqlite3_errstr says why. The types and constants are the header's own.
struct SqliteLibrary {
#define PELKAN_SQLITE_MEMBER(name) decltype(&::name) name = nullptr;
  PELKAN_SQLITE_FUNCTIONS(PELKAN_SQLITE_MEMBER)
#undef PELKAN_SQLITE_MEMBER
};

// The table, loaded on the first call (any thread); nullptr when libsqlite3 or one of its
// functions is missing, `*error` (if given) then saying why.
const SqliteLibrary* Sqlite(std::string* error = nullptr);

}  // namespace pelkan
