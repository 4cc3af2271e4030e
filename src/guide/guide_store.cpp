#include "guide/guide_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "guide/broadcast_text.h"
#include "guide/guide_file.h"
#include "guide/guide_sql_statement.h"

namespace pelkan {
namespace {

using Statement = GuideSqlStatement;

// Appends the UTF-8 form of code point `c`.
void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The small letter of a capital of the two-byte UTF-8 range (Latin-1, Latin Extended-A, Greek,
// Cyrillic); any other character unchanged. Short words are looked for as plain substrings, so the
// texts and the words are folded alike here, as the trigram index folds the longer ones itself.
uint32_t LowerCase(uint32_t c) {
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  const bool even_pairs = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177) || (c >= 0x460 && c <= 0x4BF);
  if (even_pairs && c % 2 == 0) return c + 1;
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 1) return c + 1;
  return c;
}

// Full-width ASCII forms (U+FF01-U+FF5E) and the ideographic space as ASCII, capitals (ASCII and
// the two-byte range, LowerCase) in small letters; the rest unchanged.
std::string FoldWidth(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(utf8[i + k]); };
    if (i + 2 < utf8.size() && (b(0) & 0xF0) == 0xE0) {
      const uint32_t c = (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
      if (c >= 0xFF01 && c <= 0xFF5E) {
        const uint32_t ascii = c - 0xFF01 + 0x21;
        AppendUtf8(out, ascii >= 'A' && ascii <= 'Z' ? ascii + 0x20 : ascii);
        i += 3;
        continue;
      }
      if (c == 0x3000) {
        out += ' ';
        i += 3;
        continue;
      }
    }
    if (i + 1 < utf8.size() && (b(0) & 0xE0) == 0xC0) {
      const uint32_t c = (b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu);
      AppendUtf8(out, LowerCase(c));
      i += 2;
      continue;
    }
    const char c = utf8[i++];
    out += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
  }
  return out;
}

size_t CodePoints(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

// The longer texts live in a table of their own, so that the grid's reading of the programmes
// (without them) goes over a compact table.
constexpr const char* kEventColumns =
    "e.original_network_id, e.transport_stream_id, e.service_id, e.event_id, e.start, e.duration, e.title, "
    "e.genre, e.video, e.audio, e.series, e.episode, e.repeat, e.free_ca, coalesce(t.description, x''), coalesce(t.extended, x'') FROM events e LEFT "
    "JOIN "
    "texts t ON t.id = e.id";
constexpr const char* kEventColumnsShort =
    "e.original_network_id, e.transport_stream_id, e.service_id, e.event_id, e.start, e.duration, e.title, "
    "e.genre, e.video, e.audio, e.series, e.episode, e.repeat, e.free_ca FROM events e";

// One row of kEventColumns (kEventColumnsShort without `texts`) read from column `first` on.
GuideEvent ReadEvent(const Statement& s, bool texts, int first = 0) {
  const auto col = [first](int c) { return first + c; };
  GuideEvent e;
  e.key = {static_cast<uint16_t>(s.ColInt(col(0))), static_cast<uint16_t>(s.ColInt(col(1))),
           static_cast<uint16_t>(s.ColInt(col(2))), static_cast<uint16_t>(s.ColInt(col(3)))};
  e.start = s.ColInt(col(4));
  e.duration = s.ColNull(col(5)) ? kUndefinedDuration : static_cast<uint32_t>(s.ColInt(col(5)));
  e.title = s.ColBlob(col(6));
  e.genre = s.ColNull(col(7)) ? -1 : static_cast<int>(s.ColInt(col(7)));
  e.video_component_type = static_cast<uint8_t>(s.ColInt(col(8)));
  e.audio_component_type = static_cast<uint8_t>(s.ColInt(col(9)));
  e.series_id = s.ColNull(col(10)) ? -1 : static_cast<int32_t>(s.ColInt(col(10)));
  e.episode_number = static_cast<uint16_t>(s.ColInt(col(11)));
  e.repeat_label = static_cast<uint8_t>(s.ColInt(col(12)));
  e.free_ca_mode = s.ColInt(col(13)) != 0;
  if (texts) {
    e.description = s.ColBlob(col(14));
    e.extended = s.ColBlob(col(15));
  }
  return e;
}

}  // namespace

