#include "app/http_pages.h"

#include <algorithm>
#include <memory>

#include "app/http_api.h"
#include "app/rule_files.h"
#include "app/status_json.h"
#include "app/web_files.h"
#include "core/capture_app.h"
#include "guide/guide_collector.h"
#include "guide/guide_store.h"
#include "guide/xmltv_document.h"
#include "guide/xmltv_guide_cache.h"
#include "platform/broadcast_text.h"

namespace pelkan {

namespace {

// A name as one attribute-safe line: line breaks become spaces, double quotes single ones.
std::string PlaylistName(std::string name) {
  for (char& c : name) {
    if (c == '\n' || c == '\r') c = ' ';
    if (c == '"') c = '\'';
  }
  return name;
}

}  // namespace

std::string M3uPlaylist(const std::string& base, const std::vector<PlaylistEntry>& entries,
                        const std::string& query) {
  const std::string guide = base + "/guide.xml" + query;
  std::string out = "#EXTM3U url-tvg=\"" + guide + "\" x-tvg-url=\"" + guide + "\"\n";
  for (const PlaylistEntry& e : entries) {
    const std::string name = PlaylistName(e.name.empty() ? std::to_string(e.service_id) : e.name);
    out += "#EXTINF:-1 tvg-id=\"" + e.tvg_id + "\" tvg-name=\"" + name + "\" tvg-chno=\"" +
           std::to_string(e.service_id) + "\"," + name + "\n" + base + "/service/" +
           std::to_string(e.service_id) + query + "\n";
  }
  return out;
}

std::string RecordingsPlaylist(const std::string& base, const std::vector<LibraryEntry>& entries,
                               const std::string& query) {
  std::string out = "#EXTM3U\n";
  for (const LibraryEntry& e : entries) {
    const std::string name = PlaylistName(e.title.empty() ? "recording " + std::to_string(e.id) : e.title);
    const int64_t seconds = e.recording || e.duration <= 0 ? -1 : e.duration;
    out += "#EXTINF:" + std::to_string(seconds) + " tvg-name=\"" + name + "\"," + name + "\n" + base +
           "/recordings/" + std::to_string(e.id) + query + "\n";
  }
  return out;
}

HttpPages MakeHttpPages(const CaptureApp& app, RuleFiles& files, const GuideCollector* guide,
                        std::string guide_path, std::string rules_path, OfflineSchedule::Files schedule_files,
                        HttpLibrarySource library) {
  HttpPages pages;
  pages.playlist = [&app, &files](const std::string& base, const std::string& query) {
    std::vector<GuideService> guide;
    {
      RuleFiles::Hold hold = files.Take();
      if (GuideStore* store = hold.Guide()) guide = store->Services();
    }
    std::vector<PlaylistEntry> entries;
    for (const auto& [id, name] : app.Services()) {
      PlaylistEntry e{id, platform::BroadcastToUtf8(name), std::to_string(id)};
      const auto g = std::find_if(guide.begin(), guide.end(),
                                  [id = id](const GuideService& s) { return s.service_id == id; });
      if (g != guide.end()) e.tvg_id = XmltvChannelId(id, g->transport_stream_id, g->original_network_id);
      entries.push_back(std::move(e));
    }
    return M3uPlaylist(base, entries, query);
  };
  // One document per version of the guide, shared by the server's requests.
  auto cache = std::make_shared<XmltvGuideCache>([&files](const std::function<void(GuideReader&)>& use) {
    RuleFiles::Hold hold = files.Take();
    use(hold.GuideConnection());
  });
  pages.guide = [cache] { return cache->Get(); };
  pages.status = [&app, guide] {
    StatusSnapshot status = app.LastStatus();
    if (guide) status.guide = guide->StatusText();
    return StatusJson(status);
  };
  HttpApiSources sources{&app, pages.status, std::move(guide_path), std::move(rules_path), std::move(schedule_files),
                         &files};
  if (!library.path.empty()) sources.library = std::make_shared<HttpLibrary>(std::move(library));
  pages.site = [sources = std::move(sources), folder = WebFolder()](const HttpRequest& request) {
    if (request.path.starts_with("/api/")) return AnswerApi(sources, request);
    if (sources.library) {
      if (std::optional<HttpReply> reply = sources.library->AnswerPage(request)) return std::move(*reply);
    }
    return WebFile(folder, request.path);
  };
  return pages;
}

}  // namespace pelkan
