#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/mjd_time.h"
#include "output/recording_report.h"
#include "output/recording_writer.h"
#include "schedule/recording_failure.h"
#include "schedule/schedule_item.h"
#include "ts/event_store.h"
#include "ts/ts_events.h"

namespace pelkan {

// A finished reservation with the totals of its recording (none when nothing was recorded).
struct FinishedRecording {
  ScheduleItem item{};
  std::optional<RecordingSummary> summary;
  // Why it did not record whole (UTF-8, English): cut short for another reservation, given up,
  // not recorded in its time, gone from the tables; empty when it ended as planned.
  std::string why;
  // Its recording could not start (its file could not be created): failed rather than missed.
  bool could_not_start = false;
};

// What the scheduler needs from the application around it. The desktop program implements it
// over its windows and the capture application, the command-line tool over its terminal and main
// loop, tests with fakes.
class SchedulerHost {
 public:
  virtual ~SchedulerHost() = default;

  // Looks a programme event up in the processor's event store (the store knows it by service id
  // and event id). Fills `out` and returns true when found. Called with the scheduler lock held
  // on the UI thread.
  virtual bool LookupProgramme(uint16_t network_id, uint16_t stream_id, uint16_t service_id,
                               uint16_t event_id, ProgrammeEvent* out) = 0;
  // The programme of `service_id` in effect at `t` (the event store's FindEventAt); false when none
  // is known. Called with the scheduler lock held on the UI thread. Default: none.
  virtual bool LookupProgrammeAt(uint16_t /*service_id*/, MjdTime /*t*/, ProgrammeEvent* /*out*/) {
    return false;
  }
  // What the present/following table says of `service_id` now (EventStore::FindPresentFollowing).
  // Called with the scheduler lock held on the UI thread. Default: nothing known.
  virtual EventStore::PresentFollowing LookupPresentFollowing(uint16_t /*service_id*/) { return {}; }
  // A reservation has ended at its time and left the list: recorded (with its totals), cut short,
  // failed, not recorded at all (missed) or gone from the tables. UI thread, without the lock.
  virtual void OnReservationEnded(const FinishedRecording& /*ended*/) {}
  // A scheduled recording was stopped before its end because its file could not be written or its
  // volume is nearly full, or could not start because its file could not be created; its
  // reservation has ended as ST_ERROR. UI thread, without the lock.
  virtual void OnRecordingFailed(const RecordingFailure& /*failure*/) {}
  // The reservation file `path` held no reservations list (no [Pelkan_Schedule] section: another
  // program's file, a binary) and has been moved aside to `kept_as` before a list was written in
  // its place; `kept_as` is "" when it could not be moved (the file is then left alone and not
  // written; told once). UTF-8 paths. UI thread, without the lock.
  virtual void OnScheduleFileKeptAside(const std::string& /*path*/, const std::string& /*kept_as*/) {}
  // Runs `work` later on the UI thread. Safe from any thread.
  virtual void Post(std::function<void()> work) = 0;
  // Asks the user whether a reservation that overlaps another is to be stored anyway; true = yes.
  // Called on the UI thread without the scheduler lock, so packets keep flowing meanwhile.
  virtual bool ConfirmOverlap() = 0;
  // The reservation or finished list changed; runs on the UI thread through Post.
  virtual void OnScheduleChanged() {}
  // After every tick: `why` (UTF-8) names the reservation being prepared or recorded, or else one
  // that starts within RecordingScheduler::kAwakeAheadSeconds (its programme title, or its file);
  // empty when there is none. The computer is to stay awake while it is not empty. UI thread,
  // without the lock.
  virtual void KeepAwake(const std::string& /*why*/) {}
  // Capture-device capabilities (bit 0: channel selection, bit 1: string sending) and the two
  // operations, used when a reservation is prepared. Results are not checked.
  virtual uint32_t DeviceCapabilities() { return 0; }
  virtual void SetChannel(uint8_t /*channel*/) {}
  virtual void SendString(std::string_view /*text*/) {}
  // A new, unopened writer for the file of a scheduled recording. Default: BlockFileWriter with
  // blocks of 0x100000 bytes.
  virtual std::unique_ptr<RecordingWriter> CreateWriter();
  // The capture's figures for a recording's report (RecordingReport), and the name of a service
  // (Shift-JIS, "" when unknown). Called with the scheduler lock held on the UI thread.
  virtual CaptureSample SampleCapture() { return CaptureSample{}; }
  virtual std::string ServiceName(uint16_t /*service_id*/) { return std::string(); }
};

}  // namespace pelkan
