#include "core/manual_recording.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/capture_app.h"
#include "core/tuner_dropout.h"
#include "output/block_file_writer.h"
#include "output/file_recorder.h"
#include "platform/broadcast_text.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/text_codec.h"

namespace pelkan {

ManualRecording::ManualRecording(CaptureApp& capture, const TunerDropout& dropout, Settings& settings,
                                 UserMessages* messages, std::string& last_error)
    : capture_(capture),
      dropout_(dropout),
      settings_(settings),
      messages_(messages),
      last_error_(last_error),
      tick_(&platform::TickCount),
      free_space_query_(&FileRecorder::QueryFreeSpace) {}

ManualRecording::~ManualRecording() {
  Stop();
}

std::string ManualRecording::AutomaticPath(bool* failed) const {
  std::string dir = platform::SjisToUtf8(settings_.rec_autopath);
  if (dir.empty()) dir.assign(1, '.');
  *failed = !platform::IsDirectory(dir);
  if (dir.back() != '/') dir += '/';
  const platform::CalendarTime c = platform::LocalTimeNow();
  char name[64];
  std::snprintf(name, sizeof name, "cap-%04d%02d%02d-%02d%02d%02d.ts", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  return dir + name;
}

bool ManualRecording::Start(const std::string& chosen, std::optional<int> stop_minutes, bool replace) {
  std::string path = chosen;
  bool failed = false;
  ExistingFile existing = replace ? ExistingFile::kReplace : ExistingFile::kRefuse;
  if (path.empty()) {
    // The save dialog has asked before replacing a file; an automatic name never replaces one.
    existing = settings_.rec_autofilename ? ExistingFile::kNextFreeName : ExistingFile::kReplace;
    if (settings_.rec_autofilename) {
      path = AutomaticPath(&failed);
      if (failed) {
        if (messages_) messages_->Notify("", status_text::kCaptionApp);
        last_error_ = "the recording folder does not exist: " + path.substr(0, path.find_last_of('/'));
      }
    } else if (save_path_ == nullptr || !save_path_->AskSavePath(&path) || path.empty()) {
      failed = true;
      last_error_ = "no file chosen";
    }
  }
  auto writer = std::make_unique<BlockFileWriter>(kRecorderBlock, existing);
  writer->SetTickSource(tick_);
  writer->SetFreeSpaceQuery(free_space_query_);
  auto recording = std::make_unique<Recording>(std::move(writer), tick_);
  if (!failed && !recording->Open(path, capture_.SampleCapture())) {
    failed = true;
    last_error_ = errno == EEXIST && existing == ExistingFile::kRefuse
                      ? path + " already exists and is not replaced"
                      : "cannot create " + path + ": " + std::strerror(errno);
  }
  if (failed) {
    if (messages_) messages_->Notify(status_text::kStartFailed, status_text::kCaptionApp);
    return false;
  }
  if (stop_minutes) settings_.rec_time = *stop_minutes;
  recording->ArmStopTimer(settings_.rec_time);
  const std::string why = recording->path();
  last_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = std::move(recording);
  }
  noted_.clear();
  // Only asked for here, taken by the inhibitor's own thread: the recording never waits for the bus.
  awake_.Hold(why);
  return true;
}

void ManualRecording::StopByUser() {
  const std::string file = Path();
  if (!Stop()) {
    last_error_ = "cannot write " + file;
    if (messages_) messages_->Notify(status_text::kWriteErrorStop, status_text::kCaptionLowDisk);
  }
}

bool ManualRecording::Stop(RecordingEnd how, int error) {
  std::unique_ptr<Recording> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(recording_);
  }
  if (old == nullptr) return true;
  // The processing thread no longer sees this recording: closing writes its buffered tail.
  last_ = old->Close(capture_.SampleCapture(), how, error);
  awake_.Release();
  // A report that could not be written is not named as if it were there.
  if (!old->WriteReport() && last_) last_->report_path.clear();
  if (last_) end_listeners_.Call(old->path(), *last_);
  return old->written();
}

void ManualRecording::NoteDisconnect() {
  if (recording_) recording_->Check(capture_.SampleCapture(), false);
}

int ManualRecording::ExtendStopTimer(int edit_minutes) {
  if (recording_) {
    recording_->ExtendStopTimer();
    return edit_minutes;
  }
  return Recording::ClampStopMinutes(int64_t{std::max(edit_minutes, 0)} + 10);
}

void ManualRecording::ArmStopTimer(uint32_t ms) {
  if (recording_) recording_->ArmStopTimerMs(ms);
}

