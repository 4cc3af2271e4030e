#include "schedule/reservation_match.h"

namespace pelkan {

bool IsSameReservation(const ScheduleItem& a, const ScheduleItem& b) {
  if ((a.flags & kItemStateClearMask) != (b.flags & kItemStateClearMask)) return false;
  if (a.network_id != b.network_id || a.stream_id != b.stream_id || a.service_id != b.service_id ||
      a.event_id != b.event_id)
    return false;
  if (!(a.flags & SI_BY_EVENT)) {
    if (a.start_day != b.start_day || a.start_second != b.start_second || a.duration != b.duration)
      return false;
  }
  return a.channel_value == b.channel_value && GetText(a.directory) == GetText(b.directory) &&
         GetText(a.file_name) == GetText(b.file_name) && GetText(a.extension) == GetText(b.extension) &&
         GetText(a.channel_string) == GetText(b.channel_string) &&
         GetText(a.service_id_text) == GetText(b.service_id_text);
}

int FindReservation(const std::vector<ScheduleItem>& list, const ScheduleItem& item) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (IsSameReservation(list[i], item)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace pelkan
