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

// A rule whose matching was stopped (its regular expression too complex, or over its time
// budget, or refused by the engine) and why (English).
struct StoppedRule {
  uint32_t rule_id = 0;
  std::string why;
};

// What one run of the rules did.
struct RuleRunResult {
  bool locked = false;  // false: the reservation file's lock was not had, nothing was done
  int reserved = 0;     // reservations made
  int restored = 0;     // of them, rules' reservations that were lost with a damaged or replaced file
  int updated = 0;      // reservations changed to their rule's new settings
  int removed = 0;      // unstarted reservations whose programme the rule no longer matches
  // Rules that changed nothing this run because their matching was stopped.
  std::vector<StoppedRule> stopped;
};

// The highest rule id the reservations name (their Rule=), 0 when none does.
uint32_t HighestRuleId(const std::vector<ScheduleItem>& reservations);

// The programmes of the guide that start after `now` and before now + kRuleHorizon, by start;
// with their descriptions and extended texts when `texts`.
std::vector<GuideEvent> FutureEvents(GuideStore& guide, GuideTime now, bool texts);
// True when some rule of `rules` looks beyond the titles.
bool NeedTexts(const std::vector<ReservationRule>& rules);

// What the rules are judged against at `now`: the scheduler's reservations and its file's ListId,
// the rules file's history and marks (none when `store` is null), and, from `guide` (when not
// null), the episodes of reserved programmes on air at `now` (begun, margin included, and not
// ended; those not among `events`).
RuleContext ContextOf(RecordingScheduler& scheduler, RuleStore* store, GuideStore* guide,
                      const std::vector<GuideEvent>& events, GuideTime now);
// What `rule` matches in `events` now (FutureEvents) and the verdict of each, against `context`.
// Changes nothing. `stopped` (when not null) gets why the matching was stopped, empty when it was
// not (the matches are then only those found before).
std::vector<RuleMatch> TestRule(const ReservationRule& rule, const std::vector<GuideEvent>& events,
                                const RuleContext& context, std::string* stopped = nullptr);

// Runs every enabled rule over the guide's programmes after `now` (broadcast time): each match
// with the verdict "reserve" becomes an event reservation of its rule; a rule's unstarted
// reservation takes its rule's changed settings, and is removed when its programme (still in the
// guide) no longer matches. The rules are matched first, without the reservation file's lock (a
// rule whose matching is stopped changes nothing and is told in the result); then the verdicts are
// decided under the lock, after a sync, and written before the lock is let go, so that two programs
// running the rules at once make one reservation per programme. The scheduler's thread.
RuleRunResult RunRules(RuleStore& store, GuideStore& guide, RecordingScheduler& scheduler, GuideTime now,
                       uint32_t lock_wait_ms);

// Removes the reservations of rule `rule_id` that have not started by `now` (`rule remove`),
// under the file's lock. One that has begun (its recording, margin included, started by its own
// start or its programme's in `guide`), or whose start neither tells, is kept and recorded to its
// end; `kept` (when not null) gets how many. Returns how many were removed, or -1 when the lock was
// not had (nothing done).
int RemoveRuleReservations(uint32_t rule_id, RuleStore& store, RecordingScheduler& scheduler,
                           GuideStore* guide, GuideTime now, uint32_t lock_wait_ms, int* kept = nullptr);

// Reserves `event` for rule `rule` whatever its verdict ("この回も録画"): marks it as forced and
// stores its reservation. False when the lock was not had or it is reserved already.
bool ReserveAnyway(const ReservationRule& rule, const GuideEvent& event, RuleStore& store,
                   RecordingScheduler& scheduler, uint32_t lock_wait_ms);

// Keeps in the history what became of a rule's reservation that ended (SchedulerHost::
// OnReservationEnded): recorded whole or not. Only a complete recording of the whole programme
// counts: no drop, no error, no gap, not cut at either end, the programme's start and end both in
// the file.
// The programme's series and title come from `guide` when it still holds it. Reservations made by
// hand are not kept. Returns true when an entry was written.
bool NoteEndedReservation(const FinishedRecording& ended, RuleStore& store, GuideStore* guide);

}  // namespace pelkan