void ManualRecording::OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) {
  if (output != kManualOutput) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) recording_->Write(packet, length);
}

void ManualRecording::OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) {
  if (output != kManualOutput) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) recording_->WritePackets(packets, length, packet_size);
}

void ManualRecording::OnStreamBreak() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) recording_->BeginGap();
}

void ManualRecording::OnStreamResume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_) recording_->EndGap();
}

void ManualRecording::NoteServicesOnAir(MjdTime now) {
  std::vector<uint16_t> changed;
  for (auto& [id, name] : capture_.Services()) {
    std::optional<std::string> title;
    if (const std::optional<ProgrammeEvent> ev = capture_.LookupProgrammeAt(id, now, 0)) {
      title.emplace(ev->title, strnlen(ev->title, sizeof ev->title));
    }
    const auto [it, added] = noted_.try_emplace(id);
    Noted& noted = it->second;
    if (!added && noted.name == name && noted.title == title) continue;
    noted.name = std::move(name);
    noted.title = std::move(title);
    changed.push_back(id);
  }
  if (changed.empty()) return;
  recording_->NoteServices(
      changed, [this](uint16_t id) { return platform::BroadcastToUtf8(noted_[id].name); },
      [this](uint16_t id) -> std::optional<std::string> {
        const std::optional<std::string>& title = noted_[id].title;
        if (!title) return std::nullopt;
        return platform::BroadcastToUtf8(*title);
      });
}

bool ManualRecording::GiveUp(const RecordingStop& stop, uint32_t now) {
  std::optional<std::string> why = dropout_.GiveUpReason(stop, recording_->InGap(), now, settings_.dropout_wait);
  if (!why) return false;
  last_error_ = std::move(*why);
  if (RecordingReport* report = recording_->report()) report->SetEndReason(last_error_);
  if (!Stop(RecordingEnd::kTunerLost) && messages_) {
    messages_->Notify(status_text::kWriteErrorStop, status_text::kCaptionLowDisk);
  } else if (messages_) {
    messages_->Notify(status_text::kTunerLostStop, status_text::kCaptionError);
  }
  return true;
}

void ManualRecording::Refresh(uint32_t now, MjdTime broadcast_now, StatusSnapshot& s) {
  if (!recording_) {
    s.free_space = FormatFreeSpaceText(false, 0);
    return;
  }
  const RecordingStop stop = recording_->Check(capture_.SampleCapture());
  StatusFigures& f = s.figures;
  f.recording = true;
  f.recorded_bytes = recording_->BytesWritten();
  f.free_bytes = stop.free_bytes;
  s.free_space = FormatFreeSpaceText(true, stop.free_bytes);
  if (GiveUp(stop, now)) {
    s.bar[2].assign(status_text::kAutoStopping);
  } else if (stop.kind == RecordingStop::Kind::kTimerReached) {
    if (!Stop() && messages_) messages_->Notify(status_text::kWriteErrorStop, status_text::kCaptionLowDisk);
    s.bar[2].assign(status_text::kAutoStopping);
  } else if (stop) {
    // A failed write (disk full, I/O error), a removed folder or a nearly full disk: the recording
    // stops at once and says so.
    if (stop.error != 0) {
      last_error_ = "cannot write " + recording_->path() + ": ";
      if (stop.kind == RecordingStop::Kind::kFolderGone) last_error_ += "its folder " + recording_->Directory() + ": ";
      last_error_ += std::strerror(stop.error);
    }
    const bool written = Stop(stop.End(), stop.error);
    if (stop.kind == RecordingStop::Kind::kLowDisk) {
      if (!written) last_error_ = "cannot write the recording";
      if (messages_) messages_->Notify(status_text::kLowDiskStop, status_text::kCaptionLowDisk);
    } else if (messages_) {
      messages_->Notify(status_text::kWriteErrorStop, status_text::kCaptionLowDisk);
    }
  } else {
    const std::optional<uint32_t> deadline = recording_->deadline();
    f.recording_seconds = recording_->ElapsedMs() / 1000;
    if (deadline) f.stop_in_ms = *deadline - now;
    s.bar[1] = FormatMinutesSeconds(f.recording_seconds);
    s.bar[2] = deadline ? FormatAutoStopRemaining(*deadline - now) : std::string(status_text::kNoAutoStop);
  }
  // The programmes on air go into the report, from the processor's event store.
  if (recording_ && broadcast_now.date != 0 && capture_.IsProcessing()) NoteServicesOnAir(broadcast_now);
}

}  // namespace pelkan
