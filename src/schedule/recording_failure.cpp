#include "schedule/recording_failure.h"

#include <cerrno>
#include <cstring>

#include "output/recording_texts.h"
#include "platform/text_codec.h"

namespace pelkan {

using platform::Sjis;

std::string RecordingFailureMessage(const RecordingFailure& failure) {
  switch (failure.reason) {
    case RecordingFailure::Reason::kLowDisk:
      return status_text::kLowDiskStop;
    case RecordingFailure::Reason::kOpenFailed:
      return Sjis("録画ファイルを作成できないので予約録画を開始できませんでした。");
    case RecordingFailure::Reason::kWriteError:
      break;
  }
  return status_text::kWriteErrorStop;
}

std::string RecordingFailureReason(const RecordingFailure& failure) {
  if (failure.reason == RecordingFailure::Reason::kLowDisk) {
    return std::to_string(failure.free_bytes >> 20) + " MiB free";
  }
  if (failure.reason == RecordingFailure::Reason::kOpenFailed && failure.error == ENAMETOOLONG) {
    return "the file's path would be longer than " + std::to_string(kPathSize - 1) + " bytes";
  }
  if (failure.reason == RecordingFailure::Reason::kOpenFailed && failure.error == EINVAL) {
    return "the programme title has a '/', which cannot be in a file name";
  }
  return std::strerror(failure.error);
}

}  // namespace pelkan
