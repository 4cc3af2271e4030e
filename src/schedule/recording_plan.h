#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "schedule/schedule_item.h"

namespace pelkan {

// The plan: which reservations one tuner records, and which lose time to which. Pure functions
// over the reservation list; safe from any thread.
//
// At any moment the tuner receives one transport stream. Reservations that share it (the same
// tuning, and the same stream when both know theirs) record at once, each into its own file;
// reservations on different streams collide. The tuner goes to the higher priority; of equal
// priorities to the one that starts first, then to the one earlier in the list. A reservation
// records the first stretch of its span that no winner over it holds: a winner that starts during
// it cuts its tail, one that holds its start cuts its head (it starts when the winner ends).

// One reservation as the plan sees it.
struct PlanRequest {
  bool known = false;  // false: its time is not known yet (an event not found); it takes no time
  int64_t start = 0;   // first second recorded, margin included (Instant seconds)
  int64_t end = 0;     // end of the span (exclusive), margin included
  uint8_t priority = kDefaultPriority;
  uint16_t stream_id = 0;  // transport stream id when known, else 0
  std::string tuning;      // what the reservation sets the tuner to; empty when it leaves it as it is
};

// The request of a reservation as listed: its stored time with its margins.
PlanRequest PlanRequestOf(const ScheduleItem& item);
// The request of `item` recorded over [start, end) (its time as followed, margins included).
PlanRequest PlanRequestOf(const ScheduleItem& item, int64_t start, int64_t end);

// True when the two reservations can record at the same time on one tuner.
bool SharesTuner(const PlanRequest& a, const PlanRequest& b);

enum class PlanVerdict {
  kUnknown,  // its time is not known yet
  kWhole,    // records its whole span
  kPart,     // loses its head, its tail or both
  kNone,     // records nothing
};

// What the plan does with one reservation. Indices refer to the requests given to MakePlan.
struct PlanLine {
  PlanVerdict verdict = PlanVerdict::kUnknown;
  int64_t start = 0;  // what it records, [start, end); empty for kNone and kUnknown
  int64_t end = 0;
  int64_t head_lost = 0;  // seconds lost at the start, to head_by
  int64_t tail_lost = 0;  // seconds lost at the end, to tail_by
  int head_by = -1;
  int tail_by = -1;
  int by = -1;  // kNone: the reservation that holds the tuner over its start
};

// The plan of `requests` (in list order: the order breaks ties after the start).
std::vector<PlanLine> MakePlan(std::span<const PlanRequest> requests);

}  // namespace pelkan
