#pragma once

#include <cstdint>
#include <string>

#include "guide/guide_event.h"

namespace pelkan {

class CaptureApp;

// Where a player on this computer watches the capture's HTTP stream.

// "http://127.0.0.1:8080" of the server's address and port: an address of every interface
// ("0.0.0.0", "::", "") becomes the loopback one, an IPv6 address is bracketed. "" for port 0 (no
// server).
std::string HttpBaseUrl(const std::string& address, uint16_t port);
// The base of the capture's own server while it serves ("" while it does not).
std::string WatchBaseUrl(const CaptureApp& app);
// The playlist of every service: `base`/playlist.m3u ("" without a server).
std::string PlaylistUrl(const std::string& base);
// One service's stream: `base`/service/ID ("" without a server).
std::string ServiceUrl(const std::string& base, uint16_t service_id);
// A catalogued recording, also while it is being written: `base`/recordings/ID, with `?t=TOKEN`
// when a view token is given (a server beyond loopback asks for it); "" without a server.
std::string RecordingUrl(const std::string& base, int64_t id, const std::string& view_token);
// What "視聴" of a programme in the guide opens: its service's stream while the server runs and
// the programme is on air at `now` (one of undetermined length from its start on); "" otherwise.
std::string ProgrammeWatchUrl(const std::string& base, const GuideEvent& event, GuideTime now);

}  // namespace pelkan
