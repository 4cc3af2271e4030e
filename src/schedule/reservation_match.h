#pragma once

#include <vector>

#include "schedule/schedule_item.h"

namespace pelkan {

// Whether two records are the same reservation, so that one shown on screen (or opened in the
// edit dialog) can be found again after the list has been re-sorted, shortened or updated by the
// scheduler meanwhile. The state bits are ignored; for an event reservation so is what the
// scheduler fills in from the programme information (start, duration, kind, version, title).
// Pure function.
bool IsSameReservation(const ScheduleItem& a, const ScheduleItem& b);

// True when `entry` of the list is the reservation that `active` (the copy being prepared or
// recorded) was taken from. Event reservations are known by their event, whose time may move while
// it is followed; date-time reservations by their start (the delete command zeroes only the active
// copy's duration). Pure function.
bool IsRecordedReservation(const ScheduleItem& active, const ScheduleItem& entry);

// Index of the first entry of `list` that is the reservation `item`; -1 when there is none.
int FindReservation(const std::vector<ScheduleItem>& list, const ScheduleItem& item);

}  // namespace pelkan
