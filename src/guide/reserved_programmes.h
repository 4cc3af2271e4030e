#pragma once

#include <vector>

#include "guide/guide_event.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// Which programmes of the guide the reservations will record, for the guide's marks: an event
// reservation marks its event (its network and stream id when it names them); a date-time
// reservation limited to one service marks that service's programmes that lie wholly in its span.
// A date-time reservation of the whole stream marks nothing, as it belongs to no one programme.
class ReservedProgrammes {
 public:
  ReservedProgrammes() = default;
  explicit ReservedProgrammes(std::vector<ScheduleItem> reservations);

  bool Contains(const GuideEvent& e) const;
  // True when both mark the same programmes (the same reservations as far as marks go).
  bool operator==(const ReservedProgrammes& other) const;

 private:
  struct Mark {
    bool by_event = false;
    GuideEventKey key;  // by event: the ids (network and stream 0 = any)
    uint16_t service_id = 0;
    GuideTime start = 0, end = 0;  // by time
    bool operator==(const Mark&) const = default;
  };
  std::vector<Mark> marks_;
};

}  // namespace pelkan
