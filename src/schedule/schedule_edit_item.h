#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/mjd_time.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The record a new reservation starts from, before the user sees it in the edit dialog (or the
// command line adds its options). Pure functions; texts are Shift-JIS.

// Duration given to a programme whose length the broadcast leaves undetermined (0xFFFFFFFF).
constexpr uint32_t kUndeterminedDurationShown = 1800;
// Longest duration the dialog's picker shows (23:59:59).
constexpr uint32_t kLongestEditableDuration = 86399;

// A duration the duration picker can show: an undetermined one becomes 1800 s, one of a day or
// more 23:59:59, so the user sees a bounded value and can correct it.
uint32_t EditableDuration(uint32_t duration);

// The file name stem "YYYYMMDD-HHMM" of a start time.
std::string StartStamp(MjdTime start);

// A new date-time reservation in `default_directory` with the extension ".ts".
// With `start` (a programme chosen in the filtering window): limited to `service_id`, starting
// then and lasting `duration` (bounded by EditableDuration), file name "YYYYMMDD-HHMM" of the
// start. Without (the list window's 追加): starting `now`, 1800 s, file name of `now`, no limit.
// A `title` (present, even when empty) sets SI_FILE_NAME and appends "-" and the title to the name.
ScheduleItem MakeTimeReservation(std::string_view default_directory, uint16_t service_id,
                                 const MjdTime* start, uint32_t duration,
                                 std::optional<std::string_view> title, MjdTime now);

// A new event reservation in `default_directory`: the four ids, limited to `service_id`,
// unresolved (start day 0), extension ".ts", SI_FILE_NAME clear. Its file name, used only if the
// reservation is later converted to a date-time one, is the title, or "YYYYMMDD-HHMM" of `now`
// when there is no title or it is empty.
ScheduleItem MakeEventReservation(std::string_view default_directory, uint16_t network_id, uint16_t stream_id,
                                  uint16_t service_id, uint16_t event_id,
                                  std::optional<std::string_view> title, MjdTime now);

}  // namespace pelkan
