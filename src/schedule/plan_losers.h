#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "schedule/recording_plan.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// What storing one reservation takes from the others. `items` and `requests` are the list with the
// reservation at `candidate` (its plan requests in list order); `before` is the request that held
// that place before (the original's for a change, PlanRequest{} for a new one). One text per
// reservation that then records less (Shift-JIS, its name broadcast text), in list order:
// "この予約により 20:00 連続テレビ小説 が録画不可になります", or for one that keeps a part
// "この予約により 20:00 連続テレビ小説 が一部録画になります (終了 10分早め)". Pure function.
std::vector<std::string> PlanLoserTexts(std::span<const ScheduleItem> items, std::span<const PlanRequest> requests,
                                        size_t candidate, const PlanRequest& before);

}  // namespace pelkan
