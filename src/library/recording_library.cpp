#include "library/recording_library.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "guide/guide_sql_statement.h"
#include "guide/sqlite_database.h"
#include "hooks/recording_outcome.h"
#include "platform/text_codec.h"
#include "rules/rule_text.h"

namespace pelkan {
namespace {

using Statement = GuideSqlStatement;

constexpr int kApplicationId = 0x50454C4C;  // "PELL": the recordings' catalogue of this program
constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE recordings(
  id INTEGER PRIMARY KEY,
  file TEXT NOT NULL UNIQUE,
  origin TEXT NOT NULL,
  report TEXT NOT NULL DEFAULT '',
  title TEXT NOT NULL DEFAULT '',
  plain_title TEXT NOT NULL DEFAULT '',
  kind TEXT NOT NULL DEFAULT '',
  reservation TEXT NOT NULL DEFAULT '',
  service_id INTEGER NOT NULL DEFAULT 0,
  service_name TEXT NOT NULL DEFAULT '',
  network_id INTEGER NOT NULL DEFAULT 0,
  stream_id INTEGER NOT NULL DEFAULT 0,
  event_id INTEGER NOT NULL DEFAULT 0,
  series_id INTEGER,
  episode INTEGER,
  rule_id INTEGER NOT NULL DEFAULT 0,
  start INTEGER NOT NULL DEFAULT 0,
  end INTEGER NOT NULL DEFAULT 0,
  duration INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0,
  result TEXT NOT NULL DEFAULT 'recording',
  reason TEXT NOT NULL DEFAULT '',
  drop_count INTEGER NOT NULL DEFAULT 0,
  error_count INTEGER NOT NULL DEFAULT 0,
  scrambled INTEGER NOT NULL DEFAULT 0,
  gaps INTEGER NOT NULL DEFAULT 0,
  protected INTEGER NOT NULL DEFAULT 0,
  recording INTEGER NOT NULL DEFAULT 0,
  missing INTEGER NOT NULL DEFAULT 0,
  watched INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL DEFAULT 0,
  folded TEXT NOT NULL DEFAULT '',
  series TEXT NOT NULL DEFAULT '',
  month TEXT NOT NULL DEFAULT '');
CREATE INDEX recordings_origin ON recordings(origin);
CREATE INDEX recordings_end ON recordings(end);
CREATE INDEX recordings_start ON recordings(start);
)sql";

constexpr const char* kColumns =
    "id, file, origin, report, title, plain_title, kind, reservation, service_id, service_name, network_id, "
    "stream_id, event_id, series_id, episode, rule_id, start, end, duration, bytes, result, reason, drop_count, "
    "error_count, scrambled, gaps, protected, recording, missing, watched, created";

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The message (Shift-JIS) that the catalogue at `path` was renamed to `aside`.
std::string ReplacedNotice(const std::string& path, const std::string& aside) {
  return platform::Utf8ToSjis("録画一覧ファイル " + BaseName(path) + " は壊れているか録画一覧のものでないため、" +
                              BaseName(aside) + " に名前を変えて新しく作りました。");
}

// Fills `e` from the row (every field: an entry filled before keeps nothing of its last row).
void FillEntry(const Statement& s, LibraryEntry& e) {
  int c = 0;
  e.id = s.ColInt(c++);
  e.file = s.ColBlob(c++);
  e.origin = s.ColBlob(c++);
  e.report = s.ColBlob(c++);
  e.title = s.ColBlob(c++);
  e.plain_title = s.ColBlob(c++);
  e.kind = s.ColBlob(c++);
  e.reservation = s.ColBlob(c++);
  e.service_id = static_cast<uint16_t>(s.ColInt(c++));
  e.service_name = s.ColBlob(c++);
  e.network_id = static_cast<uint16_t>(s.ColInt(c++));
  e.stream_id = static_cast<uint16_t>(s.ColInt(c++));
  e.event_id = static_cast<uint16_t>(s.ColInt(c++));
  e.series_id = s.ColNull(c) ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(s.ColInt(c)));
  ++c;
  e.episode = s.ColNull(c) ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(s.ColInt(c)));
  ++c;
  e.rule_id = static_cast<uint32_t>(s.ColInt(c++));
  e.start = s.ColInt(c++);
  e.end = s.ColInt(c++);
  e.duration = s.ColInt(c++);
  e.bytes = static_cast<uint64_t>(s.ColInt(c++));
  e.result = LibraryResultOfWord(s.ColBlob(c++)).value_or(LibraryResult::kFailed);
  e.reason = s.ColBlob(c++);
  e.drop = static_cast<uint64_t>(s.ColInt(c++));
  e.error = static_cast<uint64_t>(s.ColInt(c++));
  e.scrambled = static_cast<uint64_t>(s.ColInt(c++));
  e.gaps = static_cast<uint64_t>(s.ColInt(c++));
  e.is_protected = s.ColInt(c++) != 0;
  e.recording = s.ColInt(c++) != 0;
  e.missing = s.ColInt(c++) != 0;
  e.watched = s.ColInt(c++);
  e.created = s.ColInt(c++);
}