std::string GuideSearchText(std::string_view sjis) {
  return FoldWidth(BroadcastTextUtf8(sjis));
}

GuideStore::GuideStore(std::unique_ptr<GuideFile> file) : file_(std::move(file)), path_(file_->path()) {}

GuideStore::~GuideStore() {
  FinalizeStatements();
}

std::unique_ptr<GuideStore> GuideStore::Open(const std::string& path, Access access, bool repair,
                                             std::string* notice, std::string* error) {
  bool created = false;
  std::unique_ptr<GuideFile> file =
      GuideFile::Open(path, access == Access::kWrite, repair, notice, error, &created);
  if (!file) return nullptr;
  std::unique_ptr<GuideStore> store(new GuideStore(std::move(file)));
  if (access == Access::kWrite && !created && !store->RebuildSearchIndexIfStale()) {
    if (error) *error = path + ": " + sqlite3_errstr(store->last_error_);
    return nullptr;
  }
  return store;
}

sqlite3* GuideStore::db() const {
  return file_ ? file_->db() : nullptr;
}

GuideSqlStatement GuideStore::Cached(const char* sql) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v3(db(), sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) return Statement(nullptr, rc);
    it = statements_.emplace(sql, st).first;
  }
  return Statement(it->second, SQLITE_OK);
}

void GuideStore::FinalizeStatements() {
  for (auto& [sql, st] : statements_) sqlite3_finalize(st);
  statements_.clear();
}

