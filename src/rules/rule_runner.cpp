#include "rules/rule_runner.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "guide/guide_store.h"
#include "rules/rule_store.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {
namespace {

// How long a reserved programme whose end is not told counts as on air (the follow limit's default).
constexpr GuideTime kOpenEndFollowSeconds = 3 * 3600;

GuideEventKey KeyOf(const ScheduleItem& item) {
  return {item.network_id, item.stream_id, item.service_id, item.event_id};
}

// The settings a rule gives its reservations differ between the two.
bool SettingsDiffer(const ScheduleItem& a, const ScheduleItem& b) {
  return a.margin_before != b.margin_before || a.margin_after != b.margin_after || a.priority != b.priority ||
         GetText(a.directory) != GetText(b.directory) || GetText(a.file_name) != GetText(b.file_name) ||
         (a.flags & SI_FILE_NAME) != (b.flags & SI_FILE_NAME);
}

// Whether the recording of `item` (margin included) has begun by `now`, with `programme_start` the
// start of its programme as the guide tells it (0: unknown). A reservation read from the file has
// no start of its own while its event is unresolved; nullopt when neither tells.
std::optional<bool> Started(const ScheduleItem& item, GuideTime programme_start, GuideTime now) {
  if (HasStart(item)) return ItemRecordStart(item) <= now;
  if (programme_start != 0) return programme_start - item.margin_before <= now;
  return std::nullopt;
}

// A rule's reservation may be changed or removed by the rules: it has not begun, and it is not
// being prepared or recorded by this program.
bool Changeable(RecordingScheduler& scheduler, const ScheduleItem& item, GuideTime programme_start,
                GuideTime now) {
  if (Started(item, programme_start, now).value_or(true)) return false;
  const int index = scheduler.FindItem(item);
  return index >= 0 && !scheduler.IsActiveItem(index);
}

// A mark to write once the reservation file has its ListId.
struct PendingMark {
  GuideEventKey key;
  uint32_t rule_id;
  GuideTime start;
  bool forced;
};

void WriteMarks(const std::vector<PendingMark>& marks, RuleStore& store, const std::string& list_id) {
  for (const PendingMark& m : marks) store.Mark(m.key, m.rule_id, m.start, m.forced, list_id);
}

}  // namespace

uint32_t HighestRuleId(const std::vector<ScheduleItem>& reservations) {
  uint32_t highest = 0;
  for (const ScheduleItem& item : reservations) highest = std::max(highest, item.rule_id);
  return highest;
}

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

RuleContext ContextOf(RecordingScheduler& scheduler, RuleStore* store, GuideStore* guide,
                      const std::vector<GuideEvent>& events, GuideTime now) {
  const std::vector<ScheduleItem> reservations = scheduler.Reservations();
  RuleContext context(reservations, store ? store->Recorded() : std::vector<RecordedEpisode>{},
                      store ? store->Marks() : std::vector<RuleMark>{});
  context.SetListId(scheduler.ScheduleListId());
  if (guide == nullptr) return context;
  std::unordered_set<uint64_t> judged;
  for (const GuideEvent& e : events) judged.insert(RuleContext::Id(e.key));
  for (const ScheduleItem& item : reservations) {
    if ((item.flags & SI_BY_EVENT) == 0 || judged.count(RuleContext::Id(KeyOf(item))) != 0) continue;
    // Reserved and not among the coming programmes: on air now, or past (a reservation of a program
    // not running). One whose end is not told is taken for as long as it is followed by default.
    std::optional<GuideEvent> event = guide->Find(KeyOf(item));
    if (!event) continue;
    const GuideTime end =
        event->HasEnd() ? event->start + event->duration : event->start + kOpenEndFollowSeconds;
    if (event->start - item.margin_before > now || end + item.margin_after <= now) continue;
    FoldedEvent folded(&*event);
    context.AddRunning(folded.EpisodeKeyOf(), folded.TitleKeyOf());
  }
  return context;
}

std::vector<RuleMatch> TestRule(const ReservationRule& rule, const std::vector<GuideEvent>& events,
                                const RuleContext& context, std::string* stopped) {
  FoldedGuide folded(events);
  const RuleMatcher matcher(rule);
  std::vector<RuleMatch> matches = EvaluateRule(matcher, folded, context);
  if (stopped != nullptr) *stopped = matcher.valid() ? matcher.stopped() : matcher.error();
  return matches;
}

