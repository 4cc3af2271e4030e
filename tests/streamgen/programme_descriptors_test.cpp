// The programmes' descriptors are built once and kept while the stream goes on: the sections made
// from them are those made afresh at every moment, across windows, days and changes shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "streamgen/programme_descriptors.h"
#include "streamgen/programme_schedule.h"
#include "streamgen/si_tables.h"

namespace pelkan::streamgen {
namespace {

TEST(ProgrammeDescriptors, KeptBytesMakeTheSectionsMadeAfresh) {
  struct Case {
    const char* what;
    size_t service;  // its index in the multiplex: 0 has the series
    uint32_t slot;
    std::vector<ProgrammeChange> changes;
  };
  const Case cases[] = {
      {"overruns and open ends", 1, 3600, {}},
      {"series", 0, 1800, {}},
      {"a change shown on the way", 2, 900, {{ProgrammeChangeKind::kExtend, 1032, 0, 1200}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const GeneratorOptions o;
    const BroadcastGenerator g(o);
    const MultiplexInfo& mux = g.Multiplex(0);
    const ServiceInfo& service = mux.services[c.service];
    const AbsTime start = ToAbs(o.start_time);
    std::vector<ProgrammeChange> changes = c.changes;
    // The change is named by the event two programmes after the start.
    for (ProgrammeChange& change : changes) {
      const ProgrammeSchedule plain(o.seed, service.service_id, c.slot, true);
      change.event_id = plain.AnnouncedTiming(plain.IndexAt(start) + 2, start, false).event_id;
    }
    const ProgrammeSchedule schedule(o.seed, service.service_id, c.slot, true, changes, start, c.service == 0);
    ProgrammeDescriptors kept;
    // Every 13 minutes over a day and a half: windows, a day and the overruns and the change shown
    // on the way.
    for (AbsTime now = start; now < start + 36 * 3600; now += 780) {
      SCOPED_TRACE(now - start);
      ASSERT_EQ(BuildPresentFollowing(mux, c.service, schedule, now, &kept),
                BuildPresentFollowing(mux, c.service, schedule, now));
      for (const AbsTime segment : {now / 10800 * 10800, now / 10800 * 10800 + 3 * 86400}) {
        for (const bool extended : {false, true}) {
          ASSERT_EQ(BuildScheduleSegment(mux, c.service, schedule, extended, segment, now, nullptr, &kept),
                    BuildScheduleSegment(mux, c.service, schedule, extended, segment, now));
        }
      }
    }
  }
}

}  // namespace
}  // namespace pelkan::streamgen
