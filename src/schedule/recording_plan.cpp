#include "schedule/recording_plan.h"

#include <algorithm>
#include <numeric>

namespace pelkan {

PlanRequest PlanRequestOf(const ScheduleItem& item) {
  if (!HasStart(item)) {
    PlanRequest r = PlanRequestOf(item, 0, 0);
    r.known = false;
    return r;
  }
  return PlanRequestOf(item, ItemRecordStart(item), ItemRecordEnd(item));
}

PlanRequest PlanRequestOf(const ScheduleItem& item, int64_t start, int64_t end) {
  PlanRequest r;
  r.known = true;
  r.start = start;
  r.end = end;
  r.priority = item.priority;
  r.stream_id = item.stream_id;
  // The tuner is moved only by a reservation that sets the channel value or sends the string.
  if (item.flags & SI_CHANNEL_VALUE) {
    r.tuning.push_back('v');
    r.tuning.append(std::to_string(item.channel_value));
  }
  if (item.flags & SI_CHANNEL_STRING) {
    r.tuning.push_back('s');
    r.tuning.append(GetText(item.channel_string));
  }
  return r;
}

bool SharesTuner(const PlanRequest& a, const PlanRequest& b) {
  return a.tuning == b.tuning && (a.stream_id == 0 || b.stream_id == 0 || a.stream_id == b.stream_id);
}

std::vector<PlanLine> MakePlan(std::span<const PlanRequest> requests) {
  const size_t n = requests.size();
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const PlanRequest& x = requests[a];
    const PlanRequest& y = requests[b];
    if (x.priority != y.priority) return x.priority > y.priority;
    return x.start < y.start;
  });

  std::vector<PlanLine> lines(n);
  struct Held {
    int64_t start, end;
    int by;
  };
  std::vector<size_t> ranked;  // requests already given their time, in rank order
  for (const size_t i : order) {
    const PlanRequest& r = requests[i];
    PlanLine& line = lines[i];
    if (!r.known) {
      ranked.push_back(i);
      continue;
    }
    // What the winners over it on another stream hold of its span, by start.
    std::vector<Held> held;
    for (const size_t j : ranked) {
      const PlanLine& w = lines[j];
      if (w.end <= w.start || SharesTuner(r, requests[j])) continue;
      if (w.start < r.end && r.start < w.end) held.push_back({w.start, w.end, static_cast<int>(j)});
    }
    std::stable_sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.start < b.start; });
    int64_t start = r.start;
    int head_by = -1;
    for (const Held& h : held) {
      if (h.start <= start && start < h.end) {
        start = h.end;
        head_by = h.by;
      }
    }
    if (start >= r.end && r.end > r.start) {
      line.verdict = PlanVerdict::kNone;
      // The winner named is the one that holds the tuner over its start.
      for (const Held& h : held) {
        if (h.start <= r.start && r.start < h.end) {
          line.by = h.by;
          break;
        }
      }
      if (line.by < 0) line.by = head_by;
      ranked.push_back(i);
      continue;
    }
    int64_t end = r.end;
    int tail_by = -1;
    for (const Held& h : held) {
      if (h.start >= start && h.start < end) {
        end = h.start;
        tail_by = h.by;
      }
    }
    line.start = start;
    line.end = std::max(start, end);
    line.head_lost = start - r.start;
    line.tail_lost = r.end - line.end;
    line.head_by = line.head_lost > 0 ? head_by : -1;
    line.tail_by = line.tail_lost > 0 ? tail_by : -1;
    line.verdict = line.head_lost > 0 || line.tail_lost > 0 ? PlanVerdict::kPart : PlanVerdict::kWhole;
    ranked.push_back(i);
  }
  return lines;
}

}  // namespace pelkan
