#pragma once

#include <cstdint>

#include "guide/guide_event.h"

namespace pelkan {
class GuideStore;
}

namespace pelkan::test {

// Writes one programme of the schedule into `guide`: `title` in UTF-8, half an hour long; with an
// episode number it is of series 7, `repeat` its repeat label. False when the guide refused it.
bool AddGuideEvent(GuideStore& guide, const GuideEventKey& key, const char* title, GuideTime start,
                   uint16_t episode, uint8_t repeat);

}  // namespace pelkan::test
