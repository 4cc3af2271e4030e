#include "ts/event_store.h"

#include <algorithm>
#include <cstdint>

namespace pelkan {
namespace {

constexpr uint64_t kSecondsPerDay = 86400;

uint64_t StartOf(const ProgrammeEvent& e) { return uint64_t{e.start_day} * kSecondsPerDay + e.start_second; }
uint64_t EndOf(const ProgrammeEvent& e) { return uint64_t{e.end_day} * kSecondsPerDay + e.end_second; }

}  // namespace

int EventStore::StoreEvent(uint16_t service_id, const ProgrammeEvent& ev) {
  std::lock_guard lock(mutex_);
  auto& events = services_[service_id];
  auto [it, inserted] = events.try_emplace(ev.event_id, ev);
  if (ev.end_second != kUndefinedDuration && (inserted || ev.kind < it->second.kind ||
                                              (ev.kind == it->second.kind && ev.version != it->second.version))) {
    const auto [end, added] = earliest_end_.try_emplace(service_id, EndOf(ev));
    if (!added) end->second = std::min(end->second, EndOf(ev));
  }
  if (inserted) {
    Touch(service_id, ev);
    return 1;
  }
  ProgrammeEvent& old = it->second;
  if (ev.kind < old.kind || (ev.kind == old.kind && ev.version != old.version)) {
    Touch(service_id, old);
    Touch(service_id, ev);
    old = ev;
    return 1;
  }
  return 0;
}

void EventStore::Touch(uint16_t service_id, const ProgrammeEvent& e) {
  // An event that starts at or after `until` is not in effect before it, nor does it end or start
  // anything before it.
  const auto it = answers_.find(service_id);
  if (it == answers_.end()) return;
  for (std::optional<Answer>& answer : it->second) {
    if (answer && StartOf(e) < answer->until) answer.reset();
  }
}

std::optional<ProgrammeEvent> EventStore::FindEventAt(uint16_t service_id, MjdTime t, int purge) {
  std::lock_guard lock(mutex_);
  auto sit = services_.find(service_id);
  if (sit == services_.end()) return std::nullopt;
  const uint64_t now = uint64_t{t.date} * kSecondsPerDay + t.seconds;
  const auto ends = earliest_end_.find(service_id);
  if (!purge || ends == earliest_end_.end() || now <= ends->second) {
    if (const auto known = answers_.find(service_id); known != answers_.end()) {
      for (const std::optional<Answer>& answer : known->second) {
        if (answer && answer->from <= now && now < answer->until) return answer->event;
      }
    }
  }
  auto& events = sit->second;
  // The first moment after `now` at which the answer may change: an event's start (its start's
  // next second for one of undetermined end) or the second after a defined end.
  uint64_t until = UINT64_MAX;
  // A defined event covering `now` wins (the lowest event_id among several). Without one, an event
  // of undetermined end is in effect only while no later event of the service has started, so the
  // open event that started last counts; the start of every started event is noted for that.
  const ProgrammeEvent* defined = nullptr;
  const ProgrammeEvent* open = nullptr;
  uint64_t latest_start = 0;
  bool any_started = false;
  for (const auto& [eid, e] : events) {
    const uint64_t start = StartOf(e);
    if (e.end_second == kUndefinedDuration) {
      if (start >= now) {
        until = std::min(until, start + 1);
        continue;
      }
      if (!open || start > StartOf(*open)) open = &e;
    } else {
      if (start > now) {
        until = std::min(until, start);
        continue;
      }
      if (!defined && now <= EndOf(e)) {
        defined = &e;
        until = std::min(until, EndOf(e) + 1);
        // The events after it (higher ids) change nothing while it lasts.
        if (!purge) break;
      }
    }
    if (!any_started || start > latest_start) latest_start = start;
    any_started = true;
  }
  std::optional<ProgrammeEvent> found;
  if (defined) {
    found = *defined;
  } else if (open && StartOf(*open) == latest_start) {
    found = *open;
  }
  if (purge) {
    // Events of undetermined end stay: nothing the broadcast said ends them.
    uint64_t earliest = UINT64_MAX;
    const size_t erased = std::erase_if(events, [now, &earliest](const auto& entry) {
      const ProgrammeEvent& e = entry.second;
      if (e.end_second == kUndefinedDuration) return false;
      if (EndOf(e) < now) return true;
      earliest = std::min(earliest, EndOf(e));
      return false;
    });
    earliest_end_[service_id] = earliest;
    if (erased > 0) {
      answers_.erase(service_id);
      return found;
    }
  }
  std::array<std::optional<Answer>, 2>& answers = answers_[service_id];
  answers[1] = std::move(answers[0]);
  answers[0] = Answer{now, until, found};
  return found;
}

std::optional<ProgrammeEvent> EventStore::FindEventById(int, int, int service_id, int event_id) const {
  std::lock_guard lock(mutex_);
  if (service_id < 0 || service_id > 0xFFFF || event_id < 0 || event_id > 0xFFFF) return std::nullopt;
  auto sit = services_.find(static_cast<uint16_t>(service_id));
  if (sit == services_.end()) return std::nullopt;
  auto eit = sit->second.find(static_cast<uint16_t>(event_id));
  if (eit == sit->second.end()) return std::nullopt;
  return eit->second;
}

void EventStore::StorePresentFollowing(uint16_t service_id, uint8_t section_number,
                                       std::optional<uint16_t> event_id) {
  if (section_number > 1) return;
  std::lock_guard lock(mutex_);
  PresentFollowingIds& ids = present_following_[service_id];
  if (section_number == 0) {
    ids.known = true;
    ids.present = event_id;
  } else {
    ids.following = event_id;
  }
}

EventStore::PresentFollowing EventStore::FindPresentFollowing(uint16_t service_id) const {
  std::lock_guard lock(mutex_);
  PresentFollowing out;
  const auto it = present_following_.find(service_id);
  if (it == present_following_.end()) return out;
  out.known = it->second.known;
  if (it->second.present) out.present = FindEventById(0, 0, service_id, *it->second.present);
  if (it->second.following) out.following = FindEventById(0, 0, service_id, *it->second.following);
  return out;
}

void EventStore::Clear() {
  std::lock_guard lock(mutex_);
  services_.clear();
  present_following_.clear();
  answers_.clear();
  earliest_end_.clear();
}

std::vector<ProgrammeEvent> EventStore::Snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<ProgrammeEvent> out;
  for (const auto& [sid, events] : services_) {
    for (const auto& [eid, e] : events) out.push_back(e);
  }
  return out;
}

size_t EventStore::Size() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [sid, events] : services_) n += events.size();
  return n;
}

}  // namespace pelkan