LibraryEntry EntryOfRow(const Statement& s) {
  LibraryEntry e;
  FillEntry(s, e);
  return e;
}

// `path` made absolute against the current folder (a recording named on the command line).
std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

// The series facet's key: the broadcast's series id, else the folded title without its marks.
std::string SeriesKey(const LibraryEntry& e) {
  if (e.series_id) return "id:" + std::to_string(*e.series_id);
  return TitleWithoutMarks(FoldUserText(e.plain_title.empty() ? e.title : e.plain_title));
}

std::string MonthOf(int64_t epoch) {
  const std::string iso = JapanIsoOfEpoch(epoch);
  return iso.size() >= 7 ? iso.substr(0, 7) : std::string();
}

// The result of an outcome's words: "tuner lost" is a failure whose report says so.
LibraryResult ResultOfOutcome(const hooks::RecordingOutcome& o) {
  if (o.reason.starts_with("tuner lost")) return LibraryResult::kTunerLost;
  if (o.reason.starts_with("recording since")) return LibraryResult::kRecording;
  return LibraryResultOfWord(o.result).value_or(LibraryResult::kFailed);
}

// Everything of `o` an entry takes; what the outcome does not know keeps `e`'s value.
void TakeOutcome(const hooks::RecordingOutcome& o, LibraryEntry* e) {
  if (!o.file.empty()) e->origin = o.file;
  if (!o.report.empty()) e->report = o.report;
  if (!o.title.empty()) e->title = o.title;
  if (!o.plain_title.empty()) e->plain_title = o.plain_title;
  if (!o.kind.empty()) e->kind = o.kind;
  if (o.service_id.value_or(0) != 0) e->service_id = *o.service_id;
  if (!o.service_name.empty()) e->service_name = o.service_name;
  if (o.network_id) e->network_id = *o.network_id;
  if (o.stream_id) e->stream_id = *o.stream_id;
  if (o.event_id) e->event_id = *o.event_id;
  if (o.rule_id != 0) e->rule_id = o.rule_id;
  if (const int64_t start = EpochOfIso(o.actual_start); start != 0) e->start = start;
  if (const int64_t end = EpochOfIso(o.actual_end); end != 0) e->end = end;
  if (e->end > e->start && e->start != 0) e->duration = e->end - e->start;
  e->bytes = o.bytes;
  e->result = ResultOfOutcome(o);
  e->reason = e->result == LibraryResult::kComplete ? std::string() : o.reason;
  e->drop = o.drop;
  e->error = o.error;
  e->scrambled = o.scrambled;
  e->gaps = o.gaps;
}

}  // namespace

struct RecordingLibrary::Database {
  SqliteDatabase file;
};

std::unique_ptr<RecordingLibrary> RecordingLibrary::Open(const std::string& path, std::string* notice,
                                                         std::string* error) {
  SqliteOpenRules rules = OwnFileRules(kApplicationId, kSchemaVersion, kSchema, kBusyTimeoutMs);
  rules.settings = "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;PRAGMA mmap_size=268435456;PRAGMA cache_size=-32768";
  rules.foreign_why = "not a recordings catalogue of this program";
  rules.gave_up = path + ": cannot be made";
  rules.replaced_notice = ReplacedNotice;
  std::optional<SqliteDatabase> database = SqliteDatabase::Open(path, rules, notice, error);
  if (!database) return nullptr;
  std::unique_ptr<RecordingLibrary> library(new RecordingLibrary(database->db(), path));
  library->database_ = std::make_unique<Database>(Database{std::move(*database)});
  // A catalogue made before the lists walked the start's index gets it now (a list reads in its order).
  library->Exec("CREATE INDEX IF NOT EXISTS recordings_start ON recordings(start)");
  return library;
}

