#pragma once

#include <cstdint>
#include <optional>

#include "base/mjd_time.h"
#include "schedule/schedule_item.h"
#include "ts/ts_events.h"

namespace pelkan {

// How an event reservation follows its programme event as the broadcast's event tables tell it.
// Pure functions over the reservation record; safe from any thread.

// True when the event's length is undetermined (or beyond the longest recording).
bool IsOpenEnded(const ProgrammeEvent& ev);

// Takes the event's start and length (an undetermined length becomes kMaxRecordSeconds) and, with
// `with_title`, its title into `item`, when the event's kind or version differs from the one
// `item` took last. True when `item` changed.
bool TakeOverEvent(ScheduleItem* item, const ProgrammeEvent& ev, bool with_title);

// A recording of undetermined length ends when the next programme of its service has started:
// with `next` the programme on air at `now`, the recording's length up to that start; nullopt
// while the followed event is still on air (or `next` started before it).
std::optional<uint32_t> LengthUntilNextProgramme(const ScheduleItem& item, const ProgrammeEvent& next,
                                                 MjdTime now);

}  // namespace pelkan
