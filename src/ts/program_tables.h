#pragma once

#include <cstdint>
#include <vector>

#include "ts/section_assembler.h"
#include "ts/ts_events.h"

namespace pelkan {

// The entries of a programme association section, in section order: program_number 0 names the
// network PID, every other number a programme and its PMT PID. The entries end where the CRC_32
// begins; a trailing partial entry is ignored. `section` holds `length` bytes from table_id on.
std::vector<ProgramListEntry> ReadPatEntries(const SectionHeader& h, const uint8_t* section, uint32_t length);

// The elementary streams of a programme map section, in section order. The walk ends at the
// CRC_32, at programme descriptors that run past the section, or at an entry cut off by the end
// of the loop (that entry is dropped).
std::vector<ComponentEntry> ReadPmtComponents(const SectionHeader& h, const uint8_t* section,
                                              uint32_t length);

}  // namespace pelkan
