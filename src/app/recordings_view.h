#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "library/library_scan.h"
#include "library/recording_library.h"
#include "library/recording_removal.h"
#include "platform/profile.h"

namespace pelkan {

// The Qt-free rules of the 録画済み window (texts UTF-8), shared with `pelkan-cli recordings`.

// "2026-12-08 21:00" of an entry's time (Japan's); "-" when unknown.
std::string LibraryTimeText(int64_t epoch);
// "1:02:03" of a length in seconds.
std::string LibraryLengthText(int64_t seconds);
// "完了", "復旧", "一部", "失敗", "チューナー切断", "録画中".
std::string LibraryResultName(LibraryResult result);

// How a row's 結果 stands out: not at all for a complete recording, else a coloured badge.
enum class RecordingBadge { kNone, kRecording, kRecovered, kFailed, kMissing };

// One row of the window: 番組名, サービス, 開始, 長さ, 結果, サイズ, ルール, 保護.
struct RecordingRow {
  static constexpr int kColumns = 8;
  std::string cells[kColumns];
  RecordingBadge badge = RecordingBadge::kNone;
};
// `rule_name` names a rule by its id (RuleNames::Name).
RecordingRow RecordingRowOf(const LibraryEntry& e, const std::function<std::string(uint32_t)>& rule_name);

// What a facet list shows of one facet: "ニュース (12)", with the rule's name, the result's name,
// "2026年12月" for a month.
std::string LibraryFacetText(LibraryFacetKind kind, const LibraryFacet& facet,
                             const std::function<std::string(uint32_t)>& rule_name);
// `query` narrowed by the facet `key` of `kind` ("" for all of it); false for a key the kind does
// not know.
bool NarrowByFacet(LibraryFacetKind kind, const std::string& key, LibraryQuery* query);

// The recording folders a scan goes over by default: REC_AUTOPATH (UTF-8, may be empty) and the
// folders of the catalogued recordings, each once, sorted.
std::vector<std::string> KnownRecordingFolders(RecordingLibrary& library, const std::string& autopath);

// The scan a program makes at its start: the catalogue at `library_path` opened on its own (the
// caller's thread: run it off the UI thread) and ScanRecordingFolders over KnownRecordingFolders.
// What it could not do goes to `log` (English).
LibraryScanResult ScanKnownRecordingFolders(const std::string& library_path, const std::string& autopath,
                                            int64_t now, const std::function<void(const std::string&)>& log);

// What tells that a catalogue file (or its write-ahead log) changed since it was last read.
using CatalogueStamp = std::pair<platform::FileStamp, platform::FileStamp>;
CatalogueStamp CatalogueStampOf(const std::string& path);

// What a player is started for: the file, the URL (the HTTP one while chasing a recording), and
// the position to start from (seconds).
struct PlayTarget {
  std::string file;
  std::string url;
  int64_t position = 0;
};
// The program and arguments that play `target`. Without a command: xdg-open of the URL when one
// is given, else of the file. With PLAYER_COMMAND (UTF-8): split as the command after each
// recording is (hooks::ParseCommandLine), then {file}, {url} ("file://..." of the file when there
// is no URL) and {position} replaced inside each argument, never split again, so that a path with
// blanks, quotes or ';' stays one argument; a command without any of them gets the URL or the file
// as its last argument. Empty, with `error` (English), when the command cannot be split.
std::vector<std::string> PlayerArgv(const std::string& command, const PlayTarget& target, std::string* error);
// "file:///..." of a path, every byte but the unreserved ones and '/' percent-encoded.
std::string FileUrl(const std::string& path);

// Why the selected recordings cannot leave the list as `kind` (to the trash, or forgotten) says
// ("" when they can): one being recorded is refused.
std::string RemovalRefusal(const std::vector<LibraryEntry>& entries, RemovalKind kind);
// The question before `entries` go to the trash, naming the first few; asked differently when one
// of them is protected.
std::string TrashQuestion(const std::vector<LibraryEntry>& entries);

}  // namespace pelkan
