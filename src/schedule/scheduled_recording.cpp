#include "schedule/scheduled_recording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"

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
  // The programme of an event reservation, or the one on air in a recording of one service.
  std::string programme;
  ProgrammeEvent ev{};
  const uint16_t service = by_event ? entry.service_id : limited ? kept[0] : 0;
  if (service != 0 && host.LookupProgrammeAt(service, now, &ev)) {
    programme = platform::BroadcastToUtf8(std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
  }
  opened->SetReservation(platform::BroadcastToUtf8(GetText(entry.title)), std::move(programme));
  recording = std::move(opened);
  return std::nullopt;
}

void ScheduledRecording::Write(const uint8_t* data, uint32_t length) {
  if (!recording) return;
  if (first_packet) {
    first_packet = false;
    // The filter of a limited recording is set in the same step that opens the file, while the
    // processing thread may be routing a packet with the filter of before; that packet waits for
    // the scheduler's lock and arrives first. Dropped when the new filter would not pass it (an
    // excluded PID, or a PAT that may list the other programmes), so the file holds only the kept
    // programme.
    if (limited && data != nullptr) {
      const uint32_t offset = length == 192 ? 4 : 0;
      if (length < offset + 3) return;
      const uint16_t pid = static_cast<uint16_t>((data[offset + 1] & 0x1F) << 8 | data[offset + 2]);
      if (pid == 0 || std::binary_search(excluded.begin(), excluded.end(), pid)) return;
    }
  }
  recording->Write(data, length);
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
