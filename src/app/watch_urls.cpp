#include "app/watch_urls.h"

#include "core/capture_app.h"
#include "platform/text_codec.h"

namespace pelkan {

std::string HttpBaseUrl(const std::string& address, uint16_t port) {
  if (port == 0) return {};
  std::string host = address;
  if (host.empty() || host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::" || host == "[::]") host = "::1";
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port);
}

std::string WatchBaseUrl(const CaptureApp& app) {
  if (!app.IsHttpServing()) return {};
  return HttpBaseUrl(platform::SjisToUtf8(app.settings().http_address), app.GetHttpPort());
}

std::string PlaylistUrl(const std::string& base) {
  return base.empty() ? std::string() : base + "/playlist.m3u";
}

std::string ServiceUrl(const std::string& base, uint16_t service_id) {
  return base.empty() ? std::string() : base + "/service/" + std::to_string(service_id);
}

std::string RecordingUrl(const std::string& base, int64_t id, const std::string& view_token) {
  if (base.empty()) return {};
  return base + "/recordings/" + std::to_string(id) + (view_token.empty() ? "" : "?t=" + view_token);
}

std::string ProgrammeWatchUrl(const std::string& base, const GuideEvent& event, GuideTime now) {
  const bool on_air = now >= event.start && (!event.HasEnd() || now < event.End());
  return on_air ? ServiceUrl(base, event.key.service_id) : std::string();
}

}  // namespace pelkan
