#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "streamgen/programme_schedule.h"

namespace pelkan::streamgen {

// The descriptors of one service's programmes as its EIT entries carry them, built once per
// programme and kept: a programme's texts depend on nothing but the programme, so every section
// that lists it (present/following, schedule, every window and version) copies the same bytes.
// What lies more than ten days behind the latest programme asked for is forgotten.
class ProgrammeDescriptors {
 public:
  // The basic descriptors (short_event, component, audio_component, content and series) and the
  // extended_event descriptors of the programme's items; `both` is the one after the other.
  struct Loops {
    std::span<const uint8_t> basic;
    std::span<const uint8_t> extended;
    std::span<const uint8_t> both;
  };

  // Those of programme `k` of `schedule` (always the same service's), valid until the next call.
  Loops Of(const ProgrammeSchedule& schedule, uint64_t k);

  // Those of `p` into `out` (emptied first); returns the length of the basic ones.
  static size_t Build(const ProgrammeInfo& p, std::vector<uint8_t>& out);

 private:
  struct Kept {
    std::vector<uint8_t> bytes;
    size_t basic_length = 0;
  };
  std::map<uint64_t, Kept> kept_;
};

}  // namespace pelkan::streamgen
