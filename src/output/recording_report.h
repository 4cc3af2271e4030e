#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mjd_time.h"

namespace pelkan {

class FileRecorder;

// The capture's figures that a recording's report follows while the recording runs.
struct CaptureSample {
  uint32_t sync_losses = 0;       // CaptureStats::sync_losses
  uint32_t fifo_overflows = 0;    // CaptureStats::fifo_overflows ("R")
  uint32_t failed_transfers = 0;  // the device's failed USB transfers
  MjdTime broadcast_time;         // the broadcast clock now; date 0 while none is known
};

// How a recording ended.
enum class RecordingEnd {
  kComplete,      // stopped by the user, its timer or its reservation's end
  kWriteFailed,   // its file could not be written (disk full, I/O error, folder removed)
  kLowDisk,       // stopped with 200 MiB or less free on its disk
  kCaptureEnded,  // a reservation whose recording stopped with the capture, before its end
  kCutByPlan,     // a reservation whose tail another reservation took (the plan): the reason says which
  kGivenUp,       // a reservation that gave its programme up (not on air long past its start, gone)
  kTunerLost,     // the tuner dropped out and was not back before the recording's end
};

// What a front-end shows of a finished recording.
struct RecordingSummary {
  std::string report_path;  // the report (UTF-8); empty when the recording has none
  RecordingEnd end = RecordingEnd::kComplete;
  uint64_t packets = 0;
  uint64_t drop = 0;
  uint64_t error = 0;
  uint64_t scrambled = 0;
  uint64_t sync_losses = 0;
  uint64_t fifo_overflows = 0;
  uint64_t failed_transfers = 0;
  uint32_t gaps = 0;  // times the tuner was away
  // A reservation's programme lies wholly in the file: the recording passed both its start and its
  // end (false when no programme span was given).
  bool whole_programme = false;
  // kCutByPlan: what the plan took, the words after "partial: " ("started 0:01:10 late for X").
  std::string cut;
};

// The report beside a recording, NAME.ts.err: a header (file, how it ended, reservation and
// programme, start and end in local and broadcast time, duration, bytes, packets, services, the
// sync losses, FIFO overflows and failed USB transfers while it was written), the PID table of
// its check, and up to 1,000 time-stamped events. UTF-8.
//
// Its name is claimed when the recording opens (NAME.ts.err, or NAME.ts-1.err, -2, ... when that
// is taken: no other file is ever replaced) with a short text saying the recording runs, and room
// is set aside for the final text, which Write puts in place atomically when the recording has
// closed; should the disk be too full for that, it is written into the room set aside. A
// recording into something other than a regular file (a device, a pipe) gets no report.
//
// Used by the owner of the recording on one thread (the UI or main-loop thread).
class RecordingReport {
 public:
  // Begins the report of the recording just opened at `recording_path` (UTF-8, as created) with
  // the capture's figures at its start. `local_start` is the local time (0: now).
  // With `replace`, an existing report of the name (the old recording's, replaced on request) is
  // replaced too instead of the new report taking the next free name.
  RecordingReport(const std::string& recording_path, const CaptureSample& start, MjdTime local_start = {},
                  bool replace = false);
  ~RecordingReport();
  RecordingReport(const RecordingReport&) = delete;
  RecordingReport& operator=(const RecordingReport&) = delete;

  // The report's file (UTF-8); empty when the recording gets none.
  const std::string& path() const { return path_; }
  // A reservation's title and the programme recorded (UTF-8).
  void SetReservation(std::string title, std::string programme);
  // What the capture knows of a service (UTF-8): its name, and a programme on air while the
  // recording runs (noted at every heartbeat; each change of programme is kept). The header names
  // the services of the recording's PAT with what was noted of them.
  void NoteServiceName(uint16_t service_id, std::string name);
  void NoteProgramme(uint16_t service_id, std::string title);

  // Where a reservation's programme lies in the file: its own start and end (broadcast time), the
  // margins recorded around it (seconds) and the bytes written when the recording passed each
  // (nullopt until it did).
  struct ProgrammeSpan {
    MjdTime start;
    MjdTime end;  // date 0: not told
    uint16_t margin_before = 0;
    uint16_t margin_after = 0;
    std::optional<uint64_t> start_offset;
    std::optional<uint64_t> end_offset;
  };
  void SetProgrammeSpan(const ProgrammeSpan& span) { span_ = span; }
  // A decision taken while the reservation followed its programme (UTF-8), at broadcast time `at`
  // with `offset` bytes written. At most 200 are kept.
  void NoteFollow(MjdTime at, uint64_t offset, std::string text);
  // A time the tuner was away while the recording ran: from `start` to `end` (local time; `end`
  // date 0 while it lasts), `length_ms` long, the stream breaking off after `offset` bytes of the
  // file. The header sums them up; a recording that ends complete with gaps is "recovered".
  struct Gap {
    MjdTime start;
    MjdTime end;
    uint32_t length_ms = 0;
    uint64_t offset = 0;
  };
  void NoteGap(const Gap& gap);
  // The offsets of the gaps listed in a report's text (ascending as listed).
  static std::vector<uint64_t> GapOffsets(std::string_view text);
  // What the result line says after kCutByPlan, kGivenUp or kTunerLost (UTF-8).
  void SetEndReason(std::string reason) { end_reason_ = std::move(reason); }
  // The plan gave the start to another reservation (`by`, UTF-8): the recording began `seconds`
  // after its span's start. Such a recording is partial however it ends.
  void SetHeadCut(uint32_t seconds, std::string by);

  // Takes the capture's figures while the recording runs (the heartbeat), so that counters the
  // user clears meanwhile are still followed, and the broadcast clock is known at the end even
  // when the end's own sample has lost it (and at the start, counted back, when it came later).
  void Sample(const CaptureSample& now);
  // Ends the report of `recorder`, which has closed its file: composes the text (nothing is
  // written yet) and returns the totals. `error` is the errno of a failed write.
  RecordingSummary Finish(const CaptureSample& end, const FileRecorder& recorder, RecordingEnd how,
                          int error = 0, MjdTime local_end = {});
  // Writes the composed text in place of the placeholder. False when it cannot be written.
  bool Write();

  // The text of the report as composed by Finish.
  const std::string& text() const { return text_; }

 private:
  // Counts what a counter grew by between samples; a counter that went back was cleared.
  struct Growth {
    uint64_t total = 0;
    uint32_t last = 0;
    void Take(uint32_t now) {
      total += now >= last ? now - last : now;
      last = now;
    }
  };
  bool Claim(bool replace = false);

  std::string recording_path_;
  std::string path_;
  bool regular_ = false;
  bool claimed_ = false;
  CaptureSample start_;
  CaptureSample end_;
  MjdTime local_start_;
  uint32_t start_tick_ = 0;
  Growth sync_losses_, fifo_overflows_, failed_transfers_;
  std::string title_;
  std::string programme_;
  std::map<uint16_t, std::string> names_;
  std::map<uint16_t, std::vector<std::string>> programmes_;
  MjdTime last_broadcast_time_;
  std::optional<ProgrammeSpan> span_;
  struct FollowNote {
    MjdTime at;
    uint64_t offset;
    std::string text;
  };
  std::vector<FollowNote> follow_;
  std::vector<Gap> gaps_;
  std::string end_reason_;
  uint32_t head_cut_seconds_ = 0;
  std::string head_cut_by_;
  std::string text_;
};

}  // namespace pelkan
