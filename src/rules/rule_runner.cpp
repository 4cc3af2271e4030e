#include "rules/rule_runner.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "guide/guide_store.h"
#include "rules/rule_store.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {
namespace {

GuideEventKey KeyOf(const ScheduleItem& item) {
  return {item.network_id, item.stream_id, item.service_id, item.event_id};
}

// The settings a rule gives its reservations differ between the two.
bool SettingsDiffer(const ScheduleItem& a, const ScheduleItem& b) {
  return a.margin_before != b.margin_before || a.margin_after != b.margin_after || a.priority != b.priority ||
         GetText(a.directory) != GetText(b.directory) || GetText(a.file_name) != GetText(b.file_name) ||
         (a.flags & SI_FILE_NAME) != (b.flags & SI_FILE_NAME);
}

// Not yet started: its recording (margin included) begins after `now`.
bool Unstarted(const ScheduleItem& item, GuideTime now) {
  return !HasStart(item) || ItemRecordStart(item) > now;
}

}  // namespace

std::vector<GuideEvent> FutureEvents(GuideStore& guide, GuideTime now, bool texts) {
  std::vector<GuideEvent> events = guide.Events(now, now + kRuleHorizon, texts, false);
  std::erase_if(events, [now](const GuideEvent& e) { return e.start <= now; });
  std::sort(events.begin(), events.end(), [](const GuideEvent& a, const GuideEvent& b) {
    if (a.start != b.start) return a.start < b.start;
    return RuleContext::Id(a.key) < RuleContext::Id(b.key);
  });
  return events;
}

bool NeedTexts(const std::vector<ReservationRule>& rules) {
  return std::any_of(rules.begin(), rules.end(),
                     [](const ReservationRule& r) { return r.enabled && r.scope != RuleTextScope::kTitle; });
}

std::vector<RuleMatch> TestRule(const ReservationRule& rule, const std::vector<GuideEvent>& events,
                                const std::vector<ScheduleItem>& reservations, RuleStore& store) {
  const RuleContext context(reservations, store.Recorded(), store.Marks());
  FoldedGuide folded(events);
  return EvaluateRule(RuleMatcher(rule), folded, context);
}

RuleRunResult RunRules(RuleStore& store, GuideStore& guide, RecordingScheduler& scheduler, GuideTime now,
                       uint32_t lock_wait_ms) {
  RuleRunResult result;
  const std::vector<ReservationRule> rules = store.Rules();
  const std::vector<GuideEvent> events = FutureEvents(guide, now, NeedTexts(rules));
  FoldedGuide folded(events);
  std::unordered_set<uint64_t> in_guide;
  for (const GuideEvent& e : events) in_guide.insert(RuleContext::Id(e.key));

  if (!scheduler.LockScheduleFile(lock_wait_ms)) return result;
  result.locked = true;
  scheduler.SyncSchedule();
  store.ForgetMarksBefore(now - kRuleHorizon);
  RuleContext context(scheduler.Reservations(), store.Recorded(), store.Marks());
  const std::string default_directory = scheduler.DefaultDirectory();
  for (const ReservationRule& rule : rules) {
    if (!rule.enabled) continue;
    const RuleMatcher matcher(rule);
    std::unordered_set<uint64_t> kept;
    for (const RuleMatch& m : EvaluateRule(matcher, folded, context)) {
      const ScheduleItem wanted = RuleReservation(rule, *m.event, default_directory);
      if (m.verdict == RuleVerdict::kReserve) {
        // Looked up again in the list itself: another rule of this run may have reserved it.
        if (scheduler.FindItem(wanted) >= 0 || scheduler.StoreItem(wanted, -1) != 1) continue;
        store.Mark(m.event->key, rule.id, m.event->start, context.Mark(m.event->key) != nullptr &&
                                                           context.Mark(m.event->key)->forced);
        context.AddReservation(wanted);
        kept.insert(RuleContext::Id(m.event->key));
        ++result.reserved;
      } else if (m.verdict == RuleVerdict::kReserved) {
        kept.insert(RuleContext::Id(m.event->key));
        const ScheduleItem* now_item = context.Reservation(m.event->key);
        if (now_item->rule_id == rule.id && Unstarted(*now_item, now) && SettingsDiffer(*now_item, wanted)) {
          ScheduleItem changed = *now_item;
          changed.margin_before = wanted.margin_before;
          changed.margin_after = wanted.margin_after;
          changed.priority = wanted.priority;
          std::memcpy(changed.directory, wanted.directory, sizeof changed.directory);
          std::memcpy(changed.file_name, wanted.file_name, sizeof changed.file_name);
          changed.flags = (changed.flags & ~SI_FILE_NAME) | (wanted.flags & SI_FILE_NAME);
          if (scheduler.ReplaceItem(*now_item, changed) == 1) ++result.updated;
        }
      }
    }
    // The rule's reservations of programmes it no longer matches go, unless they have started.
    for (const ScheduleItem& item : scheduler.Reservations()) {
      if (item.rule_id != rule.id || (item.flags & SI_BY_EVENT) == 0 || !Unstarted(item, now)) continue;
      const uint64_t id = RuleContext::Id(KeyOf(item));
      if (kept.count(id) != 0 || in_guide.count(id) == 0) continue;
      const int index = scheduler.FindItem(item);
      if (index >= 0 && scheduler.DeleteItem(index, false) == 1) {
        store.Unmark(KeyOf(item));
        ++result.removed;
      }
    }
  }
  scheduler.SyncSchedule();
  scheduler.UnlockScheduleFile();
  return result;
}

