#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "guide/guide_event.h"
#include "guide/guide_store.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The event in the programme guide `store` (epg.sqlite), if it is there; the latest one when
// several networks or streams have a service and event of these numbers.
std::optional<GuideEvent> FindInGuide(GuideStore& store, uint16_t service_id, uint16_t event_id);
// The same in the home's guide (or the one at `guide_path`), opened for reading; nullopt without a
// guide.
std::optional<GuideEvent> FindInGuide(uint16_t service_id, uint16_t event_id, const std::string& guide_path = "");

// The event's time and title as the scheduler takes them over when it finds the event in the
// broadcast: an open end (or one past the longest recording) records the longest recording.
void TakeOverGuideEvent(const GuideEvent& e, ScheduleItem* item);

// Each event reservation of `items` (a rule's too, stored without a time) with its event's time
// and title as the home's guide (or the one at `guide_path`) tells it; those the guide does not
// know keep theirs.
void TakeGuideTimes(std::vector<ScheduleItem>* items, const std::string& guide_path = "");

// The plan of `items` with every event reservation at the time the guide gives it (the file keeps
// none), as a recorder would make it once the events are known.
RecordingScheduler::PlannedList PlanWithGuideTimes(std::vector<ScheduleItem> items,
                                                   const std::string& guide_path = "");

}  // namespace pelkan
