#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "schedule/recording_scheduler.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// "YYYY-MM-DD HH:MM:SS" of a broadcast instant (seconds since MJD 0, JST); `separator` between date
// and time.
std::string InstantText(int64_t instant, char separator = ' ');

// The span reservation `i` of `plan` asks for, margins included, as the plan saw it: nullopt when
// its time is not known yet.
std::optional<std::pair<int64_t, int64_t>> RequestedSpan(const RecordingScheduler::PlannedList& plan,
                                                         size_t i);

// The JSON object of reservation `i` of `plan` (`schedule plan --json`, the web page's plan):
// number, name, span, margins, priority, tuning, the verdict and its text, what it records and
// the seconds lost to whom (times in JST, as the guide's), and whether the guide's knowledge of its
// programme is old (`stale`).
std::string PlanJson(const RecordingScheduler::PlannedList& plan, size_t i, bool stale = false);

}  // namespace pelkan
