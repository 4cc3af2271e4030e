#include "tests/support/guide_events.h"

#include "guide/guide_store.h"
#include "platform/broadcast_text.h"

namespace pelkan::test {

bool AddGuideEvent(GuideStore& guide, const GuideEventKey& key, const char* title, GuideTime start,
                   uint16_t episode, uint8_t repeat, uint32_t duration) {
  GuideEventUpdate u;
  u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
  u.basic = true;
  u.event.key = key;
  u.event.title = platform::Utf8ToBroadcast(title).value();
  u.event.start = start;
  u.event.duration = duration;
  if (episode != 0) u.event.series_id = 7;
  u.event.episode_number = episode;
  u.event.repeat_label = repeat;
  return guide.ApplyEvent(u);
}

bool WriteGuideProgramme(const std::string& path, const GuideEventKey& key, const char* title, GuideTime start,
                         uint32_t duration, const char* name, GuideTime heard_at) {
  auto store = GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, nullptr);
  return store && store->Begin() && AddGuideEvent(*store, key, title, start, 0, 0, duration) &&
         (name == nullptr ||
          store->SetServiceName(key.original_network_id, key.transport_stream_id, key.service_id,
                                platform::Utf8ToBroadcast(name).value())) &&
         store->SetServiceHeard(key.original_network_id, key.transport_stream_id, key.service_id, heard_at) &&
         store->Commit();
}

}  // namespace pelkan::test
