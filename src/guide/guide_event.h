#pragma once

#include <cstdint>
#include <string>

#include "base/mjd_time.h"
#include "ts/event_key.h"
#include "ts/ts_events.h"

namespace pelkan {

// Broadcast time as the guide keeps it: Modified Julian Date * 86400 + second of the day, in the
// broadcast's own time (JST).
using GuideTime = int64_t;

constexpr GuideTime ToGuideTime(MjdTime t) {
  return GuideTime{t.date} * 86400 + t.seconds;
}

// The ids that name a programme event for good, as the event information tables give them.
using GuideEventKey = EventKey;

// A programme of the guide. Texts are Shift-JIS as the broadcast-text decoder makes them.
struct GuideEvent {
  GuideEventKey key;
  GuideTime start = 0;
  uint32_t duration = kUndefinedDuration;  // seconds; kUndefinedDuration when undetermined
  std::string title;
  std::string description;
  // The extended description: each item as its heading and text on two lines, the items
  // separated by an empty line.
  std::string extended;
  int genre = -1;  // content_nibble_level_1 << 4 | content_nibble_level_2 of the first genre; -1 none
  uint8_t video_component_type = 0;
  uint8_t audio_component_type = 0;
  // The series descriptor's place of the event: series_id (-1 when the broadcaster sends none),
  // episode_number (0 not numbered) and repeat_label (0 first broadcast).
  int32_t series_id = -1;
  uint16_t episode_number = 0;
  uint8_t repeat_label = 0;
  bool free_ca_mode = false;  // true when the event is scrambled (pay)

  bool HasEnd() const { return duration != kUndefinedDuration; }
  GuideTime End() const { return start + (HasEnd() ? duration : 0); }
};

// What one entry of an event information section says about an event, and in which table.
struct GuideEventUpdate {
  GuideEvent event;
  uint8_t kind = EVENT_KIND_NONE;  // EVENT_KIND_PF_ACTUAL or EVENT_KIND_SCHEDULE_ACTUAL
  uint8_t version = 0;             // version_number of the section
  bool basic = false;              // start, title, description, genre and components are given
  bool extended = false;           // the extended description is given
};

// A service of the guide.
struct GuideService {
  uint16_t original_network_id = 0;
  uint16_t transport_stream_id = 0;
  uint16_t service_id = 0;
  std::string name;            // Shift-JIS; empty until the service description arrives
  GuideTime complete_at = -1;  // broadcast time its schedule was last complete; -1 never
  GuideTime heard_at = -1;     // broadcast time its programmes were last received; -1 never
  GuideTime known_until = -1;  // the latest end (or undetermined start) of its programmes; -1 none
};

}  // namespace pelkan
