#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "guide/sqlite_database.h"
#include "rules/reservation_rule.h"
#include "rules/rule_evaluation.h"

namespace pelkan {

// One recording of a rule's programme as the history keeps it.
struct HistoryEntry {
  std::string episode_key;
  std::string title_key;
  uint32_t rule_id = 0;
  GuideEventKey key;
  GuideTime start = 0;
  uint16_t episode_number = 0;
  std::string title;  // Shift-JIS, as the guide holds it
  std::string path;   // the recording (UTF-8)
  bool clean = false;  // no drops, no errors, not cut short: the episode counts as recorded
  std::string why;     // why it did not record whole (English), empty when clean
};

// The rules file (rules.sqlite beside pelkan.ini): an SQLite database in WAL mode with the rules
// (each its id and its body, FormatRuleBody), the marks of the programmes the rules reserved (so a
// reservation deleted by hand is not made again) and the history of their recordings. Several
// processes may use it at once; each change is one transaction. A file that is not a rules file of
// this program or is damaged is renamed aside (name + ".broken-YYYYMMDD-hhmmss", as the guide's),
// never overwritten, and a new one made. Ids are never reused, so a reservation's Rule= mark never
// names a later rule. One object is used by one thread at a time.
class RuleStore {
 public:
  // Opens (creating when missing) the file at `path` (UTF-8). `notice` receives the message for
  // the user (Shift-JIS) when a file was renamed aside; null with `error` (English) on failure.
  static std::unique_ptr<RuleStore> Open(const std::string& path, std::string* notice, std::string* error);
  RuleStore(const RuleStore&) = delete;
  RuleStore& operator=(const RuleStore&) = delete;

  const std::string& path() const { return database_.path(); }

  // Every rule, by id.
  std::vector<ReservationRule> Rules();
  std::optional<ReservationRule> Find(uint32_t id);
  // Stores a new rule (id 0; the new id is returned) or replaces the rule of its id (returns the
  // id; 0 when there is none, or on an error). A new rule's id is above every id the file gave and
  // above `above`: the highest rule id the reservation file names (HighestRuleId), so that a new
  // file never gives a rule the id of reservations an earlier file's rule made.
  uint32_t Save(const ReservationRule& rule, uint32_t above = 0);
  bool Remove(uint32_t id);

  std::vector<RuleMark> Marks();
  // Marks `key` as reserved by rule `rule_id` (forced: asked for despite its verdict) into the
  // reservation file of ListId `list_id`.
  bool Mark(const GuideEventKey& key, uint32_t rule_id, GuideTime start, bool forced,
            std::string_view list_id);
  bool Unmark(const GuideEventKey& key);
  // Forgets the marks of programmes that started before `t`.
  bool ForgetMarksBefore(GuideTime t);

  bool AddHistory(const HistoryEntry& entry);
  std::vector<HistoryEntry> History();
  // The episodes recorded whole.
  std::vector<RecordedEpisode> Recorded();

  // Changes whenever another connection has committed a change since the last call's value.
  uint64_t DataVersion();

 private:
  explicit RuleStore(SqliteDatabase database) : database_(std::move(database)), db_(database_.db()) {}
  bool Exec(const char* sql);

  SqliteDatabase database_;
  sqlite3* db_;
};

}  // namespace pelkan
