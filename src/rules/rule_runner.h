#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guide/guide_event.h"
#include "rules/reservation_rule.h"
#include "rules/rule_evaluation.h"
#include "schedule/schedule_item.h"

namespace pelkan {

class GuideStore;
class RecordingScheduler;
class RuleStore;
struct FinishedRecording;

// How far ahead the rules look into the guide, seconds (the guide holds eight days).
constexpr GuideTime kRuleHorizon = 9 * 86400;

// What one run of the rules did.
struct RuleRunResult {
  bool locked = false;  // false: the reservation file's lock was not had, nothing was done
  int reserved = 0;     // reservations made
  int updated = 0;      // reservations changed to their rule's new settings
  int removed = 0;      // unstarted reservations whose programme the rule no longer matches
};

// The programmes of the guide that start after `now` and before now + kRuleHorizon, by start;
// with their descriptions and extended texts when `texts`.
std::vector<GuideEvent> FutureEvents(GuideStore& guide, GuideTime now, bool texts);
// True when some rule of `rules` looks beyond the titles.
bool NeedTexts(const std::vector<ReservationRule>& rules);

// What `rule` matches in `events` now (FutureEvents) and the verdict of each, against the
// reservations and the rules file's history and marks. Changes nothing.
std::vector<RuleMatch> TestRule(const ReservationRule& rule, const std::vector<GuideEvent>& events,
                                const std::vector<ScheduleItem>& reservations, RuleStore& store);

// Runs every enabled rule over the guide's programmes after `now` (broadcast time): each match
// with the verdict "reserve" becomes an event reservation of its rule; a rule's unstarted
// reservation takes its rule's changed settings, and is removed when its programme (still in the
// guide) no longer matches. Decided under the reservation file's lock, after a sync, and written
// before the lock is let go, so that two programs running the rules at once make one reservation
// per programme. UI thread (the scheduler's).
RuleRunResult RunRules(RuleStore& store, GuideStore& guide, RecordingScheduler& scheduler, GuideTime now,
                       uint32_t lock_wait_ms);

// Removes the reservations of rule `rule_id` that have not started by `now` (`rule remove`),
// under the file's lock. Returns how many, or -1 when the lock was not had (nothing done).
int RemoveRuleReservations(uint32_t rule_id, RuleStore& store, RecordingScheduler& scheduler, GuideTime now,
                           uint32_t lock_wait_ms);

// Reserves `event` for rule `rule` whatever its verdict ("この回も録画"): marks it as forced and
// stores its reservation. False when the lock was not had or it is reserved already.
bool ReserveAnyway(const ReservationRule& rule, const GuideEvent& event, RuleStore& store,
                   RecordingScheduler& scheduler, uint32_t lock_wait_ms);

// Keeps in the history what became of a rule's reservation that ended (SchedulerHost::
// OnReservationEnded): recorded whole (a report without drops or errors, not cut short) or not.
// The programme's series and title come from `guide` when it still holds it. Reservations made by
// hand are not kept. Returns true when an entry was written.
bool NoteEndedReservation(const FinishedRecording& ended, RuleStore& store, GuideStore* guide);

}  // namespace pelkan
