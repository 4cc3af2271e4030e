#pragma once

#include <cstdint>
#include <string>

#include "guide/guide_event.h"

namespace pelkan {
class GuideStore;
}

namespace pelkan::test {

// Writes one programme of the schedule into `guide`: `title` in UTF-8, half an hour long; with an
// episode number it is of series 7, `repeat` its repeat label. False when the guide refused it.
bool AddGuideEvent(GuideStore& guide, const GuideEventKey& key, const char* title, GuideTime start,
                   uint16_t episode, uint8_t repeat, uint32_t duration = 1800);

// A guide at `path` of one service heard from at `heard_at` (named `name` in UTF-8 unless null) with
// one programme of `duration` seconds; the service's ids are `key`'s. False when it could not be written.
bool WriteGuideProgramme(const std::string& path, const GuideEventKey& key, const char* title, GuideTime start,
                         uint32_t duration, const char* name, GuideTime heard_at);

}  // namespace pelkan::test
