#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace pelkan {

// One prepared statement; reset (not finalised) when a cached one goes out of use.
class GuideSqlStatement {
 public:
  GuideSqlStatement(sqlite3* db, const char* sql) : owned_(true) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr);
  }
  GuideSqlStatement(sqlite3_stmt* cached, int rc) : st_(cached), rc_(cached ? SQLITE_OK : rc) {}
  ~GuideSqlStatement() {
    if (owned_) {
      sqlite3_finalize(st_);
    } else if (st_ != nullptr) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
    }
  }
  GuideSqlStatement(GuideSqlStatement&& other) noexcept
      : st_(std::exchange(other.st_, nullptr)), rc_(other.rc_), owned_(other.owned_) {}
  GuideSqlStatement(const GuideSqlStatement&) = delete;
  GuideSqlStatement& operator=(const GuideSqlStatement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK && st_ != nullptr; }
  // Makes the statement ready to run again with new values.
  void Reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    if (st_ != nullptr) rc_ = SQLITE_OK;
  }
  int rc() const { return rc_; }
  GuideSqlStatement& Int(int i, int64_t v) {
    if (ok()) sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  GuideSqlStatement& Null(int i) {
    if (ok()) sqlite3_bind_null(st_, i);
    return *this;
  }
  GuideSqlStatement& Blob(int i, std::string_view v) {
    if (ok())
      sqlite3_bind_blob(st_, i, v.empty() ? "" : v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  GuideSqlStatement& Text(int i, std::string_view v) {
    if (ok()) sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (!ok()) return rc_;
    rc_ = sqlite3_step(st_);
    const int result = rc_;
    if (rc_ == SQLITE_ROW || rc_ == SQLITE_DONE) rc_ = SQLITE_OK;
    return result;
  }
  int64_t ColInt(int c) const { return sqlite3_column_int64(st_, c); }
  bool ColNull(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
  std::string ColBlob(int c) const {
    const void* p = sqlite3_column_blob(st_, c);
    const int n = sqlite3_column_bytes(st_, c);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_ = SQLITE_OK;
  bool owned_ = false;
};

}  // namespace pelkan
