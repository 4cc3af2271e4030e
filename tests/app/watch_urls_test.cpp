#include "app/watch_urls.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

TEST(WatchUrls, TheServersAddressAsALocalPlayerReachesItAndTheProgrammesOnAir) {
  const struct {
    const char* address;
    uint16_t port;
    const char* playlist;
  } bases[] = {
      {"127.0.0.1", 8080, "http://127.0.0.1:8080/playlist.m3u"},
      {"0.0.0.0", 8080, "http://127.0.0.1:8080/playlist.m3u"},
      {"", 40772, "http://127.0.0.1:40772/playlist.m3u"},
      {"::", 8080, "http://[::1]:8080/playlist.m3u"},
      {"::1", 8080, "http://[::1]:8080/playlist.m3u"},
      {"192.168.1.5", 8080, "http://192.168.1.5:8080/playlist.m3u"},
      {"127.0.0.1", 0, ""},  // no server
  };
  for (const auto& b : bases) EXPECT_EQ(PlaylistUrl(HttpBaseUrl(b.address, b.port)), b.playlist) << b.address;

  const std::string base = HttpBaseUrl("127.0.0.1", 8080);
  GuideEvent event;
  event.key.service_id = 1024;
  event.start = 1000;
  event.duration = 600;
  const struct {
    const char* name;
    std::string base;
    uint32_t duration;
    GuideTime now;
    const char* url;
  } programmes[] = {
      {"on air", base, 600, 1300, "http://127.0.0.1:8080/service/1024"},
      {"at its start", base, 600, 1000, "http://127.0.0.1:8080/service/1024"},
      {"ended", base, 600, 1600, ""},
      {"not yet", base, 600, 999, ""},
      {"length undetermined", base, kUndefinedDuration, 90000, "http://127.0.0.1:8080/service/1024"},
      {"no server", "", 600, 1300, ""},
  };
  for (const auto& p : programmes) {
    event.duration = p.duration;
    EXPECT_EQ(ProgrammeWatchUrl(p.base, event, p.now), p.url) << p.name;
  }
}

}  // namespace
}  // namespace pelkan