bool GuideStore::Exec(const char* sql) {
  const int rc = sqlite3_exec(db(), sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK || Fail(rc);
}

bool GuideStore::Fail(int code) {
  last_error_ = code;
  return false;
}

bool GuideStore::LastErrorIsDamage() const {
  return SqliteDatabase::IsDamage(last_error_);
}

bool GuideStore::ReplaceDamagedFile(std::string* notice) {
  FinalizeStatements();
  file_.reset();
  const std::string aside = SqliteDatabase::SetAside(path_);
  std::unique_ptr<GuideStore> fresh = Open(path_, Access::kWrite, true, notice, nullptr);
  if (!fresh) return false;
  if (notice && !aside.empty()) *notice = GuideFile::ReplacedNotice(path_, aside);
  std::swap(file_, fresh->file_);
  last_error_ = 0;
  return true;
}

bool GuideStore::RebuildSearchIndexIfStale() {
  {
    Statement s(db(), "SELECT value FROM meta WHERE key = 'text_revision'");
    if (s.Step() == SQLITE_ROW && s.ColInt(0) == kBroadcastTextRevision) return true;
  }
  if (!Exec("BEGIN IMMEDIATE") || !Exec("DELETE FROM search_text")) return false;
  Statement all(db(),
                "SELECT e.id, e.title, coalesce(t.description, x''), coalesce(t.extended, x'') FROM events e "
                "LEFT JOIN texts t ON t.id = e.id");
  Statement put(db(), "INSERT INTO search_text(id, title, description, extended) VALUES(?, ?, ?, ?)");
  int rc;
  while ((rc = all.Step()) == SQLITE_ROW) {
    put.Int(1, all.ColInt(0))
        .Text(2, GuideSearchText(all.ColBlob(1)))
        .Text(3, GuideSearchText(all.ColBlob(2)))
        .Text(4, GuideSearchText(all.ColBlob(3)));
    const int prc = put.Step();
    if (prc != SQLITE_DONE) {
      Rollback();
      return Fail(prc);
    }
    put.Reset();
  }
  if (rc != SQLITE_DONE || !Exec("INSERT INTO search(search) VALUES('rebuild')")) {
    Rollback();
    return rc != SQLITE_DONE ? Fail(rc) : false;
  }
  const std::string set =
      "INSERT OR REPLACE INTO meta VALUES('text_revision'," + std::to_string(kBroadcastTextRevision) + ")";
  if (!Exec(set.c_str())) {
    Rollback();
    return false;
  }
  return Exec("COMMIT");
}

bool GuideStore::Begin() {
  return Exec("BEGIN IMMEDIATE");
}

bool GuideStore::Commit() {
  return Exec("COMMIT");
}

void GuideStore::Rollback() {
  sqlite3_exec(db(), "ROLLBACK", nullptr, nullptr, nullptr);
}

namespace {

// Whether two readings of one event say the same.
bool SameEvent(const GuideEvent& a, const GuideEvent& b) {
  return a.start == b.start && a.duration == b.duration && a.title == b.title &&
         a.description == b.description && a.extended == b.extended && a.genre == b.genre &&
         a.video_component_type == b.video_component_type &&
         a.audio_component_type == b.audio_component_type && a.series_id == b.series_id &&
         a.episode_number == b.episode_number && a.repeat_label == b.repeat_label &&
         a.free_ca_mode == b.free_ca_mode;
}

}  // namespace

bool GuideStore::ApplyEvent(const GuideEventUpdate& u) {
  const GuideEvent& n = u.event;
  const GuideEventKey& k = n.key;
  // The event's versions (columns 0-4), then the event itself as every reader reads it.
  static const std::string kFind =
      std::string("SELECT e.id, e.kind, e.version, e.ext_kind, e.ext_version, ") + kEventColumns +
      " WHERE e.original_network_id = ? AND e.transport_stream_id = ? AND "
      "e.service_id = ? AND e.event_id = ?";
  Statement find = Cached(kFind.c_str());
  find.Int(1, k.original_network_id).Int(2, k.transport_stream_id).Int(3, k.service_id).Int(4, k.event_id);
  const int found = find.Step();
  if (found != SQLITE_ROW && found != SQLITE_DONE) return Fail(found);

  // Newer: from a table of higher rank (a lower kind), or another version of the same kind.
  auto newer = [&u](int64_t kind, int64_t version) {
    return kind == 0 || u.kind < kind || (u.kind == kind && u.version != version);
  };
  GuideEvent e;
  int64_t id = 0, kind = 0, version = 0, ext_kind = 0, ext_version = 0;
  if (found == SQLITE_ROW) {
    id = find.ColInt(0);
    kind = find.ColInt(1);
    version = find.ColInt(2);
    ext_kind = find.ColInt(3);
    ext_version = find.ColInt(4);
    e = ReadEvent(find, true, 5);
  }
  const bool basic = u.basic && newer(kind, version);
  const bool extended = u.extended && newer(ext_kind, ext_version);
  if (!basic && !extended) return true;
  const bool texts_before_known = found == SQLITE_ROW;
  const GuideEvent before = e;
  const int64_t kind_before = kind, ext_kind_before = ext_kind;
  const std::string& old_title = before.title;
  const std::string& old_description = before.description;
  const std::string& old_extended = before.extended;
  if (basic || kind == 0) {
    // Without basic information yet, the extended entry's time places the event.
    e.start = n.start;
    e.duration = n.duration;
  }
  if (basic) {
    e.title = n.title;
    e.description = n.description;
    e.genre = n.genre;
    e.video_component_type = n.video_component_type;
    e.audio_component_type = n.audio_component_type;
    e.series_id = n.series_id;
    e.episode_number = n.episode_number;
    e.repeat_label = n.repeat_label;
    e.free_ca_mode = n.free_ca_mode;
    kind = u.kind;
    version = u.version;
  }
  if (extended) {
    e.extended = n.extended;
    ext_kind = u.kind;
    ext_version = u.version;
  }

  // Another version of the same table that says what is stored already (the present/following
  // tables change theirs at every programme change) is not written: only what changed is. A table
  // of higher rank is written, to keep its rank.
  if (found == SQLITE_ROW && kind == kind_before && ext_kind == ext_kind_before && SameEvent(before, e)) {
    return true;
  }
  Statement write =
      Cached(found == SQLITE_ROW
                 ? "UPDATE events SET start = ?1, duration = ?2, title = ?3, genre = ?6, video = ?7, "
                   "audio = ?8, kind = ?9, version = ?10, ext_kind = ?11, ext_version = ?12, series = ?17, "
                   "episode = ?18, repeat = ?19, free_ca = ?20 WHERE id = ?13"
                 : "INSERT INTO events(start, duration, title, genre, video, audio, kind, version, ext_kind, "
                   "ext_version, original_network_id, transport_stream_id, service_id, event_id, series, "
                   "episode, repeat, free_ca) VALUES(?1, ?2, ?3, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                   "?16, ?17, ?18, ?19, ?20)");
  write.Int(1, e.start);
  if (e.HasEnd()) {
    write.Int(2, e.duration);
  } else {
    write.Null(2);
  }
  write.Blob(3, e.title);
  if (e.genre >= 0) {
    write.Int(6, e.genre);
  } else {
    write.Null(6);
  }
  write.Int(7, e.video_component_type).Int(8, e.audio_component_type).Int(9, kind).Int(10, version);
  write.Int(11, ext_kind).Int(12, ext_version);
  if (e.series_id >= 0) {
    write.Int(17, e.series_id);
  } else {
    write.Null(17);
  }
  write.Int(18, e.episode_number).Int(19, e.repeat_label).Int(20, e.free_ca_mode ? 1 : 0);
  if (found == SQLITE_ROW) {
    write.Int(13, id);
  } else {
    write.Int(13, k.original_network_id)
        .Int(14, k.transport_stream_id)
        .Int(15, k.service_id)
        .Int(16, k.event_id);
  }
  const int rc = write.Step();
  if (rc != SQLITE_DONE) return Fail(rc);
  if (found != SQLITE_ROW) {
    id = sqlite3_last_insert_rowid(db());
    Statement service = Cached(
        "INSERT OR IGNORE INTO services(original_network_id, transport_stream_id, service_id) "
        "VALUES(?, ?, ?)");
    service.Int(1, k.original_network_id).Int(2, k.transport_stream_id).Int(3, k.service_id);
    const int src = service.Step();
    if (src != SQLITE_DONE) return Fail(src);
  }
  if (texts_before_known && e.title == old_title && e.description == old_description &&
      e.extended == old_extended)
    return true;
  if (!texts_before_known || e.description != old_description || e.extended != old_extended) {
    Statement texts = Cached("INSERT OR REPLACE INTO texts(id, description, extended) VALUES(?, ?, ?)");
    texts.Int(1, id).Blob(2, e.description).Blob(3, e.extended);
    const int trc = texts.Step();
    if (trc != SQLITE_DONE) return Fail(trc);
  }
  // The index forgets the old texts (read back from its content table), then takes the new ones.
  if (texts_before_known) {
    Statement drop = Cached(
        "INSERT INTO search(search, rowid, title, description, extended) SELECT 'delete', id, title, "
        "description, extended FROM search_text WHERE id = ?");
    drop.Int(1, id);
    const int drc = drop.Step();
    if (drc != SQLITE_DONE) return Fail(drc);
  }
  const std::string title = GuideSearchText(e.title);
  const std::string description = GuideSearchText(e.description);
  const std::string extended_text = GuideSearchText(e.extended);
  for (const char* sql :
       {"INSERT OR REPLACE INTO search_text(id, title, description, extended) VALUES(?, ?, ?, ?)",
        "INSERT INTO search(rowid, title, description, extended) VALUES(?, ?, ?, ?)"}) {
    Statement index = Cached(sql);
    index.Int(1, id).Text(2, title).Text(3, description).Text(4, extended_text);
    const int irc = index.Step();
    if (irc != SQLITE_DONE) return Fail(irc);
  }
  return true;
}

bool GuideStore::SetServiceName(uint16_t original_network_id, uint16_t transport_stream_id,
                                uint16_t service_id, std::string_view name) {
  Statement s(
      db(),
      "INSERT INTO services(original_network_id, transport_stream_id, service_id, name) VALUES(?, ?, ?, ?) "
      "ON CONFLICT DO UPDATE SET name = excluded.name WHERE name <> excluded.name");
  s.Int(1, original_network_id).Int(2, transport_stream_id).Int(3, service_id).Blob(4, name);
  const int rc = s.Step();
  return rc == SQLITE_DONE || Fail(rc);
}

bool GuideStore::SetScheduleComplete(uint16_t original_network_id, uint16_t transport_stream_id,
                                     uint16_t service_id, GuideTime at) {
  Statement s(db(),
              "INSERT INTO services(original_network_id, transport_stream_id, service_id, complete_at) "
              "VALUES(?, ?, ?, ?) ON CONFLICT DO UPDATE SET complete_at = excluded.complete_at");
  s.Int(1, original_network_id).Int(2, transport_stream_id).Int(3, service_id).Int(4, at);
  const int rc = s.Step();
  return rc == SQLITE_DONE || Fail(rc);
}

bool GuideStore::SetServiceHeard(uint16_t original_network_id, uint16_t transport_stream_id, uint16_t service_id,
                                 GuideTime at) {
  Statement s(db(),
              "INSERT INTO services(original_network_id, transport_stream_id, service_id, heard_at) "
              "VALUES(?, ?, ?, ?) ON CONFLICT DO UPDATE SET heard_at = excluded.heard_at");
  s.Int(1, original_network_id).Int(2, transport_stream_id).Int(3, service_id).Int(4, at);
  const int rc = s.Step();
  return rc == SQLITE_DONE || Fail(rc);
}

namespace {

// The marks of a service are one row of `meta`, under this prefix and the service key in hex.
constexpr std::string_view kMarksPrefix = "sections ";

}  // namespace

bool GuideStore::SetSectionMarks(uint64_t service_key, std::string_view marks) {
  char key[40];
  std::snprintf(key, sizeof key, "%.*s%012llx", static_cast<int>(kMarksPrefix.size()), kMarksPrefix.data(),
                static_cast<unsigned long long>(service_key));
  Statement s = Cached("INSERT OR REPLACE INTO meta VALUES(?, ?)");
  s.Text(1, key).Blob(2, marks);
  const int rc = s.Step();
  return rc == SQLITE_DONE || Fail(rc);
}

std::map<uint64_t, std::string> GuideStore::SectionMarks() {
  std::map<uint64_t, std::string> marks;
  Statement s(db(), "SELECT key, value FROM meta WHERE key > 'sections ' AND key < 'sections!'");
  while (s.Step() == SQLITE_ROW) {
    const std::string key = s.ColBlob(0);
    if (key.size() != kMarksPrefix.size() + 12) continue;
    char* end = nullptr;
    const unsigned long long service = std::strtoull(key.c_str() + kMarksPrefix.size(), &end, 16);
    if (end == key.c_str() + key.size()) marks[service] = s.ColBlob(1);
  }
  return marks;
}

int GuideStore::RemoveEndedBefore(GuideTime t) {
  Statement s(db(), "DELETE FROM events WHERE start < ?1 AND start + coalesce(duration, 0) < ?1");
  s.Int(1, t);
  const int rc = s.Step();
  if (rc != SQLITE_DONE) {
    Fail(rc);
    return -1;
  }
  return sqlite3_changes(db());
}

uint64_t GuideStore::DataVersion() {
  Statement s(db(), "PRAGMA data_version");
  return s.Step() == SQLITE_ROW ? static_cast<uint64_t>(s.ColInt(0)) : 0;
}

std::vector<GuideService> GuideStore::Services() {
  std::vector<GuideService> out;
  Statement s(db(),
              "SELECT original_network_id, transport_stream_id, service_id, name, complete_at, heard_at, "
              "(SELECT max(e.start + coalesce(e.duration, 0)) FROM events e "
              "WHERE e.original_network_id = services.original_network_id "
              "AND e.transport_stream_id = services.transport_stream_id AND e.service_id = services.service_id) "
              "FROM services ORDER BY original_network_id, transport_stream_id, service_id");
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    GuideService g;
    g.original_network_id = static_cast<uint16_t>(s.ColInt(0));
    g.transport_stream_id = static_cast<uint16_t>(s.ColInt(1));
    g.service_id = static_cast<uint16_t>(s.ColInt(2));
    g.name = s.ColBlob(3);
    g.complete_at = s.ColNull(4) ? -1 : s.ColInt(4);
    g.heard_at = s.ColNull(5) ? -1 : s.ColInt(5);
    g.known_until = s.ColNull(6) ? -1 : s.ColInt(6);
    out.push_back(std::move(g));
  }
  if (rc != SQLITE_DONE) Fail(rc);
  return out;
}

