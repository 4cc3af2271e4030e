#include "schedule/schedule_edit_item.h"

#include <cstdio>
#include <string>

namespace pelkan {

uint32_t EditableDuration(uint32_t duration) {
  if (duration == 0xFFFFFFFFu) return kUndeterminedDurationShown;
  return duration > kLongestEditableDuration ? kLongestEditableDuration : duration;
}

std::string StartStamp(MjdTime start) {
  int y, mo, d, h, mi, s;
  MjdToDate(start.date, &y, &mo, &d);
  SecondsToHms(start.seconds, &h, &mi, &s);
  char stamp[48];
  std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d-%02d%02d", y, mo, d, h, mi);
  return stamp;
}

ScheduleItem MakeTimeReservation(std::string_view default_directory, uint16_t service_id,
                                 const MjdTime* start, uint32_t duration,
                                 std::optional<std::string_view> title, MjdTime now) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  SetText(item.directory, default_directory);
  const MjdTime at = start != nullptr ? *start : now;
  if (start != nullptr) {
    item.flags |= SI_SERVICE_LIMIT;
    SetText(item.service_id_text, std::to_string(service_id));
    item.duration = EditableDuration(duration);
  } else {
    item.duration = 1800;
  }
  item.start_day = at.date;
  item.start_second = at.seconds;
  std::string name = StartStamp(at);
  if (title) {
    item.flags |= SI_FILE_NAME;
    name += '-';
    name += *title;
  }
  SetText(item.file_name, name);
  SetText(item.extension, ".ts");
  return item;
}

ScheduleItem MakeEventReservation(std::string_view default_directory, uint16_t network_id, uint16_t stream_id,
                                  uint16_t service_id, uint16_t event_id,
                                  std::optional<std::string_view> title, MjdTime now) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  SetText(item.directory, default_directory);
  item.network_id = network_id;
  item.stream_id = stream_id;
  item.service_id = service_id;
  item.event_id = event_id;
  SetText(item.service_id_text, std::to_string(service_id));
  // An empty title would leave nothing to offer as the name if the user converts the
  // reservation and asks for a fixed file name.
  SetText(item.file_name, title && !title->empty() ? std::string(*title) : StartStamp(now));
  SetText(item.extension, ".ts");
  return item;
}

}  // namespace pelkan
