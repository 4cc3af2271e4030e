#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "guide/guide_event.h"
#include "schedule/recording_plan.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// How the reservations will record a programme of the guide.
enum class ReservedMark {
  kNone,         // not reserved
  kWhole,        // reserved, recorded whole (or its time is not known yet)
  kPart,         // reserved, but another reservation takes the tuner for part of it
  kNotRecorded,  // reserved, but another reservation takes the tuner for all of it
};

// Which programmes of the guide the reservations will record, for the guide's marks: an event
// reservation marks its event (its network and stream id when it names them); a date-time
// reservation limited to one service marks that service's programmes that lie wholly in its span.
// A date-time reservation of the whole stream marks nothing, as it belongs to no one programme.
class ReservedProgrammes {
 public:
  ReservedProgrammes() = default;
  // `plan` has one line per reservation (RecordingScheduler::Plan); without it (or with another
  // count of lines) every reserved programme is marked as recorded whole.
  explicit ReservedProgrammes(std::vector<ScheduleItem> reservations, std::span<const PlanLine> plan = {});

  // The mark of `e`; of several reservations of it, the one that records the most of it counts.
  ReservedMark MarkOf(const GuideEvent& e) const;
  bool Contains(const GuideEvent& e) const { return MarkOf(e) != ReservedMark::kNone; }
  // True when an automatic reservation rule made a reservation of `e` (the grid frames it its own way).
  bool ByRule(const GuideEvent& e) const;
  // True when both mark the same programmes the same way.
  bool operator==(const ReservedProgrammes& other) const;

 private:
  struct Mark {
    bool by_event = false;
    GuideEventKey key;  // by event: the ids (network and stream 0 = any)
    uint16_t service_id = 0;
    GuideTime start = 0, end = 0;  // by time
    ReservedMark mark = ReservedMark::kWhole;
    uint32_t rule_id = 0;  // the rule that made it; 0 by hand
    bool operator==(const Mark&) const = default;
  };
  static bool Marks(const Mark& m, const GuideEvent& e);

  std::vector<Mark> marks_;
};

}  // namespace pelkan
