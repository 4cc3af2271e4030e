#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "guide/guide_coverage.h"
#include "guide/guide_event.h"
#include "guide/guide_reader.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_item.h"
#include "ts/event_key.h"

namespace pelkan {

class GuideStore;

// What the programme guide says of one programme.
struct ResolvedProgramme {
  bool in_guide = false;  // false: the guide lacks it ("番組表にない番組")
  // When in the guide: the programme, with its title (broadcast text with its symbols), start,
  // duration (kUndefinedDuration when undetermined) and genre.
  GuideEvent event;
  std::string service_name;  // Shift-JIS broadcast text; empty when the guide has no name for it
  bool stale = false;        // the guide's knowledge of it is old (GuideCoverage::Stale)
};

// Reads reservations by programme: each event reservation's title, service name, start and
// length, from the programme guide (epg.sqlite), whether a capture runs or not. The guide is read
// through a connection of its own (opened when first needed), or through one the program shares,
// lent for each look-up; what was read is read again whenever the file changed or was replaced.
// One object per thread.
class ProgrammeResolver {
 public:
  // Broadcast time now (JST); the machine's clock when null.
  using Clock = std::function<GuideTime()>;
  // Lends a connection to the guide: calls `use` with it, once, while no other user has it.
  using GuideLoan = std::function<void(const std::function<void(GuideReader&)>& use)>;

  // With a connection of its own to the guide at `guide_path` ("" for none).
  explicit ProgrammeResolver(std::string guide_path, Clock now = nullptr);
  // With the connection `loan` lends.
  explicit ProgrammeResolver(GuideLoan loan, Clock now = nullptr);
  ~ProgrammeResolver();
  ProgrammeResolver(const ProgrammeResolver&) = delete;
  ProgrammeResolver& operator=(const ProgrammeResolver&) = delete;

  // The programme of an event: by its four ids, or (network and stream 0, or not found so) the
  // latest of its service and event ids.
  ResolvedProgramme Find(const EventKey& key);
  ResolvedProgramme Find(uint16_t service_id, uint16_t event_id) { return Find(EventKey{0, 0, service_id, event_id}); }
  // The programme of a reservation: an event reservation's event; a date-time reservation of one
  // service the first programme of its span that the guide marks as reserved by it
  // (ReservedProgrammes), else the one on air at its start (not in_guide when none is known, and
  // for a date-time reservation of the whole stream, which has no service).
  ResolvedProgramme OfReservation(const ScheduleItem& item);
  // The guide's coverage of a service (the latest of its networks and streams); none when the
  // guide does not know it.
  std::optional<GuideCoverage> Coverage(uint16_t service_id);

  // `item` with its programme's time and title when it is an event reservation the guide knows
  // and the broadcast has not told its time yet (TakeGuideEvent); unchanged otherwise.
  ScheduleItem WithGuideTime(ScheduleItem item);
  // The scheduler's plan with the guide's times for the event reservations whose time the
  // broadcast has not told (while no capture runs, or before it found them), made again; requests
  // missing from `planned` are those of its items as listed.
  RecordingScheduler::PlannedList Resolve(RecordingScheduler::PlannedList planned);
  // The reservations that storing `candidate` (in place of the listed `original`, when given)
  // makes lose time, one text each (PlanLoserTexts), over the plan of `planned` resolved.
  std::vector<std::string> Losers(const RecordingScheduler::PlannedList& planned, const ScheduleItem& candidate,
                                  const ScheduleItem* original);

 private:
  // Runs `read` with the guide's connection lent (at once when it is lent already).
  template <typename Read>
  auto Lent(Read read) -> decltype(read());
  // Takes the lent connection's guide, noticing a change or another file; false without a guide.
  bool Ready();
  GuideTime Now() const;

  std::unique_ptr<GuideReader> own_;
  GuideLoan loan_;
  Clock now_;
  GuideReader* reader_ = nullptr;  // the connection lent, during a look-up
  GuideStore* store_ = nullptr;    // its guide, after Ready()
  uint64_t generation_ = ~uint64_t{0};
  uint64_t version_ = 0;
  std::vector<GuideService> services_;
  std::map<std::tuple<uint16_t, uint16_t, uint16_t, uint16_t>, std::optional<GuideEvent>> events_;
  std::map<std::tuple<uint16_t, GuideTime, GuideTime>, std::optional<GuideEvent>> on_air_;
};

// The programme's time and title as the scheduler takes them over when it finds the event in the
// broadcast: an open end (or one past the longest recording) records the longest recording.
void TakeGuideEvent(const GuideEvent& e, ScheduleItem* item);

// The reservation list's "番組名" (Shift-JIS broadcast text): the programme's title; for an event
// reservation the guide lacks "番組表にない番組"; for a date-time one without a programme its own
// title, if any.
std::string ProgrammeNameText(const ScheduleItem& item, const ResolvedProgramme& programme);
// The list's "サービス" (Shift-JIS broadcast text): the service's name, else its number; empty for
// a reservation of the whole stream.
std::string ServiceNameText(const ScheduleItem& item, const ResolvedProgramme& programme);

}  // namespace pelkan
