#pragma once

#include <optional>
#include <string>
#include <vector>

#include "guide/guide_event.h"

namespace pelkan {

// How far the guide can be trusted for one service: until when it knows the service's programmes
// and when it last heard from the broadcast. Pure functions; safe from any thread.
struct GuideCoverage {
  // A service not heard from for this long has a stale guide.
  static constexpr GuideTime kStaleAfter = 86400;

  GuideTime known_until = -1;  // the end of its last programme; -1 none
  GuideTime heard_at = -1;     // broadcast time it was last heard from (or its schedule completed); -1 never

  // The coverage of a service of the guide store.
  static GuideCoverage Of(const GuideService& service);

  // Whether what the guide says of a programme of this service starting at `start` is old at `now`:
  // the start lies beyond the programmes it knows, or the service was not heard from for a day.
  bool Stale(GuideTime start, GuideTime now) const;
  // Whether the service was not heard from for a day at `now` (an event the guide lacks, whose
  // start is not known, is judged by this alone).
  bool Silent(GuideTime now) const { return heard_at >= 0 && now - heard_at > kStaleAfter; }
  // "番組情報: 12/15 まで (3分前に更新)" (Shift-JIS); "番組情報: なし" without programmes, and without
  // the parenthesis when never heard from.
  std::string Text(GuideTime now) const;
};

// The coverage of service `service_id` among the guide's `services`: of the network and stream
// whose programmes reach furthest; none when the guide does not know the service.
std::optional<GuideCoverage> ServiceCoverage(const std::vector<GuideService>& services, uint16_t service_id);

// "番組情報が古い" (Shift-JIS): the mark of a reservation or match whose guide is stale.
std::string StaleGuideText();

}  // namespace pelkan
