#include "schedule/event_follow.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace pelkan {

bool IsOpenEnded(const ProgrammeEvent& ev) {
  return ev.duration == kUndefinedDuration || ev.duration > kMaxRecordSeconds;
}

bool TakeOverEvent(ScheduleItem* item, const ProgrammeEvent& ev, bool with_title) {
  if (ev.kind == item->programme_kind && ev.version == item->programme_version) return false;
  item->programme_kind = ev.kind;
  item->programme_version = ev.version;
  if (with_title) SetText(item->title, std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
  item->start_day = ev.start_day;
  item->start_second = ev.start_second;
  item->duration = IsOpenEnded(ev) ? kMaxRecordSeconds : ev.duration;
  return true;
}

std::optional<uint32_t> LengthUntilNextProgramme(const ScheduleItem& item, const ProgrammeEvent& next,
                                                 MjdTime now) {
  if (next.event_id == item.event_id) return std::nullopt;
  const int64_t next_start = int64_t{next.start_day} * 86400 + next.start_second;
  if (next_start <= ItemStart(item) || next_start > Instant(now)) return std::nullopt;
  return static_cast<uint32_t>(std::min<int64_t>(next_start - ItemStart(item), kMaxRecordSeconds));
}

}  // namespace pelkan
