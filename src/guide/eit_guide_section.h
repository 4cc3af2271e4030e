#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "guide/guide_event.h"
#include "ts/tables/eit_section.h"

namespace pelkan {

// An event information section of the actual stream as the programme guide reads it: the header
// with the segment and table layout, and what each entry says about its event.
struct EitGuideSection {
  EitSection::Header header;
  std::vector<GuideEventUpdate> events;
};

// The guide's view of a whole EIT section (header to CRC_32, the CRC already checked) of table
// 0x4E or 0x50-0x5F, read by EitSection. Texts are decoded into Shift-JIS without a length limit;
// the extended_event descriptors of an entry are joined before their bytes are decoded (see
// EitSection::Event::JoinedExtendedEvents). An entry without a start time is left out. nullopt for
// another table or a header that does not fit. Pure function, safe from any thread.
std::optional<EitGuideSection> ParseEitGuideSection(const uint8_t* section, size_t length);

}  // namespace pelkan
