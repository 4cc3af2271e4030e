#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/http_library.h"
#include "app/offline_schedule.h"
#include "library/library_entry.h"
#include "output/http_stream_server.h"

namespace pelkan {

class CaptureApp;
class GuideCollector;
class RuleFiles;

// One entry of the HTTP playlist.
struct PlaylistEntry {
  uint16_t service_id = 0;
  std::string name;    // UTF-8, the broadcast's symbols included
  std::string tvg_id;  // the guide's channel id (XmltvChannelId), or the service id when unknown
};

// The M3U playlist of `entries`: each service's name, its guide channel and its stream URL under
// `base` ("http://HOST:PORT"), with the guide at `base`/guide.xml; every URL ends in `query` (the
// view token's "?t=...", or "").
std::string M3uPlaylist(const std::string& base, const std::vector<PlaylistEntry>& entries,
                        const std::string& query = "");

// The recordings of the catalogue as an M3U playlist, in their order: each one's title (with its
// symbols) and length, its URL `base`/recordings/ID with `query` (the view token's "?t=...", or "").
std::string RecordingsPlaylist(const std::string& base, const std::vector<LibraryEntry>& entries,
                               const std::string& query = "");

// The pages a capture's HTTP server answers with: the playlist of the stream's services (named
// as the service table gives them, matched to the guide's channels), that guide as XMLTV (made
// again only when the guide has changed: XmltvGuideCache), and the last status as JSON. The guide
// is read through `files`, the program's shared connection. `app` and `files` outlive the server.
// With `guide` (the capture's collector of that file), the status says when the guide cannot be
// written. Every other path is the web page (WebFile of WebFolder) and its API (AnswerApi, on the
// rules of `rules_path`, the guide of `guide_path`, the reservations and settings of `schedule_files`),
// and the recordings' catalogue of `library` (HttpLibrary).
HttpPages MakeHttpPages(const CaptureApp& app, RuleFiles& files, const GuideCollector* guide = nullptr,
                        std::string guide_path = "", std::string rules_path = "",
                        OfflineSchedule::Files schedule_files = {}, HttpLibrarySource library = {});

}  // namespace pelkan
