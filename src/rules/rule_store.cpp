#include "rules/rule_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include "guide/guide_file.h"
#include "guide/guide_sql_statement.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

using Statement = GuideSqlStatement;

constexpr int kApplicationId = 0x50454C52;  // "PELR": the rules of this program
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema = R"sql(
CREATE TABLE rules(id INTEGER PRIMARY KEY AUTOINCREMENT, body TEXT NOT NULL);
CREATE TABLE marks(
  original_network_id INTEGER NOT NULL,
  transport_stream_id INTEGER NOT NULL,
  service_id INTEGER NOT NULL,
  event_id INTEGER NOT NULL,
  rule_id INTEGER NOT NULL,
  start INTEGER NOT NULL,
  forced INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(original_network_id, transport_stream_id, service_id, event_id)) WITHOUT ROWID;
CREATE TABLE history(
  id INTEGER PRIMARY KEY,
  episode_key TEXT NOT NULL,
  title_key TEXT NOT NULL,
  rule_id INTEGER NOT NULL,
  original_network_id INTEGER NOT NULL,
  transport_stream_id INTEGER NOT NULL,
  service_id INTEGER NOT NULL,
  event_id INTEGER NOT NULL,
  start INTEGER NOT NULL,
  episode INTEGER NOT NULL,
  title BLOB NOT NULL,
  path TEXT NOT NULL,
  clean INTEGER NOT NULL,
  why TEXT NOT NULL);
)sql";

enum class Kind { kRules, kEmpty, kForeign, kFailed };

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The message (Shift-JIS) that the rules file at `path` was renamed to `aside`.
std::string ReplacedNotice(const std::string& path, const std::string& aside) {
  return platform::Utf8ToSjis("自動予約ファイル " + BaseName(path) + " は壊れているか自動予約のものでないため、" +
                              BaseName(aside) + " に名前を変えて新しく作りました。");
}

Kind Inspect(sqlite3* db, int* code) {
  int64_t values[3] = {};
  if (!GuideFile::ReadHeader(db, values, code)) return GuideFile::IsDamage(*code) ? Kind::kForeign : Kind::kFailed;
  if (values[2] == 0) return Kind::kEmpty;
  if (values[0] == kApplicationId && values[1] == kSchemaVersion) {
    Statement check(db, "PRAGMA quick_check");
    const int rc = check.Step();
    if (rc != SQLITE_ROW) {
      *code = rc;
      return GuideFile::IsDamage(rc) ? Kind::kForeign : Kind::kFailed;
    }
    return check.ColBlob(0) == "ok" ? Kind::kRules : Kind::kForeign;
  }
  Statement count(db, "SELECT count(*) FROM sqlite_schema");
  if (count.Step() == SQLITE_ROW && count.ColInt(0) == 0) return Kind::kEmpty;
  return Kind::kForeign;
}

}  // namespace

std::unique_ptr<RuleStore> RuleStore::Open(const std::string& path, std::string* notice, std::string* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st {};
    bool foreign = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    sqlite3* db = nullptr;
    std::string why = "not a regular file";
    if (!foreign) {
      const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                     nullptr);
      if (rc != SQLITE_OK) {
        if (error) *error = path + ": " + sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return nullptr;
      }
      sqlite3_busy_timeout(db, kBusyTimeoutMs);
      int code = 0;
      // The header and schema are read in one transaction, so that a file another process is
      // making is seen empty or whole.
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      const Kind kind = Inspect(db, &code);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      if (kind == Kind::kFailed) {
        if (error) *error = path + ": " + sqlite3_errstr(code);
        sqlite3_close_v2(db);
        return nullptr;
      }
      foreign = kind == Kind::kForeign;
      why = code != 0 ? sqlite3_errstr(code) : "not a rules file of this program";
    }
    if (foreign) {
      sqlite3_close_v2(db);
      const std::string aside = GuideFile::SetAside(path);
      if (aside.empty()) {
        if (error) *error = path + ": " + why + ", and it cannot be renamed";
        return nullptr;
      }
      if (notice) *notice = ReplacedNotice(path, aside);
      continue;
    }
    std::unique_ptr<RuleStore> store(new RuleStore(db, path));
    // A new file gets its schema and application id in one exclusive transaction, before WAL mode
    // writes anything: another process finds it empty or whole, never foreign.
    int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
      bool empty = false;
      {
        Statement count(db, "SELECT count(*) FROM sqlite_schema");
        empty = count.Step() == SQLITE_ROW && count.ColInt(0) == 0;
      }
      if (empty) {
        const std::string init = std::string(kSchema) + "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                 ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
        rc = sqlite3_exec(db, init.c_str(), nullptr, nullptr, nullptr);
      }
      if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      if (error) *error = path + ": " + sqlite3_errstr(rc);
      return nullptr;
    }
    return store;
  }
  if (error) *error = path + ": cannot be made";
  return nullptr;
}

RuleStore::~RuleStore() {
  sqlite3_close_v2(db_);
}

bool RuleStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::vector<ReservationRule> RuleStore::Rules() {
  std::vector<ReservationRule> out;
  Statement s(db_, "SELECT id, body FROM rules ORDER BY id");
  while (s.Step() == SQLITE_ROW) {
    ReservationRule r = ParseRuleBody(s.ColBlob(1));
    r.id = static_cast<uint32_t>(s.ColInt(0));
    out.push_back(std::move(r));
  }
  return out;
}

