#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "guide/guide_event.h"

struct sqlite3;
struct sqlite3_stmt;

namespace pelkan {

class GuideFile;
class GuideSqlStatement;

// The programme guide's file (epg.sqlite beside pelkan.ini): an SQLite database in WAL mode with
// the services, the events and a trigram full-text index of their texts. One writer (the guide
// collector) and any number of readers (the guide window, pelkan-cli epg) at the same time, in one
// process or several. Each object is one connection and is used by one thread at a time.
//
// An event is known by its four ids. What an entry of an event information section says replaces
// what is stored when it comes from a table of higher rank (present/following over schedule) or
// from another version of the same kind of table; a start that changed moves the event. Texts are
// kept as the Shift-JIS bytes of the broadcast-text decoder, converted only for the search index.
class GuideStore {
 public:
  enum class Access {
    kRead,   // an existing file; nothing is written
    kWrite,  // created when missing; checked whole when opened
  };

  // Opens the file at `path` (UTF-8) through GuideFile::Open (which says what is repaired and how)
  // and, for a writer, brings the search index up to the current text conversion. Null, with
  // `error` the reason (English), when the file cannot be used.
  static std::unique_ptr<GuideStore> Open(const std::string& path, Access access, bool repair,
                                          std::string* notice, std::string* error);
  ~GuideStore();
  GuideStore(const GuideStore&) = delete;
  GuideStore& operator=(const GuideStore&) = delete;

  const std::string& path() const { return path_; }

  // ---- Writing (Access::kWrite). Each returns false on an SQLite error (see LastErrorCode).
  bool Begin();
  bool Commit();
  void Rollback();
  // Takes in what a section entry says about an event (see the class comment).
  bool ApplyEvent(const GuideEventUpdate& update);
  // The name of a service (Shift-JIS); creates the service.
  bool SetServiceName(uint16_t original_network_id, uint16_t transport_stream_id, uint16_t service_id,
                      std::string_view name);
  // Records that the service's schedule was complete at broadcast time `at`; creates the service.
  bool SetScheduleComplete(uint16_t original_network_id, uint16_t transport_stream_id, uint16_t service_id,
                           GuideTime at);
  // Records that the service's programmes were received at broadcast time `at` (a writer does it
  // at most once a minute per service); creates the service.
  bool SetServiceHeard(uint16_t original_network_id, uint16_t transport_stream_id, uint16_t service_id,
                       GuideTime at);
  // Removes the events that ended before `t` (an undetermined end counts as the start); returns
  // how many, or -1 on an error.
  int RemoveEndedBefore(GuideTime t);
  // The event sections of one service whose events are stored (a writer's own record of them, kept
  // in the file so that a writer started again does not read them again): `marks` is the writer's
  // bytes, replaced whole. Creates nothing else.
  bool SetSectionMarks(uint64_t service_key, std::string_view marks);
  // Every service's marks as last set, by service key.
  std::map<uint64_t, std::string> SectionMarks();

  // The last SQLite result code of a failed call, and whether it says the file is damaged.
  int LastErrorCode() const { return last_error_; }
  bool LastErrorIsDamage() const;
  // Renames the damaged file aside and starts a new one (the writer's way out of a damaged file);
  // `notice` receives the message for the user. False when not even a new file can be made.
  bool ReplaceDamagedFile(std::string* notice);

  // ---- Reading.
  // Changes whenever another connection has committed a change since the last call's value.
  uint64_t DataVersion();
  // Every service, ordered by network, stream and service id, with when it was last heard from and
  // until when its programmes are known.
  std::vector<GuideService> Services();
  // The events that overlap [from, to) (an undetermined end counts as the start), ordered by
  // service and start unless `ordered` is false (quicker: the table's own order); without `texts`
  // the description and extended text are left empty.
  std::vector<GuideEvent> Events(GuideTime from, GuideTime to, bool texts, bool ordered = true);
  // One event by its ids, with every text.
  std::optional<GuideEvent> Find(const GuideEventKey& key);
  // The events of `service_id` with `event_id` on any network and stream, latest start first.
  std::vector<GuideEvent> FindByServiceEvent(uint16_t service_id, uint16_t event_id);
  // The events whose title, description or extended text holds every word of `words` (UTF-8,
  // separated by spaces), ordered by start, at most `limit`. Full-width letters, digits and signs
  // match their ASCII forms, capitals the small letters. No words give nothing.
  std::vector<GuideEvent> Search(std::string_view words, size_t limit);

 private:
  explicit GuideStore(std::unique_ptr<GuideFile> file);
  // The connection; null once a replacement of a damaged file failed.
  sqlite3* db() const;
  // The statement of `sql` (a string literal: its address is the key), prepared once.
  GuideSqlStatement Cached(const char* sql);
  void FinalizeStatements();
  bool Exec(const char* sql);
  bool Fail(int code);
  bool RebuildSearchIndexIfStale();

  std::unique_ptr<GuideFile> file_;
  std::string path_;
  int last_error_ = 0;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// The text the search index holds for a broadcast text: UTF-8 with the full-width forms of ASCII
// letters, digits and signs, and the ideographic space, folded to ASCII, and letters in lower case.
// Pure function.
std::string GuideSearchText(std::string_view sjis);

}  // namespace pelkan
