#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "output/recording_report.h"
#include "output/recording_texts.h"
#include "output/recording_writer.h"
#include "ts/ts_events.h"

namespace pelkan {

// Why a recording has to stop now, as its heartbeat check finds it.
struct RecordingStop {
  enum class Kind {
    kNone,
    kWriteFailed,   // a write failed (disk full, I/O error): `error` is its errno
    kFolderGone,    // its folder can no longer be reached (removed): `error` is the query's errno
    kLowDisk,       // kLowDiskLimit bytes or less free: `free_bytes`
    kTimerReached,  // its stop timer has run out
  };
  Kind kind = Kind::kNone;
  int error = 0;
  uint64_t free_bytes = 0;
  explicit operator bool() const { return kind != Kind::kNone; }
  // How the report words this stop (kComplete for the timer).
  RecordingEnd End() const;
};

// One recording from its file's creation to its final report, whoever started it (a click, a
// reservation): the file is created by the never-overwrite rule of `ExistingFile`, the report's
// name is claimed beside it, every packet goes through the writer's checker as it reaches the
// file, the stop timer and the stop rules (a failed write, a removed folder, a nearly full disk)
// are checked at each heartbeat, and closing writes the rest of the file and composes the report.
//
// Threads: Write runs on the processing thread; everything else on the owner's thread (the UI or
// main-loop thread). The owner makes sure that Write is no longer called once Close begins (it
// hands the recording between the threads under its own lock).
class Recording {
 public:
  // Longest stop timer, in minutes (about 24.3 days): the deadline stays within the 2^31 ms that
  // the wrapping millisecond tick can compare. Longer values are cut to it.
  static constexpr int kMaxStopMinutes = 35000;
  // `minutes` cut into 0..kMaxStopMinutes (negative values are 0).
  static int ClampStopMinutes(int64_t minutes);

  // A recording that will write through `writer` (not yet open). `tick` is the millisecond tick
  // of the stop timer (platform::TickCount when empty).
  explicit Recording(std::unique_ptr<RecordingWriter> writer, std::function<uint32_t()> tick = nullptr);
  // Closes the file if it is still open (without a report).
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Creates the file at `path` (UTF-8; an existing file is treated as the writer was made to) and,
  // when the writer checks its packets, claims the report beside it with the capture's figures
  // `start`. False when the file could not be created (errno tells why).
  bool Open(const std::string& path, const CaptureSample& start);
  // The file as created (UTF-8; possibly a numbered name).
  const std::string& path() const { return path_; }

  // Processing thread: appends one packet (or any bytes) to the file.
  void Write(const uint8_t* data, uint32_t length) { writer_->Write(data, length); }
  void WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size) {
    writer_->WritePackets(data, length, packet_size);
  }
  // Processing thread, after the last packet before the tuner dropped out: the stream breaks off
  // here (the check restarts its continuity); the gap lasts until EndGap or Close. Nothing is
  // written into the file.
  void BeginGap();
  // Any thread: the tuner delivers again; nothing when no gap is open.
  void EndGap();
  // True while a gap is open. Any thread.
  bool InGap() const;

  // The stop timer: runs out `minutes` (clamped, see ClampStopMinutes) from now; 0 disarms it.
  void ArmStopTimer(int minutes);
  // Runs out `ms` from now.
  void ArmStopTimerMs(uint32_t ms);
  // "+10分": a running timer gets ten more minutes (at most kMaxStopMinutes from now); a recording
  // without a timer keeps none.
  void ExtendStopTimer();
  // The tick at which the stop timer runs out, if armed.
  std::optional<uint32_t> deadline() const { return deadline_; }

  // The heartbeat's check: a failed write, a removed folder, a nearly full disk, and (with
  // `with_timer`) the stop timer, in that order. Also samples the capture's figures `now`
  // into the report. Kind kNone while the recording may go on.
  RecordingStop Check(const CaptureSample& now, bool with_timer = true);

  // Report texts: a reservation's title and programme (UTF-8), and what the capture knows of the
  // services on air (their names and programmes) at each heartbeat.
  void SetReservation(std::string title, std::string programme);
  // Notes each of `services` with its name (`name`, UTF-8, "" when unknown) and, when `on_air`
  // finds one, the title of its programme on air (UTF-8).
  void NoteServices(std::span<const uint16_t> services, const std::function<std::string(uint16_t)>& name,
                    const std::function<std::optional<std::string>(uint16_t)>& on_air);

  // Writes the rest of the file and closes it, then composes the report (saying `how`; a failed
  // write, now or before, is said as such with its errno, `error` when the writer has none) and
  // returns its totals; nullopt when the writer keeps no check (no report). Once only.
  std::optional<RecordingSummary> Close(const CaptureSample& end, RecordingEnd how = RecordingEnd::kComplete,
                                        int error = 0);
  // True when every byte taken reached the file (false after a failed write). After Close.
  bool written() const { return written_; }
  // Writes the composed report in place of the placeholder claimed at Open; outside any lock (it
  // flushes to the disk). False when there is no report or it cannot be written.
  bool WriteReport();
  // The report being kept, for what its owner adds (a reservation's programme span and following);
  // null when the recording has none.
  RecordingReport* report() { return report_.get(); }
  // The report's file (UTF-8) until WriteReport; "" when the recording has none.
  std::string ReportPath() const { return report_ ? report_->path() : std::string(); }

  // Figures for the status texts.
  uint64_t BytesWritten() const { return writer_->BytesWritten(); }
  uint64_t FreeSpace() const { return writer_->FreeSpace(); }
  int WriteError() const { return writer_->WriteError(); }
  // Milliseconds since Open (wrapping tick).
  uint32_t ElapsedMs() const;
  // The folder of the file ("" when unknown).
  std::string Directory() const;

 private:
  std::unique_ptr<RecordingWriter> writer_;
  std::function<uint32_t()> tick_;
  std::unique_ptr<RecordingReport> report_;
  std::string path_;
  uint32_t open_tick_ = 0;
  std::optional<uint32_t> deadline_;
  // The gaps so far (their local start and end, length and file offset); handed to the report at
  // Close. Guarded by gap_mutex_: begun on the processing thread, ended on a device thread.
  struct GapNote {
    RecordingReport::Gap gap;
    uint32_t start_tick = 0;
    bool open = false;
  };
  mutable std::mutex gap_mutex_;
  std::vector<GapNote> gaps_;
  bool open_ = false;
  bool written_ = true;
};

}  // namespace pelkan