std::optional<ReservationRule> RuleStore::Find(uint32_t id) {
  Statement s(db_, "SELECT body FROM rules WHERE id = ?");
  s.Int(1, id);
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  ReservationRule r = ParseRuleBody(s.ColBlob(0));
  r.id = id;
  return r;
}

uint32_t RuleStore::Save(const ReservationRule& rule) {
  const std::string body = FormatRuleBody(rule);
  if (rule.id == 0) {
    Statement s(db_, "INSERT INTO rules(body) VALUES(?)");
    s.Text(1, body);
    if (s.Step() != SQLITE_DONE) return 0;
    return static_cast<uint32_t>(sqlite3_last_insert_rowid(db_));
  }
  Statement s(db_, "UPDATE rules SET body = ? WHERE id = ?");
  s.Text(1, body).Int(2, rule.id);
  if (s.Step() != SQLITE_DONE || sqlite3_changes(db_) == 0) return 0;
  return rule.id;
}

bool RuleStore::Remove(uint32_t id) {
  Statement s(db_, "DELETE FROM rules WHERE id = ?");
  s.Int(1, id);
  return s.Step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

std::vector<RuleMark> RuleStore::Marks() {
  std::vector<RuleMark> out;
  Statement s(db_,
              "SELECT original_network_id, transport_stream_id, service_id, event_id, rule_id, forced FROM marks");
  while (s.Step() == SQLITE_ROW) {
    RuleMark m;
    m.key = {static_cast<uint16_t>(s.ColInt(0)), static_cast<uint16_t>(s.ColInt(1)),
             static_cast<uint16_t>(s.ColInt(2)), static_cast<uint16_t>(s.ColInt(3))};
    m.rule_id = static_cast<uint32_t>(s.ColInt(4));
    m.forced = s.ColInt(5) != 0;
    out.push_back(m);
  }
  return out;
}

bool RuleStore::Mark(const GuideEventKey& k, uint32_t rule_id, GuideTime start, bool forced) {
  Statement s(db_,
              "INSERT OR REPLACE INTO marks(original_network_id, transport_stream_id, service_id, event_id, rule_id, "
              "start, forced) VALUES(?, ?, ?, ?, ?, ?, ?)");
  s.Int(1, k.original_network_id).Int(2, k.transport_stream_id).Int(3, k.service_id).Int(4, k.event_id);
  s.Int(5, rule_id).Int(6, start).Int(7, forced ? 1 : 0);
  return s.Step() == SQLITE_DONE;
}

bool RuleStore::Unmark(const GuideEventKey& k) {
  Statement s(db_,
              "DELETE FROM marks WHERE original_network_id = ? AND transport_stream_id = ? AND service_id = ? AND "
              "event_id = ?");
  s.Int(1, k.original_network_id).Int(2, k.transport_stream_id).Int(3, k.service_id).Int(4, k.event_id);
  return s.Step() == SQLITE_DONE;
}

bool RuleStore::ForgetMarksBefore(GuideTime t) {
  Statement s(db_, "DELETE FROM marks WHERE start < ?");
  s.Int(1, t);
  return s.Step() == SQLITE_DONE;
}

bool RuleStore::AddHistory(const HistoryEntry& h) {
  Statement s(db_,
              "INSERT INTO history(episode_key, title_key, rule_id, original_network_id, transport_stream_id, "
              "service_id, event_id, start, episode, title, path, clean, why) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
              "?, ?, ?)");
  s.Text(1, h.episode_key).Text(2, h.title_key).Int(3, h.rule_id);
  s.Int(4, h.key.original_network_id).Int(5, h.key.transport_stream_id).Int(6, h.key.service_id);
  s.Int(7, h.key.event_id).Int(8, h.start).Int(9, h.episode_number).Blob(10, h.title).Text(11, h.path);
  s.Int(12, h.clean ? 1 : 0).Text(13, h.why);
  return s.Step() == SQLITE_DONE;
}

std::vector<HistoryEntry> RuleStore::History() {
  std::vector<HistoryEntry> out;
  Statement s(db_,
              "SELECT episode_key, title_key, rule_id, original_network_id, transport_stream_id, service_id, "
              "event_id, start, episode, title, path, clean, why FROM history ORDER BY start, id");
  while (s.Step() == SQLITE_ROW) {
    HistoryEntry h;
    h.episode_key = s.ColBlob(0);
    h.title_key = s.ColBlob(1);
    h.rule_id = static_cast<uint32_t>(s.ColInt(2));
    h.key = {static_cast<uint16_t>(s.ColInt(3)), static_cast<uint16_t>(s.ColInt(4)),
             static_cast<uint16_t>(s.ColInt(5)), static_cast<uint16_t>(s.ColInt(6))};
    h.start = s.ColInt(7);
    h.episode_number = static_cast<uint16_t>(s.ColInt(8));
    h.title = s.ColBlob(9);
    h.path = s.ColBlob(10);
    h.clean = s.ColInt(11) != 0;
    h.why = s.ColBlob(12);
    out.push_back(std::move(h));
  }
  return out;
}

std::vector<RecordedEpisode> RuleStore::Recorded() {
  std::vector<RecordedEpisode> out;
  for (const HistoryEntry& h : History()) {
    if (h.clean) out.push_back({h.episode_key, h.title_key, h.start, h.episode_number});
  }
  return out;
}

uint64_t RuleStore::DataVersion() {
  Statement s(db_, "PRAGMA data_version");
  return s.Step() == SQLITE_ROW ? static_cast<uint64_t>(s.ColInt(0)) : 0;
}

}  // namespace pelkan