std::vector<GuideEvent> GuideStore::Events(GuideTime from, GuideTime to, bool texts, bool ordered) {
  std::vector<GuideEvent> out;
  const std::string sql =
      std::string("SELECT ") + (texts ? kEventColumns : kEventColumnsShort) +
      // The range is most of the table: a plain scan is quicker than the start index.
      " WHERE +e.start < ?2 AND e.start + coalesce(e.duration, 0) >= ?1" +
      (ordered ? " ORDER BY e.original_network_id, e.transport_stream_id, e.service_id, e.start" : "");
  Statement s(db(), sql.c_str());
  s.Int(1, from).Int(2, to);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(ReadEvent(s, texts));
  if (rc != SQLITE_DONE) Fail(rc);
  return out;
}

std::optional<GuideEvent> GuideStore::Find(const GuideEventKey& key) {
  const std::string sql = std::string("SELECT ") + kEventColumns +
                          " WHERE e.original_network_id = ? AND e.transport_stream_id = ? AND "
                          "e.service_id = ? AND e.event_id = ?";
  Statement s(db(), sql.c_str());
  s.Int(1, key.original_network_id)
      .Int(2, key.transport_stream_id)
      .Int(3, key.service_id)
      .Int(4, key.event_id);
  const int rc = s.Step();
  if (rc == SQLITE_ROW) return ReadEvent(s, true);
  if (rc != SQLITE_DONE) Fail(rc);
  return std::nullopt;
}

