#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "streamgen/programme_descriptors.h"
#include "streamgen/programme_schedule.h"

namespace pelkan::streamgen {

// The EIT schedule sections of one multiplex's segments (BuildScheduleSegment), kept while the
// current 3-hour window lasts and sent again as they are while the service's schedule keeps its
// version: within a window a segment changes only when an overrun is announced, which moves the
// version. A schedule with changes moves in other ways: its sections are built at every ask.
class ScheduleSectionCache {
 public:
  // The sections of `service`'s segment at `segment_start` (basic or extended) at `now`, built from
  // the service's `descriptors`.
  const std::vector<std::vector<uint8_t>>& Sections(const MultiplexInfo& mux, size_t service,
                                                    const ProgrammeSchedule& schedule,
                                                    ProgrammeDescriptors& descriptors, bool extended,
                                                    AbsTime segment_start, AbsTime now);

 private:
  struct Built {
    uint8_t version = 0;
    std::vector<std::vector<uint8_t>> sections;
  };
  // Per service, basic or extended, and segment start.
  std::map<std::tuple<size_t, bool, AbsTime>, Built> built_;
  // The section count of each table's last segment, per service, basic or extended and table
  // (0: days 0-3, 1: days 4-7), with the version it was counted at.
  std::map<std::tuple<size_t, bool, uint64_t>, std::pair<uint8_t, size_t>> last_counts_;
  uint64_t window_ = 0;
  std::vector<std::vector<uint8_t>> unkept_;
};

}  // namespace pelkan::streamgen
