#include "guide/guide_coverage.h"

#include <algorithm>
#include <cstdio>

#include "platform/text_codec.h"

namespace pelkan {

using platform::Sjis;

GuideCoverage GuideCoverage::Of(const GuideService& service) {
  GuideCoverage c;
  c.known_until = service.known_until;
  // A guide written before the services' hearing was recorded still tells its last completion.
  c.heard_at = std::max(service.heard_at, service.complete_at);
  return c;
}

bool GuideCoverage::Stale(GuideTime start, GuideTime now) const {
  return known_until < 0 || start >= known_until || Silent(now);
}

std::optional<GuideCoverage> ServiceCoverage(const std::vector<GuideService>& services, uint16_t service_id) {
  std::optional<GuideCoverage> found;
  for (const GuideService& s : services) {
    if (s.service_id != service_id) continue;
    const GuideCoverage c = GuideCoverage::Of(s);
    if (!found || c.known_until > found->known_until) found = c;
  }
  return found;
}

std::string GuideCoverage::Text(GuideTime now) const {
  if (known_until < 0) return Sjis("番組情報: なし");
  int year = 0, month = 0, day = 0;
  // The day of the last programme's last second.
  MjdToDate(static_cast<uint32_t>(std::max<GuideTime>(known_until - 1, 0) / 86400), &year, &month, &day);
  char text[96];
  std::snprintf(text, sizeof text, Sjis("番組情報: %d/%d まで").c_str(), month, day);
  std::string out = text;
  if (heard_at < 0) return out;
  const GuideTime ago = std::max<GuideTime>(now - heard_at, 0);
  if (ago < 3600) {
    std::snprintf(text, sizeof text, Sjis(" (%d分前に更新)").c_str(), static_cast<int>(ago / 60));
  } else if (ago < 2 * 86400) {
    std::snprintf(text, sizeof text, Sjis(" (%d時間前に更新)").c_str(), static_cast<int>(ago / 3600));
  } else {
    std::snprintf(text, sizeof text, Sjis(" (%d日前に更新)").c_str(), static_cast<int>(ago / 86400));
  }
  return out + text;
}

std::string StaleGuideText() {
  return Sjis("番組情報が古い");
}

}  // namespace pelkan
