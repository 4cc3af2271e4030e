#include "guide/programme_resolver.h"

#include <algorithm>
#include <utility>

#include "guide/guide_store.h"
#include "guide/reserved_programmes.h"
#include "platform/text_codec.h"
#include "schedule/plan_losers.h"
#include "schedule/reservation_match.h"

namespace pelkan {

ProgrammeResolver::ProgrammeResolver(std::string guide_path, Clock now)
    : own_(std::make_unique<GuideReader>(std::move(guide_path))),
      loan_([reader = own_.get()](const std::function<void(GuideReader&)>& use) { use(*reader); }),
      now_(std::move(now)) {}

ProgrammeResolver::ProgrammeResolver(GuideLoan loan, Clock now) : loan_(std::move(loan)), now_(std::move(now)) {}

ProgrammeResolver::~ProgrammeResolver() = default;

GuideTime ProgrammeResolver::Now() const {
  return now_ ? now_() : ToGuideTime(JapanTimeNow());
}

template <typename Read>
auto ProgrammeResolver::Lent(Read read) -> decltype(read()) {
  if (reader_ != nullptr) return read();
  std::optional<decltype(read())> out;
  loan_([&](GuideReader& reader) {
    reader_ = &reader;
    struct Return {
      ProgrammeResolver* self;
      ~Return() {
        self->reader_ = nullptr;
        self->store_ = nullptr;
      }
    } give_back{this};
    out = read();
  });
  // Nothing lent: read as without a guide.
  if (!out) out = read();
  return std::move(*out);
}

bool ProgrammeResolver::Ready() {
  store_ = reader_ != nullptr ? reader_->Store() : nullptr;
  if (store_ == nullptr) {
    services_.clear();
    generation_ = ~uint64_t{0};
    return false;
  }
  // Another file, or the same one changed by another connection: read anew.
  const uint64_t version = store_->DataVersion();
  if (reader_->Generation() != generation_ || version != version_) {
    generation_ = reader_->Generation();
    version_ = version;
    events_.clear();
    on_air_.clear();
    services_ = store_->Services();
  }
  if (store_->LastErrorCode() != 0) {
    // A file replaced under the reader: opened again at the next look-up.
    reader_->Forget();
    store_ = nullptr;
    services_.clear();
    generation_ = ~uint64_t{0};
    return false;
  }
  return true;
}

std::optional<GuideCoverage> ProgrammeResolver::Coverage(uint16_t service_id) {
  return Lent([&]() -> std::optional<GuideCoverage> {
    if (!Ready()) return std::nullopt;
    return ServiceCoverage(services_, service_id);
  });
}

namespace {

// The service's name: of the programme's own network and stream when the guide has it, else of
// any with the service id.
std::string NameOf(const std::vector<GuideService>& services, const EventKey& key) {
  std::string any;
  for (const GuideService& s : services) {
    if (s.service_id != key.service_id || s.name.empty()) continue;
    if (s.original_network_id == key.original_network_id && s.transport_stream_id == key.transport_stream_id)
      return s.name;
    if (any.empty()) any = s.name;
  }
  return any;
}

}  // namespace

ResolvedProgramme ProgrammeResolver::Find(const EventKey& key) {
  return Lent([&]() -> ResolvedProgramme {
    ResolvedProgramme out;
    if (!Ready()) return out;
    const auto id = std::make_tuple(key.original_network_id, key.transport_stream_id, key.service_id, key.event_id);
    auto cached = events_.find(id);
    if (cached == events_.end()) {
      std::optional<GuideEvent> e;
      if (key.original_network_id != 0 || key.transport_stream_id != 0) e = store_->Find(key);
      if (!e) {
        std::vector<GuideEvent> found = store_->FindByServiceEvent(key.service_id, key.event_id);
        if (!found.empty()) e = std::move(found.front());
      }
      cached = events_.emplace(id, std::move(e)).first;
    }
    out.in_guide = cached->second.has_value();
    out.event = out.in_guide ? *cached->second : GuideEvent{};
    out.service_name = NameOf(services_, out.in_guide ? out.event.key : key);
    const std::optional<GuideCoverage> coverage = Coverage(key.service_id);
    const GuideTime now = Now();
    if (coverage) out.stale = out.in_guide ? coverage->Stale(out.event.start, now) : coverage->Silent(now);
    return out;
  });
}

ResolvedProgramme ProgrammeResolver::OfReservation(const ScheduleItem& item) {
  return Lent([&]() -> ResolvedProgramme {
    if (item.flags & SI_BY_EVENT)
      return Find(EventKey{item.network_id, item.stream_id, item.service_id, item.event_id});
    ResolvedProgramme out;
    const std::optional<uint16_t> service = RecordedServiceId(item);
    if (!service || !HasStart(item) || !Ready()) return out;
    const GuideTime start = ItemStart(item);
    const GuideTime end = ItemEnd(item);
    auto cached = on_air_.find({*service, start, end});
    if (cached == on_air_.end()) {
      // The first programme of its span that the guide marks as reserved by it, else the one of
      // its service on air at its start.
      std::optional<GuideEvent> first, on_air;
      const ReservedProgrammes marked({item});
      for (GuideEvent& e : store_->Events(start, std::max(end, start + 1), true)) {
        if (marked.Contains(e)) {
          first = std::move(e);
          break;
        }
        if (!on_air && e.key.service_id == *service && e.start <= start && (!e.HasEnd() || start < e.End()))
          on_air = e;
      }
      cached = on_air_.emplace(std::make_tuple(*service, start, end), first ? std::move(first) : std::move(on_air)).first;
    }
    out.in_guide = cached->second.has_value();
    if (out.in_guide) out.event = *cached->second;
    out.service_name = NameOf(services_, out.in_guide ? out.event.key : EventKey{0, 0, *service, 0});
    const std::optional<GuideCoverage> coverage = Coverage(*service);
    out.stale = coverage && coverage->Stale(start, Now());
    return out;
  });
}

ScheduleItem ProgrammeResolver::WithGuideTime(ScheduleItem item) {
  return Lent([&]() -> ScheduleItem {
    if (!(item.flags & SI_BY_EVENT)) return item;
    if (HasStart(item) && !GetText(item.title).empty()) return item;
    const ResolvedProgramme p = Find(EventKey{item.network_id, item.stream_id, item.service_id, item.event_id});
    if (!p.in_guide) return item;
    if (HasStart(item)) {
      // Followed in the broadcast already: only the title, which the file does not keep.
      SetText(item.title, p.event.title);
    } else {
      TakeGuideEvent(p.event, &item);
    }
    return item;
  });
}

RecordingScheduler::PlannedList ProgrammeResolver::Resolve(RecordingScheduler::PlannedList planned) {
  return Lent([&]() -> RecordingScheduler::PlannedList {
    planned.requests.resize(planned.items.size());
    for (size_t i = 0; i < planned.items.size(); ++i) {
      ScheduleItem& item = planned.items[i];
      item = WithGuideTime(item);
      if (!planned.requests[i].known && HasStart(item)) planned.requests[i] = PlanRequestOf(item);
    }
    planned.lines = MakePlan(planned.requests);
    return planned;
  });
}

std::vector<std::string> ProgrammeResolver::Losers(const RecordingScheduler::PlannedList& planned,
                                                   const ScheduleItem& candidate, const ScheduleItem* original) {
  return Lent([&]() -> std::vector<std::string> {
    RecordingScheduler::PlannedList list = Resolve(planned);
    const ScheduleItem item = WithGuideTime(candidate);
    PlanRequest before;
    int index = original != nullptr ? FindReservation(list.items, *original) : -1;
    if (index >= 0 && static_cast<size_t>(index) < list.requests.size()) {
      before = list.requests[static_cast<size_t>(index)];
    } else {
      index = static_cast<int>(list.items.size());
      list.items.push_back(item);
      list.requests.push_back(PlanRequest{});
    }
    list.items[static_cast<size_t>(index)] = item;
    list.requests[static_cast<size_t>(index)] = PlanRequestOf(item);
    return PlanLoserTexts(list.items, list.requests, static_cast<size_t>(index), before);
  });
}

void TakeGuideEvent(const GuideEvent& e, ScheduleItem* item) {
  item->start_day = static_cast<uint32_t>(e.start / 86400);
  item->start_second = static_cast<uint32_t>(e.start % 86400);
  item->duration = e.HasEnd() && e.duration <= kMaxRecordSeconds ? e.duration : kMaxRecordSeconds;
  SetText(item->title, e.title);
}

std::string ProgrammeNameText(const ScheduleItem& item, const ResolvedProgramme& programme) {
  if (programme.in_guide) return programme.event.title;
  if (item.flags & SI_BY_EVENT) return platform::Sjis("番組表にない番組");
  return std::string(GetText(item.title));
}

std::string ServiceNameText(const ScheduleItem& item, const ResolvedProgramme& programme) {
  if (!programme.service_name.empty()) return programme.service_name;
  const std::optional<uint16_t> service = RecordedServiceId(item);
  return service ? std::to_string(*service) : std::string();
}

}  // namespace pelkan
