#pragma once

#include <cstdint>
#include <optional>

#include "base/mjd_time.h"
#include "schedule/schedule_item.h"
#include <string>
#include <utility>
#include <vector>

#include "ts/event_store.h"
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

// How long a late programme is waited for past its scheduled start before its reservation gives up.
constexpr int64_t kLateStartLimit = 3 * 3600;
// An event whose length is not told, with no present/following table to decide, is recorded in
// steps of this many seconds, up to the follow limit.
constexpr int64_t kOpenEndStep = 300;

// What the scheduler remembers of one followed event reservation between ticks.
struct FollowState {
  std::optional<int64_t> on_air_since;  // when present/following first named it present
  std::optional<int64_t> off_air_at;    // when it stopped being present after that
  std::optional<int64_t> last_told_end;  // the last end the event tables told (its own end)
  std::optional<int64_t> last_start;     // the start the tables told at the last call
  int64_t open_until = 0;               // an end not told: recorded up to here (in steps)
  bool late_noted = false;              // "waiting for a late start" said
  bool over_noted = false;              // "still on air past its end" said
  bool limit_noted = false;             // the follow limit said
  bool gone = false;                    // gone from present/following and the event tables
  // Decisions taken before its recording opened, for its report: (Instant seconds, text).
  std::vector<std::pair<int64_t, std::string>> unreported;
};

// What the broadcast says now of a followed event reservation's event.
struct FollowFacts {
  int64_t now = 0;                          // Instant seconds
  std::optional<ProgrammeEvent> event;      // its record in the event tables, when known
  EventStore::PresentFollowing pf;          // of its service
  std::optional<ProgrammeEvent> on_air;     // the programme of its service on air by the tables
  uint32_t follow_limit = 3 * 3600;         // seconds after its own end (or start) an untold end runs
};

// The span to record for the reservation now, margins included, with what was decided.
struct FollowSpan {
  int64_t start = 0;
  int64_t end = 0;
  // Lines for the report (UTF-8), one per decision taken at this call.
  std::vector<std::string> notes;
  // Set when the reservation gives up (not on air long past its start, gone from the tables):
  // why, for the report (UTF-8). The span then ends now.
  std::optional<std::string> given_up;
  bool gone = false;  // gone from the tables before it started: it records nothing
};

// Follows an event reservation (`item` holds the event's start and length as last taken over)
// through the present/following table: it starts at the earlier of its start less the margin and
// the moment it goes on air; it does not end while it is on air, nor while it is the following
// event past its start (for kLateStartLimit); it ends the end margin after it has left the air.
// Without a present/following table its told end holds, and an end that is not told is followed
// in kOpenEndStep steps up to `follow_limit` past its own end (or its start). Pure but for
// `*state`.
FollowSpan FollowEvent(const ScheduleItem& item, FollowState* state, const FollowFacts& facts);

}  // namespace pelkan
