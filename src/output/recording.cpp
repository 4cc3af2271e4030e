#include "output/recording.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "output/file_recorder.h"
#include "platform/clock.h"

namespace pelkan {

namespace {

constexpr uint32_t kTenMinutesMs = 600000;
constexpr uint32_t kMaxStopMs = static_cast<uint32_t>(Recording::kMaxStopMinutes) * 60000u;

}  // namespace

RecordingEnd RecordingStop::End() const {
  switch (kind) {
    case Kind::kWriteFailed:
    case Kind::kFolderGone:
      return RecordingEnd::kWriteFailed;
    case Kind::kLowDisk:
      return RecordingEnd::kLowDisk;
    case Kind::kNone:
    case Kind::kTimerReached:
      break;
  }
  return RecordingEnd::kComplete;
}

int Recording::ClampStopMinutes(int64_t minutes) {
  return static_cast<int>(std::clamp<int64_t>(minutes, 0, kMaxStopMinutes));
}

Recording::Recording(std::unique_ptr<RecordingWriter> writer, std::function<uint32_t()> tick)
    : writer_(std::move(writer)), tick_(tick ? std::move(tick) : std::function<uint32_t()>(&platform::TickCount)) {}

Recording::~Recording() {
  if (open_) writer_->Finish();
}

bool Recording::Open(const std::string& path, const CaptureSample& start) {
  if (open_ || writer_ == nullptr) {
    errno = EBUSY;
    return false;
  }
  errno = 0;
  if (!writer_->Open(path)) {
    if (errno == 0) errno = EIO;
    return false;
  }
  open_ = true;
  open_tick_ = tick_();
  path_ = writer_->OpenedPath().empty() ? path : writer_->OpenedPath();
  // A recording that replaced its file on request replaces that file's old report too.
  if (writer_->Recorder() != nullptr) {
    report_ = std::make_unique<RecordingReport>(path_, start, MjdTime{}, writer_->Existing() == ExistingFile::kReplace);
  }
  return true;
}

void Recording::ArmStopTimer(int minutes) {
  const int clamped = ClampStopMinutes(minutes);
  if (clamped == 0) {
    deadline_.reset();
    return;
  }
  ArmStopTimerMs(static_cast<uint32_t>(clamped) * 60000u);
}

void Recording::ArmStopTimerMs(uint32_t ms) {
  deadline_ = tick_() + ms;
}

void Recording::ExtendStopTimer() {
  if (!deadline_) return;
  const uint32_t now = tick_();
  const uint32_t left = platform::TickReached(now, *deadline_) ? 0 : *deadline_ - now;
  deadline_ = now + std::min(left + kTenMinutesMs, std::max(left, kMaxStopMs));
}

RecordingStop Recording::Check(const CaptureSample& now, bool with_timer) {
  RecordingStop stop;
  if (report_) report_->Sample(now);
  if (!open_) return stop;
  stop.free_bytes = writer_->FreeSpace();
  // A folder that cannot be reached has no free space to tell: only then is it asked again why.
  const int folder_error = stop.free_bytes == 0 ? writer_->FolderError() : 0;
  if (writer_->WriteError() != 0) {
    // Disk full, I/O error: nothing more reaches the file.
    stop.kind = RecordingStop::Kind::kWriteFailed;
    stop.error = writer_->WriteError();
  } else if (folder_error != 0) {
    // The folder was removed (or can no longer be reached): no full disk, but the file is lost to
    // the user all the same.
    stop.kind = RecordingStop::Kind::kFolderGone;
    stop.error = folder_error;
  } else if (stop.free_bytes <= kLowDiskLimit) {
    stop.kind = RecordingStop::Kind::kLowDisk;
  } else if (with_timer && deadline_ && platform::TickReached(tick_(), *deadline_)) {
    stop.kind = RecordingStop::Kind::kTimerReached;
  }
  return stop;
}

void Recording::SetReservation(std::string title, std::string programme) {
  if (report_) report_->SetReservation(std::move(title), std::move(programme));
}

void Recording::NoteServices(std::span<const uint16_t> services, const std::function<std::string(uint16_t)>& name,
                             const std::function<std::optional<std::string>(uint16_t)>& on_air) {
  if (!report_) return;
  for (const uint16_t service : services) {
    report_->NoteServiceName(service, name(service));
    if (std::optional<std::string> title = on_air(service)) report_->NoteProgramme(service, std::move(*title));
  }
}

void Recording::BeginGap() {
  const uint64_t offset = writer_->MarkGap();
  std::lock_guard lock(gap_mutex_);
  if (!gaps_.empty() && gaps_.back().open) return;
  GapNote note;
  note.gap.start = UnpackMjdTime(LocalMjdTime());
  note.gap.offset = offset;
  note.start_tick = tick_();
  note.open = true;
  gaps_.push_back(note);
}

void Recording::EndGap() {
  std::lock_guard lock(gap_mutex_);
  if (gaps_.empty() || !gaps_.back().open) return;
  GapNote& note = gaps_.back();
  note.open = false;
  note.gap.end = UnpackMjdTime(LocalMjdTime());
  note.gap.length_ms = tick_() - note.start_tick;
}

bool Recording::InGap() const {
  std::lock_guard lock(gap_mutex_);
  return !gaps_.empty() && gaps_.back().open;
}

std::optional<RecordingSummary> Recording::Close(const CaptureSample& end, RecordingEnd how, int error) {
  if (!open_) return std::nullopt;
  open_ = false;
  deadline_.reset();
  {
    // A gap still open when the recording ends lasts until its end.
    std::lock_guard lock(gap_mutex_);
    for (GapNote& note : gaps_) {
      if (note.open) note.gap.length_ms = tick_() - note.start_tick;
      if (report_) report_->NoteGap(note.gap);
    }
  }
  // Closing writes the buffered tail; a failure there spoils the recording as well.
  written_ = writer_->Finish();
  int write_error = writer_->WriteError() != 0 ? writer_->WriteError() : error;
  if (!written_ && write_error == 0) write_error = EIO;
  if (write_error != 0) how = RecordingEnd::kWriteFailed;
  if (!report_ || writer_->Recorder() == nullptr) return std::nullopt;
  return report_->Finish(end, *writer_->Recorder(), how, write_error);
}

bool Recording::WriteReport() {
  if (!report_ || open_) return false;
  const bool ok = report_->Write();
  report_.reset();
  return ok;
}

uint32_t Recording::ElapsedMs() const {
  return open_ ? tick_() - open_tick_ : 0;
}

std::string Recording::Directory() const {
  const size_t slash = path_.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path_.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace pelkan
