#include "schedule/scheduler_state.h"

#include <algorithm>

#include "schedule/reservation_match.h"
#include "schedule/scheduler_host.h"

namespace pelkan {

int SchedulerState::IndexOfLocked(const ScheduledRecording& r) const {
  for (size_t i = 0; i < reservations.size(); ++i) {
    if (!IsSameReservation(r.origin, reservations[i])) continue;
    // Two alike reservations each have their own recording.
    bool taken = false;
    for (const auto& other : running) {
      if (other.get() == &r) break;
      if (IsSameReservation(other->origin, reservations[i])) taken = true;
    }
    if (!taken) return static_cast<int>(i);
  }
  return -1;
}

ScheduledRecording* SchedulerState::RunningOfLocked(int index) const {
  for (const auto& r : running) {
    if (IndexOfLocked(*r) == index) return r.get();
  }
  return nullptr;
}

bool SchedulerState::IsActiveLocked(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= reservations.size()) return false;
  const ScheduledRecording* r = RunningOfLocked(index);
  if (r == nullptr) return false;
  const uint32_t state = ItemState(reservations[static_cast<size_t>(index)]);
  return state == ST_PREPARING || state == ST_RECORDING;
}

void SchedulerState::StoreLocked(const ScheduleItem& item, int index) {
  if (index < 0) {
    reservations.push_back(item);
  } else {
    reservations[static_cast<size_t>(index)] = item;
  }
  std::stable_sort(reservations.begin(), reservations.end(), CompareItems);
  ++generation;
  Changed();
}

bool SchedulerState::RetireLocked(uint32_t mark, int index, std::vector<ScheduleItem>* repetitions,
                                  std::optional<RecordingSummary> summary) {
  if (index < 0 || static_cast<size_t>(index) >= reservations.size()) return false;
  if (IsActiveLocked(index)) return false;
  ScheduleItem copy = reservations[static_cast<size_t>(index)];
  const uint32_t bits = mark == SI_DELETED ? SI_DELETED : (mark & 0x7F) << 24;
  copy.flags = (copy.flags & kItemStateClearMask) | bits;
  if (mark != SI_DELETED) {
    finished.push_back(copy);
    finished_summaries.push_back(std::move(summary));
    finished_why.emplace_back();
  }
  reservations.erase(reservations.begin() + index);
  ++generation;
  int64_t step = 0;
  if (copy.flags & SI_DAILY) {
    step = 86400;
  } else if (copy.flags & SI_WEEKLY) {
    step = 7 * 86400;
  }
  if (step != 0) {
    copy.flags &= kItemStateClearMask;
    MjdTime start{copy.start_day, copy.start_second};
    AddSeconds(&start, step);
    copy.start_day = start.date;
    copy.start_second = start.seconds;
    repetitions->push_back(copy);
  }
  Changed();
  return true;
}

void SchedulerState::Changed() {
  std::weak_ptr<int> weak = alive;
  SchedulerHost* const to = host;
  host->Post([weak, to] {
    if (!weak.expired()) to->OnScheduleChanged();
  });
}

}  // namespace pelkan
