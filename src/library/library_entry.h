#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelkan {

// How a catalogued recording turned out. "recording" while its file is still being written.
enum class LibraryResult { kRecording, kComplete, kRecovered, kPartial, kFailed, kTunerLost };

// The word of a result as the catalogue, the command line and JSON write it ("tuner lost").
std::string_view LibraryResultWord(LibraryResult result);
// The result of a word (LibraryResultWord); nullopt for another word.
std::optional<LibraryResult> LibraryResultOfWord(std::string_view word);

// One recording in the catalogue (library.sqlite). Texts are UTF-8; times are seconds since the
// epoch (0: not known).
struct LibraryEntry {
  int64_t id = 0;
  std::string file;    // where the recording is now
  std::string origin;  // where it was made (the report's "file" line): finds it again once moved
  std::string report;  // its report, NAME.ts.err ("" when none)
  std::string title;   // with the broadcast's symbols ("🈑")
  std::string plain_title;  // the symbols' plain forms ("[字]")
  std::string kind;         // "manual", "reservation" or "rule"
  std::string reservation;  // the reservation's title ("" for a manual recording)
  uint16_t service_id = 0;
  std::string service_name;
  uint16_t network_id = 0, stream_id = 0, event_id = 0;
  std::optional<uint32_t> series_id;  // when the broadcast sent one
  std::optional<uint32_t> episode;
  uint32_t rule_id = 0;
  int64_t start = 0, end = 0;
  int64_t duration = 0;  // seconds
  uint64_t bytes = 0;
  LibraryResult result = LibraryResult::kRecording;
  std::string reason;  // why it is not complete (English, the report's words)
  uint64_t drop = 0, error = 0, scrambled = 0, gaps = 0;
  bool is_protected = false;
  bool recording = false;  // its file is being written
  bool missing = false;    // its file was gone at the last scan
  int64_t watched = 0;     // position reached in playback, seconds
  int64_t created = 0;
};

// "2026-12-08T20:57:00+09:00": Japan's time of `epoch`, as every JSON output writes times; "" for 0.
std::string JapanIsoOfEpoch(int64_t epoch);
// Seconds since the epoch of ISO 8601 with its offset ("2026-12-08T20:57:00+09:00"); 0 when it is
// not such a text.
int64_t EpochOfIso(std::string_view iso);

}  // namespace pelkan
