#include "streamgen/schedule_section_cache.h"

#include "streamgen/si_tables.h"

namespace pelkan::streamgen {

const std::vector<std::vector<uint8_t>>& ScheduleSectionCache::Sections(const MultiplexInfo& mux, size_t service,
                                                                        const ProgrammeSchedule& schedule,
                                                                        ProgrammeDescriptors& descriptors,
                                                                        bool extended, AbsTime segment_start,
                                                                        AbsTime now) {
  if (schedule.HasChanges()) {
    unkept_ = BuildScheduleSegment(mux, service, schedule, extended, segment_start, now, nullptr, &descriptors);
    return unkept_;
  }
  const uint64_t window = now / 10800;
  if (window != window_) {
    built_.clear();
    last_counts_.clear();
    window_ = window;
  }
  const uint8_t version = schedule.ScheduleVersion(now);
  const AbsTime day0 = now / 86400 * 86400;
  const uint64_t table = segment_start >= day0 ? (segment_start - day0) / 10800 / 32 : 0;
  auto& [count_version, count] = last_counts_[{service, extended, table}];
  if (count_version != version) count = 0;
  count_version = version;
  auto [it, added] = built_.try_emplace({service, extended, segment_start});
  if (added || it->second.version != version) {
    it->second = {version,
                  BuildScheduleSegment(mux, service, schedule, extended, segment_start, now, &count, &descriptors)};
  }
  return it->second.sections;
}

}  // namespace pelkan::streamgen
