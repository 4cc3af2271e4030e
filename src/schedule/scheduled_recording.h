#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "output/recording.h"
#include "schedule/recording_failure.h"
#include "schedule/schedule_item.h"
#include "ts/service_filter.h"
#include "ts/ts_events.h"

namespace pelkan {

class SchedulerHost;

// One reservation's recording on the scheduled output, from its preparation to its end: the
// reservation as followed, its own service filter, and the Recording once its file is open.
// Several run at once when their reservations share the tuner's stream. Used by the
// RecordingScheduler under its lock (Write on the processing thread, the rest on the UI thread).
struct ScheduledRecording {
  // The reservation as listed when it was prepared: what finds its list entry again.
  ScheduleItem origin{};
  // The reservation as followed (its event's time as the tables tell it now).
  ScheduleItem item{};
  // The recording, once its file is open.
  std::unique_ptr<Recording> recording;
  bool limited = false;  // has a kept-service list
  std::vector<uint16_t> kept;
  // What of the stream reaches its file: with a kept-service list, the PAT and the SDT keep only
  // those programmes and the other programmes' PMTs and elementary PIDs are dropped.
  ServiceFilter filter;
  std::optional<std::string> output_path;  // Shift-JIS; nullopt when the name was refused
  std::string opened_path;                 // UTF-8, the file actually created
  int64_t opened_at = 0;                   // when its file opened (Instant seconds)
  std::string tuning;                      // what its reservation sets the tuner to (PlanRequest)
  // Seconds of its head that the plan gives to another reservation (`head_by`, UTF-8), as last
  // seen before its file opened; 0 when none.
  int64_t head_lost = 0;
  std::string head_by;
  // Ends at the next tick: deleted by the user, or removed from the list by another process.
  bool stop_requested = false;
  // The programme's own start and end have been passed (their byte offsets noted in the report).
  bool programme_started = false;
  bool programme_ended = false;
  RecordingReport::ProgrammeSpan span;
  // Bytes handed to the file (its offset now; what reached the disk may lag a block behind).
  uint64_t bytes_taken = 0;

  // Creates the file of `entry` (the reservation as it starts) through the host's writer and
  // notes its title and the programme on air at `now` for the report. nullopt when it opened;
  // else why not (kOpenFailed, with the path or folder and the errno).
  std::optional<RecordingFailure> Open(SchedulerHost& host, const ScheduleItem& entry, MjdTime now);
  // Keeps `kept` (the reservation's service) against the programmes' `components` and the
  // stream's PAT (`pat_programs`).
  void Limit(std::vector<uint16_t> kept_services,
             const std::map<uint16_t, std::vector<ComponentEntry>>& components,
             std::span<const ProgramListEntry> pat_programs);
  // The programmes' components or the PAT changed: a limited recording drops the new set of other PIDs.
  void Refilter(const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                std::span<const ProgramListEntry> pat_programs);
  // Processing thread: one packet of the scheduled output into the file, through its filter.
  // `pat_programs` is the stream's PAT, for the rewritten PAT of a limited recording.
  void Write(const uint8_t* data, uint32_t length, std::span<const ProgramListEntry> pat_programs);
  // Notes in the report where the programme (`programme_start`, `programme_end` Instant seconds,
  // the end 0 when not told) lies against `now`, with the bytes written.
  void NoteProgramme(int64_t programme_start, int64_t programme_end, int64_t now);
  // A following decision for the report.
  void NoteFollow(int64_t now, const std::string& text);
  // A failed write, a removed folder or a nearly full disk found by the heartbeat's check; nullopt
  // while it may go on.
  std::optional<RecordingFailure> CheckStop(SchedulerHost& host);
  // Closes the file, saying `how` (`failure`'s errno when given); a failed write of the rest makes
  // `*failure` when there is none. Returns the report's totals. The closed recording, whose report
  // is still to be written, is handed to `*closed`.
  std::optional<RecordingSummary> Close(SchedulerHost& host, RecordingEnd how, std::optional<RecordingFailure>* failure,
                                        std::vector<std::unique_ptr<Recording>>* closed);
};

}  // namespace pelkan
