#include "guide/guide_grid_model.h"

#include <algorithm>
#include <map>

#include "base/broadcast_clock.h"

namespace pelkan {
namespace {

uint64_t ServiceKey(uint16_t onid, uint16_t tsid, uint16_t sid) {
  return uint64_t{onid} << 32 | uint64_t{tsid} << 16 | sid;
}

}  // namespace

void GuideGridModel::Load(const std::vector<GuideService>& services, std::vector<GuideEvent> events) {
  std::map<uint64_t, size_t> index;
  std::vector<Column> columns;
  for (const GuideService& s : services) {
    index[ServiceKey(s.original_network_id, s.transport_stream_id, s.service_id)] = columns.size();
    columns.push_back({s, {}});
  }
  for (GuideEvent& e : events) {
    const GuideEventKey& k = e.key;
    auto [it, added] = index.try_emplace(
        ServiceKey(k.original_network_id, k.transport_stream_id, k.service_id), columns.size());
    if (added)
      columns.push_back(
          {GuideService{k.original_network_id, k.transport_stream_id, k.service_id, {}, -1}, {}});
    columns[it->second].events.push_back(std::move(e));
  }
  std::erase_if(columns, [](const Column& c) { return c.events.empty(); });
  const auto by_start = [](const GuideEvent& a, const GuideEvent& b) { return a.start < b.start; };
  for (Column& c : columns) {
    if (!std::is_sorted(c.events.begin(), c.events.end(), by_start))
      std::stable_sort(c.events.begin(), c.events.end(), by_start);
  }
  columns_ = std::move(columns);
}

GuideTime GuideGridModel::ShownEnd(const Cell& c) const {
  const std::vector<GuideEvent>& events = columns_[c.column].events;
  const GuideEvent& e = events[c.index];
  GuideTime end = e.End();
  if (!e.HasEnd()) {
    end = e.start + kOpenEndShown;
    if (c.index + 1 < events.size()) end = std::min(end, events[c.index + 1].start);
  }
  return std::max(end, e.start + 60);
}

std::pair<size_t, size_t> GuideGridModel::Overlapping(size_t column, GuideTime from, GuideTime to) const {
  const std::vector<GuideEvent>& events = columns_[column].events;
  // Boxes never reach further back than kOpenEndShown or a programme's own duration; the walk
  // starts at the first programme that starts at `from` and goes back while boxes still reach it.
  size_t first =
      static_cast<size_t>(std::lower_bound(events.begin(), events.end(), from,
                                           [](const GuideEvent& e, GuideTime t) { return e.start < t; }) -
                          events.begin());
  while (first > 0 && ShownEnd({column, first - 1}) > from) --first;
  size_t last = first;
  while (last < events.size() && events[last].start < to) ++last;
  return {first, last};
}

std::optional<GuideGridModel::Cell> GuideGridModel::At(size_t column, GuideTime t) const {
  if (column >= columns_.size()) return std::nullopt;
  const auto [first, last] = Overlapping(column, t, t + 1);
  for (size_t i = first; i < last; ++i) {
    if (columns_[column].events[i].start <= t && ShownEnd({column, i}) > t) return Cell{column, i};
  }
  return std::nullopt;
}

std::optional<GuideGridModel::Cell> GuideGridModel::Find(const GuideEventKey& key) const {
  for (size_t c = 0; c < columns_.size(); ++c) {
    const std::vector<GuideEvent>& events = columns_[c].events;
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].key == key) return Cell{c, i};
    }
  }
  return std::nullopt;
}

std::optional<GuideGridModel::Cell> GuideGridModel::Neighbour(const Cell& from, Move move,
                                                              GuideTime at) const {
  if (from.column >= columns_.size() || from.index >= columns_[from.column].events.size())
    return std::nullopt;
  switch (move) {
    case Move::kUp:
      if (from.index == 0) return std::nullopt;
      return Cell{from.column, from.index - 1};
    case Move::kDown:
      if (from.index + 1 >= columns_[from.column].events.size()) return std::nullopt;
      return Cell{from.column, from.index + 1};
    case Move::kLeft:
    case Move::kRight: {
      if (move == Move::kLeft && from.column == 0) return std::nullopt;
      const size_t column = move == Move::kLeft ? from.column - 1 : from.column + 1;
      if (column >= columns_.size()) return std::nullopt;
      if (const auto on_air = At(column, at)) return on_air;
      const std::vector<GuideEvent>& events = columns_[column].events;
      const auto after = std::lower_bound(events.begin(), events.end(), at,
                                          [](const GuideEvent& e, GuideTime t) { return e.start < t; });
      if (after != events.end()) return Cell{column, static_cast<size_t>(after - events.begin())};
      return Cell{column, events.size() - 1};
    }
  }
  return std::nullopt;
}

GuideTime GuideNow(uint32_t clock_date, uint32_t clock_seconds, uint32_t age_ms, GuideTime fallback) {
  if (clock_date == 0) return fallback;
  MjdTime now;
  FormatBroadcastClock(clock_date, clock_seconds, age_ms, &now);
  return GuideTime{now.date} * 86400 + now.seconds;
}

}  // namespace pelkan
