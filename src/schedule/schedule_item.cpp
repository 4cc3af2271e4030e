#include "schedule/schedule_item.h"

#include <algorithm>

#include "platform/profile.h"

namespace pelkan {
namespace {

bool IsUnresolved(const ScheduleItem& item) {
  return (item.flags & SI_BY_EVENT) != 0 && item.start_day == 0;
}

}  // namespace

bool CompareItems(const ScheduleItem& a, const ScheduleItem& b) {
  const bool ua = IsUnresolved(a);
  const bool ub = IsUnresolved(b);
  if (ua && ub) {
    if (a.service_id != b.service_id) return a.service_id < b.service_id;
    return a.event_id < b.event_id;
  }
  if (ua) return false;
  if (ub) return true;
  if (a.start_day != b.start_day) return a.start_day < b.start_day;
  return a.start_second < b.start_second;
}

bool TimeInSpan(MjdTime x, int32_t x_offset, MjdTime y, int32_t y_offset, MjdTime z, int32_t z_offset) {
  const int64_t xs = Instant(x) + x_offset;
  const int64_t ys = Instant(y) + y_offset;
  const int64_t zs = Instant(z) + z_offset;
  return std::min(xs, ys) <= zs && zs <= std::max(xs, ys);
}

bool ItemsOverlap(const ScheduleItem& a, const ScheduleItem& b) {
  // Closed spans intersect when neither lies wholly after the other.
  return ItemStart(a) <= ItemEnd(b) && ItemStart(b) <= ItemEnd(a);
}

const char* ItemProblem(const ScheduleItem& item) {
  const bool by_time = (item.flags & SI_BY_TIME) != 0;
  const bool by_event = (item.flags & SI_BY_EVENT) != 0;
  if (by_time == by_event)
    return by_time ? "both a date-time and an event reservation"
                   : "neither a date-time nor an event reservation";
  if (by_event) return nullptr;
  if (item.start_day == 0 || item.start_day > 0x7FFFFFFF) return "no start date";
  if (item.start_second >= 86400) return "a start time beyond the day";
  if (item.duration > kMaxRecordSeconds) return "a length beyond 24 hours (or negative)";
  return nullptr;
}

uint16_t ServiceIdOfText(std::string_view text) {
  return static_cast<uint16_t>(platform::ParseLeadingInt(text));
}

std::optional<uint16_t> RecordedServiceId(const ScheduleItem& item) {
  if (item.flags & SI_BY_EVENT) return item.service_id;
  if (item.flags & SI_SERVICE_LIMIT) return ServiceIdOfText(GetText(item.service_id_text));
  return std::nullopt;
}

}  // namespace pelkan
