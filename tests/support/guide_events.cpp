#include "tests/support/guide_events.h"

#include "guide/guide_store.h"
#include "platform/broadcast_text.h"

namespace pelkan::test {

bool AddGuideEvent(GuideStore& guide, const GuideEventKey& key, const char* title, GuideTime start,
                   uint16_t episode, uint8_t repeat) {
  GuideEventUpdate u;
  u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
  u.basic = true;
  u.event.key = key;
  u.event.title = platform::Utf8ToBroadcast(title).value();
  u.event.start = start;
  u.event.duration = 1800;
  if (episode != 0) u.event.series_id = 7;
  u.event.episode_number = episode;
  u.event.repeat_label = repeat;
  return guide.ApplyEvent(u);
}

}  // namespace pelkan::test
