#include "schedule/scheduled_recording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/scheduler_host.h"

namespace pelkan {

std::optional<RecordingFailure> ScheduledRecording::Open(SchedulerHost& host, const ScheduleItem& entry,
                                                         MjdTime now) {
  const bool by_event = (entry.flags & SI_BY_EVENT) != 0;
  RecordingFailure f;
  f.reason = RecordingFailure::Reason::kOpenFailed;
  std::unique_ptr<Recording> opened;
  if (output_path) {
    f.path = platform::SjisToUtf8(*output_path);
    errno = 0;
    if (std::unique_ptr<RecordingWriter> writer = host.CreateWriter()) {
      opened = std::make_unique<Recording>(std::move(writer));
      if (!opened->Open(f.path, host.SampleCapture())) opened.reset();
    }
    f.error = errno != 0 ? errno : EIO;
  } else {
    // No name could be made: too long a path, or a title that would lead out of the folder.
    f.path = platform::SjisToUtf8(GetText(entry.directory));
    f.error = by_event && GetText(entry.title).find('/') != std::string_view::npos ? EINVAL : ENAMETOOLONG;
  }
  if (!opened) {
    f.item = entry;
    SetItemState(&f.item, ST_ERROR);
    return f;
  }
  opened_path = opened->path();
  // The programme reserved: an event reservation's own event when the tables know it, else the
  // one on air at the reservation's start (not at the file's opening, inside the start margin).
  std::string programme;
  ProgrammeEvent ev{};
  const uint16_t service = by_event ? entry.service_id : limited ? kept[0] : 0;
  const MjdTime start = HasStart(entry) ? MjdTime{entry.start_day, entry.start_second} : now;
  const bool found =
      service != 0 &&
      ((by_event && host.LookupProgramme(entry.network_id, entry.stream_id, entry.service_id, entry.event_id, &ev)) ||
       host.LookupProgrammeAt(service, start, &ev));
  if (found) {
    programme = platform::BroadcastToUtf8(std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
  }
  opened->SetReservation(platform::BroadcastToUtf8(GetText(entry.title)), std::move(programme));
  recording = std::move(opened);
  return std::nullopt;
}

void ScheduledRecording::Limit(std::vector<uint16_t> kept_services,
                               const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                               std::span<const ProgramListEntry> pat_programs) {
  limited = true;
  kept = std::move(kept_services);
  Refilter(components, pat_programs);
}

void ScheduledRecording::Refilter(const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                                  std::span<const ProgramListEntry> pat_programs) {
  if (!limited) return;
  filter.Limit(kept, components, pat_programs);
}

void ScheduledRecording::Write(const uint8_t* data, uint32_t length,
                               std::span<const ProgramListEntry> pat_programs) {
  if (!recording || data == nullptr) return;
  if (!limited) {
    recording->Write(data, length);
    bytes_taken += length;
    return;
  }
  // The packet is shared with the other recordings: what is rewritten comes as a copy.
  const std::span<const uint8_t> out = filter.Pass(data, length, pat_programs);
  for (size_t at = 0; at + length <= out.size(); at += length) recording->Write(out.data() + at, length);
  bytes_taken += out.size();
}

void ScheduledRecording::NoteProgramme(int64_t programme_start, int64_t programme_end, int64_t now) {
  if (!recording || recording->report() == nullptr) return;
  auto time_of = [](int64_t instant) {
    return MjdTime{static_cast<uint32_t>(instant / 86400), static_cast<uint32_t>(instant % 86400)};
  };
  const uint64_t bytes = bytes_taken;
  if (!programme_started && now >= programme_start) {
    programme_started = true;
    if (opened_at <= programme_start) span.start_offset = bytes;
  }
  if (!programme_ended && programme_end != 0 && now >= programme_end) {
    programme_ended = true;
    span.end_offset = bytes;
  }
  span.start = time_of(programme_start);
  span.end = programme_end != 0 ? time_of(programme_end) : MjdTime{};
  span.margin_before = item.margin_before;
  span.margin_after = item.margin_after;
  recording->report()->SetProgrammeSpan(span);
}

void ScheduledRecording::NoteFollow(int64_t now, const std::string& text) {
  if (!recording || recording->report() == nullptr) return;
  recording->report()->NoteFollow(MjdTime{static_cast<uint32_t>(now / 86400), static_cast<uint32_t>(now % 86400)},
                                  bytes_taken, text);
}

std::optional<RecordingFailure> ScheduledRecording::CheckStop(SchedulerHost& host) {
  if (!recording) return std::nullopt;
  const RecordingStop stop = recording->Check(host.SampleCapture());
  if (!stop) return std::nullopt;
  RecordingFailure f;
  f.reason = stop.kind == RecordingStop::Kind::kLowDisk ? RecordingFailure::Reason::kLowDisk
                                                        : RecordingFailure::Reason::kWriteError;
  f.error = stop.error;
  f.free_bytes = stop.free_bytes;
  return f;
}

std::optional<RecordingSummary> ScheduledRecording::Close(SchedulerHost& host, RecordingEnd how,
                                                          std::optional<RecordingFailure>* failure,
                                                          std::vector<std::unique_ptr<Recording>>* closed) {
  if (!recording) return std::nullopt;
  // The rest of the file is written now; a failure there spoils the recording as well.
  std::optional<RecordingSummary> summary =
      recording->Close(host.SampleCapture(), how, *failure ? (*failure)->error : 0);
  if (!recording->written() && !*failure) {
    failure->emplace();
    (*failure)->item = item;
    (*failure)->path = opened_path;
    (*failure)->error = recording->WriteError() != 0 ? recording->WriteError() : EIO;
  }
  closed->push_back(std::move(recording));
  return summary;
}

}  // namespace pelkan