int RemoveRuleReservations(uint32_t rule_id, RuleStore& store, RecordingScheduler& scheduler, GuideTime now,
                           uint32_t lock_wait_ms) {
  if (!scheduler.LockScheduleFile(lock_wait_ms)) return -1;
  scheduler.SyncSchedule();
  int removed = 0;
  for (const ScheduleItem& item : scheduler.Reservations()) {
    if (item.rule_id != rule_id || !Unstarted(item, now)) continue;
    const int index = scheduler.FindItem(item);
    if (index >= 0 && scheduler.DeleteItem(index, false) == 1) {
      store.Unmark(KeyOf(item));
      ++removed;
    }
  }
  scheduler.SyncSchedule();
  scheduler.UnlockScheduleFile();
  return removed;
}

bool ReserveAnyway(const ReservationRule& rule, const GuideEvent& event, RuleStore& store,
                   RecordingScheduler& scheduler, uint32_t lock_wait_ms) {
  if (!scheduler.LockScheduleFile(lock_wait_ms)) return false;
  scheduler.SyncSchedule();
  const ScheduleItem item = RuleReservation(rule, event, scheduler.DefaultDirectory());
  bool stored = false;
  if (scheduler.FindItem(item) < 0 && scheduler.StoreItem(item, -1) == 1) {
    store.Mark(event.key, rule.id, event.start, true);
    stored = true;
  }
  scheduler.SyncSchedule();
  scheduler.UnlockScheduleFile();
  return stored;
}

bool NoteEndedReservation(const FinishedRecording& ended, RuleStore& store, GuideStore* guide) {
  const ScheduleItem& item = ended.item;
  if (item.rule_id == 0 || (item.flags & SI_BY_EVENT) == 0) return false;
  GuideEvent event;
  event.key = KeyOf(item);
  event.start = ItemStart(item);
  event.title = std::string(GetText(item.title));
  if (guide != nullptr) {
    if (std::optional<GuideEvent> found = guide->Find(event.key)) event = *found;
  }
  FoldedEvent folded(&event);
  HistoryEntry h;
  h.episode_key = folded.EpisodeKeyOf();
  h.title_key = folded.TitleKeyOf();
  h.rule_id = item.rule_id;
  h.key = event.key;
  h.start = event.start;
  h.episode_number = event.episode_number;
  h.title = event.title;
  if (ended.summary) {
    h.path = ended.summary->report_path;
    if (h.path.ends_with(".err")) h.path.resize(h.path.size() - 4);
  }
  h.clean = ended.summary && ended.summary->drop == 0 && ended.summary->error == 0 && ended.why.empty() &&
            ended.summary->end == RecordingEnd::kComplete;
  h.why = ended.why;
  if (!ended.summary && h.why.empty()) h.why = "not recorded";
  return store.AddHistory(h);
}

}  // namespace pelkan
