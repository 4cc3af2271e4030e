#include "app/guide_lookup.h"

#include <memory>
#include <utility>

#include "app/settings.h"

namespace pelkan {

std::optional<GuideEvent> FindInGuide(GuideStore& store, uint16_t service_id, uint16_t event_id) {
  std::vector<GuideEvent> found = store.FindByServiceEvent(service_id, event_id);
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::optional<GuideEvent> FindInGuide(uint16_t service_id, uint16_t event_id, const std::string& guide_path) {
  std::unique_ptr<GuideStore> store = GuideStore::Open(guide_path.empty() ? GuidePath() : guide_path,
                                                       GuideStore::Access::kRead, false, nullptr, nullptr);
  if (!store) return std::nullopt;
  return FindInGuide(*store, service_id, event_id);
}

void TakeOverGuideEvent(const GuideEvent& e, ScheduleItem* item) {
  item->start_day = static_cast<uint32_t>(e.start / 86400);
  item->start_second = static_cast<uint32_t>(e.start % 86400);
  item->duration = e.HasEnd() && e.duration <= kMaxRecordSeconds ? e.duration : kMaxRecordSeconds;
  SetText(item->title, e.title);
}

void TakeGuideTimes(std::vector<ScheduleItem>* items, const std::string& guide_path) {
  std::unique_ptr<GuideStore> store;
  for (ScheduleItem& item : *items) {
    if ((item.flags & SI_BY_EVENT) == 0) continue;
    if (!store) {
      store = GuideStore::Open(guide_path.empty() ? GuidePath() : guide_path, GuideStore::Access::kRead, false,
                               nullptr, nullptr);
    }
    if (!store) return;
    if (const std::optional<GuideEvent> e = FindInGuide(*store, item.service_id, item.event_id)) {
      TakeOverGuideEvent(*e, &item);
    }
  }
}

RecordingScheduler::PlannedList PlanWithGuideTimes(std::vector<ScheduleItem> items, const std::string& guide_path) {
  RecordingScheduler::PlannedList planned;
  planned.items = std::move(items);
  TakeGuideTimes(&planned.items, guide_path);
  for (const ScheduleItem& item : planned.items) planned.requests.push_back(PlanRequestOf(item));
  planned.lines = MakePlan(planned.requests);
  return planned;
}

}  // namespace pelkan
