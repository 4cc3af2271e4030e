#include "guide/reserved_programmes.h"

#include <charconv>
#include <string_view>

#include "guide/guide_store.h"

namespace pelkan {

namespace {

ReservedMark MarkOfVerdict(PlanVerdict verdict) {
  switch (verdict) {
    case PlanVerdict::kPart:
      return ReservedMark::kPart;
    case PlanVerdict::kNone:
      return ReservedMark::kNotRecorded;
    case PlanVerdict::kWhole:
    case PlanVerdict::kUnknown:
      break;
  }
  return ReservedMark::kWhole;
}

// Of two marks of one programme, the one that records more of it.
ReservedMark Better(ReservedMark a, ReservedMark b) {
  const auto rank = [](ReservedMark m) {
    switch (m) {
      case ReservedMark::kWhole:
        return 3;
      case ReservedMark::kPart:
        return 2;
      case ReservedMark::kNotRecorded:
        return 1;
      case ReservedMark::kNone:
        break;
    }
    return 0;
  };
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace

ReservedProgrammes::ReservedProgrammes(std::vector<ScheduleItem> reservations, std::span<const PlanLine> plan) {
  const bool planned = plan.size() == reservations.size();
  for (size_t i = 0; i < reservations.size(); ++i) {
    const ScheduleItem& item = reservations[i];
    Mark m;
    if (planned) m.mark = MarkOfVerdict(plan[i].verdict);
    m.rule_id = item.rule_id;
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

bool ReservedProgrammes::Marks(const Mark& m, const GuideEvent& e) {
  return m.by_event
             ? m.key.service_id == e.key.service_id && m.key.event_id == e.key.event_id &&
                   (m.key.original_network_id == 0 ||
                    m.key.original_network_id == e.key.original_network_id) &&
                   (m.key.transport_stream_id == 0 || m.key.transport_stream_id == e.key.transport_stream_id)
             : m.service_id == e.key.service_id && m.start <= e.start && e.HasEnd() && e.End() <= m.end;
}

ReservedMark ReservedProgrammes::MarkOf(const GuideEvent& e) const {
  ReservedMark found = ReservedMark::kNone;
  for (const Mark& m : marks_) {
    if (Marks(m, e)) found = Better(found, m.mark);
  }
  return found;
}

bool ReservedProgrammes::ByRule(const GuideEvent& e) const {
  for (const Mark& m : marks_) {
    if (m.rule_id != 0 && Marks(m, e)) return true;
  }
  return false;
}

bool ReservedProgrammes::operator==(const ReservedProgrammes& other) const {
  return marks_ == other.marks_;
}

}  // namespace pelkan
