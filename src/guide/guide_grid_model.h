#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "guide/guide_event.h"

namespace pelkan {

// The programme guide as the grid shows it: one column per service, each with its programmes in
// start order, and the rules of the grid that do not depend on a toolkit: where a programme box
// ends, which programmes a stretch of time shows, and where the keyboard moves the selection.
// Not thread-safe; the window's thread owns it.
class GuideGridModel {
 public:
  // Days the grid offers, from midnight of the current day.
  static constexpr int kDays = 8;
  // How long a programme of undetermined length is drawn when no programme follows it.
  static constexpr GuideTime kOpenEndShown = 3600;

  struct Column {
    GuideService service;
    std::vector<GuideEvent> events;  // by start
  };
  // A programme of the grid: column and index in it.
  struct Cell {
    size_t column = 0;
    size_t index = 0;
    bool operator==(const Cell&) const = default;
  };
  enum class Move { kUp, kDown, kLeft, kRight };

  // Replaces the contents: a column for every service that has a programme (in the order of
  // `services`, then any other service the events name), each with its programmes by start.
  void Load(const std::vector<GuideService>& services, std::vector<GuideEvent> events);

  const std::vector<Column>& columns() const { return columns_; }
  bool empty() const { return columns_.empty(); }
  const GuideEvent& event(const Cell& c) const { return columns_[c.column].events[c.index]; }

  // Where the box of a programme ends: its end, or for an undetermined end the start of the next
  // programme of its service (kOpenEndShown at most), never before its start plus one minute.
  GuideTime ShownEnd(const Cell& c) const;
  // The index range [first, last) of the programmes of `column` whose boxes overlap [from, to).
  std::pair<size_t, size_t> Overlapping(size_t column, GuideTime from, GuideTime to) const;
  // The programme of `column` whose box covers `t`, if any.
  std::optional<Cell> At(size_t column, GuideTime t) const;
  // The programme with these ids, if it is shown.
  std::optional<Cell> Find(const GuideEventKey& key) const;
  // The programme the selection moves to from `from`: the previous or next programme of the same
  // service, or in the service to the left or right the programme on air at `at` (the time the
  // user is looking at), else the nearest one after it, else the last one before it. nullopt at
  // the edge.
  std::optional<Cell> Neighbour(const Cell& from, Move move, GuideTime at) const;

 private:
  std::vector<Column> columns_;
};

// The time the guide takes as now: the broadcast clock (date, seconds of the day, the table's age
// as the status display advances it) while one is known, else `fallback` (Japan time now).
GuideTime GuideNow(uint32_t clock_date, uint32_t clock_seconds, uint32_t age_ms, GuideTime fallback);

}  // namespace pelkan
