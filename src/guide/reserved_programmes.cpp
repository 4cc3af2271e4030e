#include "guide/reserved_programmes.h"

#include <charconv>
#include <string_view>

namespace pelkan {

ReservedProgrammes::ReservedProgrammes(std::vector<ScheduleItem> reservations) {
  for (const ScheduleItem& item : reservations) {
    Mark m;
    if (item.flags & SI_BY_EVENT) {
      m.by_event = true;
      m.key = {item.network_id, item.stream_id, item.service_id, item.event_id};
    } else if ((item.flags & SI_BY_TIME) && (item.flags & SI_SERVICE_LIMIT)) {
      const std::string_view text = GetText(item.service_id_text);
      unsigned service = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), service);
      if (error != std::errc() || end != text.data() + text.size() || service > 0xFFFF) continue;
      m.service_id = static_cast<uint16_t>(service);
      m.start = ItemStart(item);
      m.end = ItemEnd(item);
    } else {
      continue;
    }
    marks_.push_back(m);
  }
}

bool ReservedProgrammes::Contains(const GuideEvent& e) const {
  for (const Mark& m : marks_) {
    if (m.by_event) {
      if (m.key.service_id == e.key.service_id && m.key.event_id == e.key.event_id &&
          (m.key.original_network_id == 0 || m.key.original_network_id == e.key.original_network_id) &&
          (m.key.transport_stream_id == 0 || m.key.transport_stream_id == e.key.transport_stream_id))
        return true;
    } else if (m.service_id == e.key.service_id && m.start <= e.start && e.HasEnd() && e.End() <= m.end) {
      return true;
    }
  }
  return false;
}

bool ReservedProgrammes::operator==(const ReservedProgrammes& other) const {
  return marks_ == other.marks_;
}

}  // namespace pelkan
