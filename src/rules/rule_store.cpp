#include "rules/rule_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>

#include "guide/guide_sql_statement.h"
#include "guide/sqlite_database.h"
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
  list_id TEXT NOT NULL DEFAULT '',
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

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The message (Shift-JIS) that the rules file at `path` was renamed to `aside`.
std::string ReplacedNotice(const std::string& path, const std::string& aside) {
  return platform::Utf8ToSjis("自動予約ファイル " + BaseName(path) + " は壊れているか自動予約のものでないため、" +
                              BaseName(aside) + " に名前を変えて新しく作りました。");
}

}  // namespace

std::unique_ptr<RuleStore> RuleStore::Open(const std::string& path, std::string* notice, std::string* error) {
  SqliteOpenRules rules = OwnFileRules(kApplicationId, kSchemaVersion, kSchema, kBusyTimeoutMs);
  rules.foreign_why = "not a rules file of this program";
  rules.gave_up = path + ": cannot be made";
  rules.replaced_notice = ReplacedNotice;
  std::optional<SqliteDatabase> database = SqliteDatabase::Open(path, rules, notice, error);
  if (!database) return nullptr;
  std::unique_ptr<RuleStore> store(new RuleStore(std::move(*database)));
  // A file of an earlier build lacks the marks' ListId: added, empty for the marks it has.
  if (!Statement(store->db_, "SELECT list_id FROM marks LIMIT 0").ok())
    store->Exec("ALTER TABLE marks ADD COLUMN list_id TEXT NOT NULL DEFAULT ''");
  return store;
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

uint32_t RuleStore::Save(const ReservationRule& rule, uint32_t above) {
  const std::string body = FormatRuleBody(rule);
  if (rule.id == 0) {
    // The id after every id this file ever gave and after `above`, in one transaction so that two
    // programs adding at once get two ids.
    if (!Exec("BEGIN IMMEDIATE")) return 0;
    int64_t last = above;
    {
      Statement seq(db_,
                    "SELECT max(ifnull((SELECT seq FROM sqlite_sequence WHERE name = 'rules'), 0), "
                    "ifnull((SELECT max(id) FROM rules), 0))");
      if (seq.Step() == SQLITE_ROW) last = std::max(last, seq.ColInt(0));
    }
    uint32_t id = 0;
    if (last < int64_t{UINT32_MAX}) {
      Statement s(db_, "INSERT INTO rules(id, body) VALUES(?, ?)");
      s.Int(1, last + 1).Text(2, body);
      if (s.Step() == SQLITE_DONE) id = static_cast<uint32_t>(last + 1);
    }
    Exec(id != 0 ? "COMMIT" : "ROLLBACK");
    return id;
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
  Statement s(
      db_,
      "SELECT original_network_id, transport_stream_id, service_id, event_id, rule_id, forced, list_id "
      "FROM marks");
  while (s.Step() == SQLITE_ROW) {
    RuleMark m;
    m.key = {static_cast<uint16_t>(s.ColInt(0)), static_cast<uint16_t>(s.ColInt(1)),
             static_cast<uint16_t>(s.ColInt(2)), static_cast<uint16_t>(s.ColInt(3))};
    m.rule_id = static_cast<uint32_t>(s.ColInt(4));
    m.forced = s.ColInt(5) != 0;
    m.list_id = s.ColBlob(6);
    out.push_back(std::move(m));
  }
  return out;
}

bool RuleStore::Mark(const GuideEventKey& k, uint32_t rule_id, GuideTime start, bool forced,
                     std::string_view list_id) {
  Statement s(
      db_,
      "INSERT OR REPLACE INTO marks(original_network_id, transport_stream_id, service_id, event_id, rule_id, "
      "start, forced, list_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  s.Int(1, k.original_network_id).Int(2, k.transport_stream_id).Int(3, k.service_id).Int(4, k.event_id);
  s.Int(5, rule_id).Int(6, start).Int(7, forced ? 1 : 0).Text(8, list_id);
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