std::vector<GuideEvent> GuideStore::FindByServiceEvent(uint16_t service_id, uint16_t event_id) {
  std::vector<GuideEvent> out;
  const std::string sql = std::string("SELECT ") + kEventColumns +
                          " WHERE e.service_id = ? AND e.event_id = ? ORDER BY e.start DESC";
  Statement s(db(), sql.c_str());
  s.Int(1, service_id).Int(2, event_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(ReadEvent(s, true));
  if (rc != SQLITE_DONE) Fail(rc);
  return out;
}

std::vector<GuideEvent> GuideStore::Search(std::string_view words, size_t limit) {
  // Words of three characters or more go through the trigram index (MATCH); shorter ones, which
  // a trigram cannot hold, are looked for as substrings of the indexed texts (the index's own
  // content table, a plain table scan).
  std::string match;
  std::vector<std::string> likes;
  const std::string folded = FoldWidth(words);
  size_t pos = 0;
  while (pos < folded.size()) {
    const size_t end = std::min(folded.find_first_of(" \t", pos), folded.size());
    const std::string word = folded.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    if (CodePoints(word) >= 3) {
      if (!match.empty()) match += ' ';
      match += '"';
      for (char c : word) match.append(c == '"' ? 2 : 1, c);
      match += '"';
    } else {
      likes.push_back(word);
    }
  }
  std::vector<GuideEvent> out;
  if (match.empty() && likes.empty()) return out;
  // Numbered parameters: ?1 the MATCH words (if any), then one per LIKE word, then the limit.
  std::string sql = "SELECT ";
  sql.append(kEventColumns).append(" JOIN search_text s ON s.id = e.id WHERE 1");
  int parameter = 1;
  if (!match.empty()) {
    sql.append(" AND e.id IN (SELECT rowid FROM search WHERE search MATCH ?")
        .append(std::to_string(parameter++));
    sql.append(")");
  }
  for (size_t i = 0; i < likes.size(); ++i, ++parameter) {
    const std::string n = std::to_string(parameter);
    sql.append(" AND (instr(s.title, ?").append(n).append(") OR instr(s.description, ?").append(n);
    sql.append(") OR instr(s.extended, ?").append(n).append("))");
  }
  sql.append(" ORDER BY e.start LIMIT ?").append(std::to_string(parameter));
  Statement s(db(), sql.c_str());
  parameter = 1;
  if (!match.empty()) s.Text(parameter++, match);
  for (const std::string& like : likes) s.Text(parameter++, like);
  s.Int(parameter, static_cast<int64_t>(limit));
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(ReadEvent(s, true));
  if (rc != SQLITE_DONE) Fail(rc);
  return out;
}

}  // namespace pelkan