RecordingLibrary::RecordingLibrary(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

RecordingLibrary::~RecordingLibrary() = default;

bool RecordingLibrary::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::optional<int64_t> RecordingLibrary::Write(const LibraryEntry& entry, bool insert) {
  LibraryEntry e = entry;
  e.file = Absolute(e.file);
  e.origin = Absolute(e.origin);
  e.report = Absolute(e.report);
  const char* sql =
      insert ? "INSERT INTO recordings(file, origin, report, title, plain_title, kind, reservation, service_id, "
               "service_name, network_id, stream_id, event_id, series_id, episode, rule_id, start, end, duration, "
               "bytes, result, reason, drop_count, error_count, scrambled, gaps, protected, recording, missing, "
               "watched, created, folded, series, month) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
               "?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29, ?30, ?31, ?32, "
               "?33)"
             : "UPDATE recordings SET file = ?1, origin = ?2, report = ?3, title = ?4, plain_title = ?5, kind = ?6, "
               "reservation = ?7, service_id = ?8, service_name = ?9, network_id = ?10, stream_id = ?11, "
               "event_id = ?12, series_id = ?13, episode = ?14, rule_id = ?15, start = ?16, end = ?17, "
               "duration = ?18, bytes = ?19, result = ?20, reason = ?21, drop_count = ?22, error_count = ?23, "
               "scrambled = ?24, gaps = ?25, protected = ?26, recording = ?27, missing = ?28, watched = ?29, "
               "created = ?30, folded = ?31, series = ?32, month = ?33 WHERE id = ?34";
  Statement s(db_, sql);
  s.Text(1, e.file).Text(2, e.origin.empty() ? e.file : e.origin).Text(3, e.report).Text(4, e.title);
  s.Text(5, e.plain_title).Text(6, e.kind).Text(7, e.reservation).Int(8, e.service_id).Text(9, e.service_name);
  s.Int(10, e.network_id).Int(11, e.stream_id).Int(12, e.event_id);
  if (e.series_id) s.Int(13, *e.series_id);
  if (e.episode) s.Int(14, *e.episode);
  s.Int(15, e.rule_id).Int(16, e.start).Int(17, e.end).Int(18, e.duration).Int(19, static_cast<int64_t>(e.bytes));
  s.Text(20, LibraryResultWord(e.result)).Text(21, e.reason).Int(22, static_cast<int64_t>(e.drop));
  s.Int(23, static_cast<int64_t>(e.error)).Int(24, static_cast<int64_t>(e.scrambled));
  s.Int(25, static_cast<int64_t>(e.gaps)).Int(26, e.is_protected).Int(27, e.recording).Int(28, e.missing);
  s.Int(29, e.watched).Int(30, e.created);
  s.Text(31, FoldUserText(e.title + " " + e.plain_title + " " + e.service_name + " " + e.reservation));
  s.Text(32, SeriesKey(e)).Text(33, MonthOf(e.start));
  if (!insert) s.Int(34, e.id);
  if (s.Step() != SQLITE_DONE) return std::nullopt;
  return insert ? sqlite3_last_insert_rowid(db_) : e.id;
}

std::optional<int64_t> RecordingLibrary::Begin(const LibraryEntry& entry) {
  if (!Exec("BEGIN IMMEDIATE")) return std::nullopt;
  std::optional<LibraryEntry> known = FindByFile(entry.file);
  LibraryEntry e = entry;
  if (known) {
    // A file catalogued before (a scan found it, or a restart reopened it): it records again.
    e.id = known->id;
    e.is_protected = known->is_protected;
    e.created = known->created;
  }
  e.recording = true;
  e.missing = false;
  e.result = LibraryResult::kRecording;
  const std::optional<int64_t> id = Write(e, !known);
  if (!id || !Exec("COMMIT")) {
    Exec("ROLLBACK");
    return std::nullopt;
  }
  return id;
}

std::optional<int64_t> RecordingLibrary::Complete(const hooks::RecordingOutcome& outcome, const std::string& file,
                                                  int64_t now, bool recording) {
  if (file.empty() || !Exec("BEGIN IMMEDIATE")) return std::nullopt;
  const std::optional<LibraryEntry> known = FindMatch(outcome, file);
  LibraryEntry e = known.value_or(LibraryEntry{});
  if (!known) e.created = now;
  TakeOutcome(outcome, &e);
  e.file = file;
  e.recording = recording || e.result == LibraryResult::kRecording;
  e.missing = false;
  const std::optional<int64_t> id = Write(e, !known);
  if (!id || !Exec("COMMIT")) {
    Exec("ROLLBACK");
    return std::nullopt;
  }
  return id;
}

std::optional<LibraryEntry> RecordingLibrary::FindMatch(const hooks::RecordingOutcome& outcome,
                                                       const std::string& file) {
  std::optional<LibraryEntry> known = FindByFile(file);
  if (!known && !outcome.file.empty()) known = FindByFile(outcome.file);
  if (!known && !outcome.report.empty()) {
    Statement s(db_, (std::string("SELECT ") + kColumns + " FROM recordings WHERE report = ?").c_str());
    s.Text(1, Absolute(outcome.report));
    if (s.Step() == SQLITE_ROW) known = EntryOfRow(s);
  }
  // Moved with a report that names it as it was named where it was made (relative): the same
  // name, start and size.
  const int64_t start = EpochOfIso(outcome.actual_start);
  if (!known && !outcome.file.empty() && start != 0) {
    Statement s(db_, (std::string("SELECT ") + kColumns +
                      " FROM recordings WHERE start = ? AND bytes = ? AND (origin = ? OR origin LIKE ? ESCAPE '!')")
                         .c_str());
    const std::string name = std::filesystem::path(outcome.file).filename().string();
    std::string pattern = "%/";
    for (const char c : name) pattern += (c == '%' || c == '_' || c == '!') ? std::string("!") + c : std::string(1, c);
    s.Int(1, start).Int(2, static_cast<int64_t>(outcome.bytes)).Text(3, name).Text(4, pattern);
    if (s.Step() == SQLITE_ROW) known = EntryOfRow(s);
  }
  return known;
}

std::vector<LibraryEntry> RecordingLibrary::List(const LibraryQuery& query) {
  std::vector<LibraryEntry> out;
  Walk(query, [&out](const LibraryEntry& e) {
    out.push_back(e);
    return true;
  });
  return out;
}

bool RecordingLibrary::Walk(const LibraryQuery& q, const std::function<bool(const LibraryEntry&)>& row) {
  std::string sql = std::string("SELECT ") + kColumns + " FROM recordings WHERE 1";
  std::vector<std::string> words;
  const std::string folded = FoldUserText(q.words);
  for (size_t pos = 0; pos < folded.size();) {
    const size_t end = std::min(folded.find(' ', pos), folded.size());
    if (end > pos) words.push_back(folded.substr(pos, end - pos));
    pos = end + 1;
  }
  for (size_t i = 0; i < words.size(); ++i) sql += " AND instr(folded, ?" + std::to_string(i + 1) + ") > 0";
  const int base = static_cast<int>(words.size());
  sql += " AND (?" + std::to_string(base + 1) + " IS NULL OR rule_id = ?" + std::to_string(base + 1) + ")";
  sql += " AND (?" + std::to_string(base + 2) + " IS NULL OR service_id = ?" + std::to_string(base + 2) + ")";
  sql += " AND (?" + std::to_string(base + 3) + " IS NULL OR result = ?" + std::to_string(base + 3) + ")";
  sql += " AND (?" + std::to_string(base + 4) + " IS NULL OR series = ?" + std::to_string(base + 4) + ")";
  sql += " AND (?" + std::to_string(base + 5) + " IS NULL OR month = ?" + std::to_string(base + 5) + ")";
  // The whole list walks the start's index; a search keeps few rows, which a scan finds sooner and
  // sorts at once.
  sql += words.empty() ? " ORDER BY start DESC, id DESC" : " ORDER BY +start DESC, id DESC";
  if (q.limit != 0) sql += " LIMIT " + std::to_string(q.limit);
  Statement s(db_, sql.c_str());
  for (size_t i = 0; i < words.size(); ++i) s.Text(static_cast<int>(i + 1), words[i]);
  if (q.rule_id) s.Int(base + 1, *q.rule_id);
  if (q.service_id) s.Int(base + 2, *q.service_id);
  if (q.result) s.Text(base + 3, LibraryResultWord(*q.result));
  if (!q.series.empty()) s.Text(base + 4, q.series);
  if (!q.month.empty()) s.Text(base + 5, q.month);
  LibraryEntry e;
  int rc = SQLITE_ROW;
  while ((rc = s.Step()) == SQLITE_ROW) {
    FillEntry(s, e);
    if (!row(e)) return true;
  }
  return rc == SQLITE_DONE;
}

std::optional<LibraryEntry> RecordingLibrary::Find(int64_t id) {
  Statement s(db_, (std::string("SELECT ") + kColumns + " FROM recordings WHERE id = ?").c_str());
  s.Int(1, id);
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  return EntryOfRow(s);
}

std::optional<LibraryEntry> RecordingLibrary::FindByFile(const std::string& path) {
  const std::string file = Absolute(path);
  Statement s(db_, (std::string("SELECT ") + kColumns +
                    " FROM recordings WHERE file = ?1 UNION ALL SELECT " + kColumns +
                    " FROM recordings WHERE origin = ?1 AND file <> ?1 LIMIT 1")
                       .c_str());
  s.Text(1, file);
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  return EntryOfRow(s);
}

std::vector<LibraryFacet> RecordingLibrary::Facets(LibraryFacetKind kind) {
  const char* sql = "";
  switch (kind) {
    case LibraryFacetKind::kRule:
      sql = "SELECT rule_id, 'rule ' || rule_id, count(*) FROM recordings WHERE rule_id <> 0 GROUP BY 1 ORDER BY 1";
      break;
    case LibraryFacetKind::kService:
      sql = "SELECT service_id, max(service_name), count(*) FROM recordings GROUP BY 1 ORDER BY 1";
      break;
    case LibraryFacetKind::kSeries:
      sql = "SELECT series, max(plain_title), count(*) FROM recordings WHERE series <> '' GROUP BY 1 "
            "ORDER BY 3 DESC, 1";
      break;
    case LibraryFacetKind::kResult:
      sql = "SELECT result, result, count(*) FROM recordings GROUP BY 1 ORDER BY 1";
      break;
    case LibraryFacetKind::kMonth:
      sql = "SELECT month, month, count(*) FROM recordings WHERE month <> '' GROUP BY 1 ORDER BY 1 DESC";
      break;
  }
  std::vector<LibraryFacet> out;
  Statement s(db_, sql);
  while (s.Step() == SQLITE_ROW) {
    out.push_back({s.ColBlob(0), s.ColBlob(1), static_cast<size_t>(s.ColInt(2))});
  }
  return out;
}

bool RecordingLibrary::Change(const char* sql, int64_t id, int64_t value) {
  Statement s(db_, sql);
  s.Int(1, value).Int(2, id);
  return s.Step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

bool RecordingLibrary::SetProtected(int64_t id, bool is_protected) {
  return Change("UPDATE recordings SET protected = ?1 WHERE id = ?2", id, is_protected);
}

bool RecordingLibrary::SetMissing(int64_t id, bool missing) {
  return Change("UPDATE recordings SET missing = ?1 WHERE id = ?2", id, missing);
}

bool RecordingLibrary::SetRecording(int64_t id, bool recording) {
  return Change("UPDATE recordings SET recording = ?1 WHERE id = ?2", id, recording);
}

bool RecordingLibrary::SetWatched(int64_t id, int64_t seconds) {
  return Change("UPDATE recordings SET watched = ?1 WHERE id = ?2", id, seconds);
}

bool RecordingLibrary::Describe(int64_t id, const std::string& title, const std::string& plain_title,
                                uint16_t service_id, const std::string& service_name) {
  if (!Exec("BEGIN IMMEDIATE")) return false;
  std::optional<LibraryEntry> e = Find(id);
  if (e) {
    if (!title.empty()) e->title = title;
    if (!plain_title.empty()) e->plain_title = plain_title;
    if (service_id != 0) e->service_id = service_id;
    if (!service_name.empty()) e->service_name = service_name;
  }
  if (!e || !Write(*e, false) || !Exec("COMMIT")) {
    Exec("ROLLBACK");
    return false;
  }
  return true;
}

bool RecordingLibrary::Relocate(int64_t id, const std::string& file, const std::string& report) {
  Statement s(db_, "UPDATE recordings SET file = ?1, report = ?2, missing = 0 WHERE id = ?3");
  s.Text(1, file).Text(2, report).Int(3, id);
  return s.Step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

bool RecordingLibrary::Forget(int64_t id) {
  Statement s(db_, "DELETE FROM recordings WHERE id = ?");
  s.Int(1, id);
  return s.Step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

std::optional<double> RecordingLibrary::MeasuredRate(uint16_t service_id) {
  Statement s(db_,
              "SELECT sum(bytes), sum(duration) FROM recordings WHERE service_id = ? AND recording = 0 AND "
              "duration > 0 AND bytes > 0 AND result = 'complete' AND gaps = 0");
  s.Int(1, service_id);
  if (s.Step() != SQLITE_ROW || s.ColInt(1) <= 0) return std::nullopt;
  return static_cast<double>(s.ColInt(0)) / static_cast<double>(s.ColInt(1));
}

}  // namespace pelkan