RuleRunResult RunRules(RuleStore& store, GuideStore& guide, RecordingScheduler& scheduler, GuideTime now,
                       uint32_t lock_wait_ms) {
  RuleRunResult result;
  const std::vector<ReservationRule> rules = store.Rules();
  const std::vector<GuideEvent> events = FutureEvents(guide, now, NeedTexts(rules));
  FoldedGuide folded(events);
  std::unordered_map<uint64_t, GuideTime> in_guide;
  for (const GuideEvent& e : events) in_guide.emplace(RuleContext::Id(e.key), e.start);

  // The matching first, without the reservation file's lock: over a large guide it takes a while,
  // and every other program waits for the lock meanwhile.
  struct Matched {
    const ReservationRule* rule;
    RuleMatcher matcher;
    std::vector<RuleHit> hits;
  };
  std::vector<Matched> matched;
  for (const ReservationRule& rule : rules) {
    if (!rule.enabled) continue;
    RuleMatcher matcher(rule);
    std::vector<RuleHit> hits = MatchRule(matcher, folded);
    // What it matched is not all it would match: it neither reserves nor removes anything.
    const std::string& why = matcher.valid() ? matcher.stopped() : matcher.error();
    if (!why.empty()) {
      result.stopped.push_back({rule.id, why});
      continue;
    }
    matched.push_back({&rule, std::move(matcher), std::move(hits)});
  }

  if (!scheduler.LockScheduleFile(lock_wait_ms)) return result;
  result.locked = true;
  scheduler.SyncSchedule();
  store.ForgetMarksBefore(now - kRuleHorizon);
  RuleContext context = ContextOf(scheduler, &store, &guide, events, now);
  const std::string default_directory = scheduler.DefaultDirectory();
  const std::string list_id = scheduler.ScheduleListId();
  std::vector<PendingMark> marks;
  for (const Matched& each : matched) {
    const ReservationRule& rule = *each.rule;
    std::unordered_set<uint64_t> kept;
    for (const RuleMatch& m : JudgeRule(each.matcher, each.hits, folded, context)) {
      const ScheduleItem wanted = RuleReservation(rule, *m.event, default_directory);
      const RuleMark* mark = context.Mark(m.event->key);
      if (m.verdict == RuleVerdict::kReserve) {
        // Looked up again in the list itself: another rule of this run may have reserved it.
        if (scheduler.FindItem(wanted) >= 0 || scheduler.StoreItem(wanted, -1) != 1) continue;
        marks.push_back({m.event->key, rule.id, m.event->start, mark != nullptr && mark->forced});
        context.AddReservation(wanted);
        kept.insert(RuleContext::Id(m.event->key));
        ++result.reserved;
        result.restored += m.lost;
      } else if (m.verdict == RuleVerdict::kReserved) {
        kept.insert(RuleContext::Id(m.event->key));
        const ScheduleItem* now_item = context.Reservation(m.event->key);
        // A mark of a file whose list this one took over (kept while the damaged file went aside)
        // names this file from now on.
        if (mark != nullptr && mark->rule_id == now_item->rule_id && mark->list_id != list_id)
          marks.push_back({m.event->key, mark->rule_id, m.event->start, mark->forced});
        if (now_item->rule_id == rule.id && SettingsDiffer(*now_item, wanted) &&
            Changeable(scheduler, *now_item, m.event->start, now)) {
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
    // The rule's reservations of programmes it no longer matches go, unless they have begun.
    for (const ScheduleItem& item : scheduler.Reservations()) {
      if (item.rule_id != rule.id || (item.flags & SI_BY_EVENT) == 0) continue;
      const uint64_t id = RuleContext::Id(KeyOf(item));
      const auto programme = in_guide.find(id);
      if (kept.count(id) != 0 || programme == in_guide.end()) continue;
      if (!Changeable(scheduler, item, programme->second, now)) continue;
      const int index = scheduler.FindItem(item);
      if (index >= 0 && scheduler.DeleteItem(index, false) == 1) {
        store.Unmark(KeyOf(item));
        ++result.removed;
      }
    }
  }
  scheduler.SyncSchedule();
  // The marks name the file as written: one that first got a rule's reservation got its ListId now.
  WriteMarks(marks, store, scheduler.ScheduleListId());
  scheduler.UnlockScheduleFile();
  return result;
}

int RemoveRuleReservations(uint32_t rule_id, RuleStore& store, RecordingScheduler& scheduler,
                           GuideStore* guide, GuideTime now, uint32_t lock_wait_ms, int* kept) {
  if (!scheduler.LockScheduleFile(lock_wait_ms)) return -1;
  scheduler.SyncSchedule();
  int removed = 0, begun = 0;
  for (const ScheduleItem& item : scheduler.Reservations()) {
    if (item.rule_id != rule_id) continue;
    GuideTime programme_start = 0;
    if (guide != nullptr && (item.flags & SI_BY_EVENT) != 0) {
      if (std::optional<GuideEvent> event = guide->Find(KeyOf(item))) programme_start = event->start;
    }
    // A running recording is never taken away with its rule: it records to its end.
    if (!Changeable(scheduler, item, programme_start, now)) {
      ++begun;
      continue;
    }
    const int index = scheduler.FindItem(item);
    if (index >= 0 && scheduler.DeleteItem(index, false) == 1) {
      store.Unmark(KeyOf(item));
      ++removed;
    }
  }
  scheduler.SyncSchedule();
  scheduler.UnlockScheduleFile();
  if (kept != nullptr) *kept = begun;
  return removed;
}

bool ReserveAnyway(const ReservationRule& rule, const GuideEvent& event, RuleStore& store,
                   RecordingScheduler& scheduler, uint32_t lock_wait_ms) {
  if (!scheduler.LockScheduleFile(lock_wait_ms)) return false;
  scheduler.SyncSchedule();
  const ScheduleItem item = RuleReservation(rule, event, scheduler.DefaultDirectory());
  bool stored = false;
  if (scheduler.FindItem(item) < 0 && scheduler.StoreItem(item, -1) == 1) stored = true;
  scheduler.SyncSchedule();
  if (stored) WriteMarks({{event.key, rule.id, event.start, true}}, store, scheduler.ScheduleListId());
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
  h.clean = ended.summary && ended.summary->drop == 0 && ended.summary->error == 0 &&
            ended.summary->gaps == 0 && ended.summary->whole_programme && ended.why.empty() &&
            ended.summary->end == RecordingEnd::kComplete;
  h.why = ended.why;
  if (h.why.empty() && !h.clean) {
    if (!ended.summary) {
      h.why = "not recorded";
    } else if (ended.summary->end != RecordingEnd::kComplete) {
      h.why = "not complete";
    } else if (ended.summary->gaps != 0) {
      h.why = std::to_string(ended.summary->gaps) + " gaps (the tuner was away)";
    } else if (!ended.summary->whole_programme) {
      h.why = "the programme's start or end is not in the file";
    } else {
      h.why = "drops or errors";
    }
  }
  return store.AddHistory(h);
}

}  // namespace pelkan
