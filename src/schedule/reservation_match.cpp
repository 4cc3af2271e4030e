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

bool IsRecordedReservation(const ScheduleItem& active, const ScheduleItem& entry) {
  const bool by_event = (active.flags & SI_BY_EVENT) != 0;
  if (by_event != ((entry.flags & SI_BY_EVENT) != 0)) return false;
  if (by_event) {
    return active.network_id == entry.network_id && active.stream_id == entry.stream_id &&
           active.service_id == entry.service_id && active.event_id == entry.event_id;
  }
  return active.start_day == entry.start_day && active.start_second == entry.start_second;
}

}  // namespace pelkan
