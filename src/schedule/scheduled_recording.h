#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "output/recording.h"
#include "schedule/recording_failure.h"
#include "schedule/schedule_item.h"

namespace pelkan {

class SchedulerHost;

// One reservation's recording on the scheduled output, from its preparation to its end: the
// reservation as followed, the output's service filter, and the Recording once its file is open.
// Used by the RecordingScheduler under its lock (Write on the processing thread, the rest on the
// UI thread).
struct ScheduledRecording {
  ScheduleItem item{};
  // When its file opens (the reservation's start less the open-ahead).
  MjdTime recording_start;
  // The recording, once its file is open.
  std::unique_ptr<Recording> recording;
  bool limited = false;  // has a kept-service list
  std::vector<uint16_t> kept;
  std::vector<uint16_t> excluded;
  std::optional<std::string> output_path;  // Shift-JIS; nullopt when the name was refused
  std::string opened_path;                 // UTF-8, the file actually created
  // The followed event's length is undetermined: it ends when the next programme starts.
  bool open_end = false;
  // The first packet after the file opened may have been routed with the filter of before.
  bool first_packet = true;

  // Creates the file of `entry` (the reservation as it starts) through the host's writer and
  // notes its title and the programme on air at `now` for the report. nullopt when it opened;
  // else why not (kOpenFailed, with the path or folder and the errno).
  std::optional<RecordingFailure> Open(SchedulerHost& host, const ScheduleItem& entry, MjdTime now);
  // Processing thread: one packet of the scheduled output into the file.
  void Write(const uint8_t* data, uint32_t length);
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
