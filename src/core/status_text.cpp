#include "core/status_text.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace pelkan {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

// Converted once: the status refresh makes these texts several times a second.
const std::string kRecording = platform::Sjis("録画中");
const std::string kTotalsFormat =
    platform::Sjis("ドロップ %" PRIu64 "  エラー %" PRIu64 "  スクランブル %" PRIu64);
const std::string kFree = platform::Sjis("空き");
const std::string kAutoStopAfter = platform::Sjis("後に自動停止");
const std::string kSending = platform::Sjis("送信中");
const std::string kDropped = platform::Sjis(" 破棄");
const std::string kHttpClients = platform::Sjis(" クライアント");
const std::string kSendError = platform::Sjis("送信エラー");

}  // namespace

std::string FormatElapsedSeconds(uint32_t seconds) {
  if (seconds < 60) return Format("%d", static_cast<int>(seconds));
  return FormatMinutesSeconds(seconds);
}

std::string FormatMinutesSeconds(uint32_t seconds) {
  return Format("%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
}

std::string FormatCounter(uint32_t value) {
  return Format("%u", value);
}

std::string FormatRate(double bytes_per_second) {
  return Format("%.2lf Mbps", bytes_per_second * 8 * 9.5367431640625e-07);
}

std::string FormatBufferText(uint32_t fill, uint32_t capacity, uint32_t fifo_overflows,
                             uint32_t input_overflows, uint32_t stage_overflows) {
  return Format("%dKB/%dKB\nR:%d Sy:%d St:%d", static_cast<int>(fill / 1024),
                static_cast<int>(capacity / 1024), static_cast<int>(fifo_overflows),
                static_cast<int>(input_overflows), static_cast<int>(stage_overflows));
}

std::string FormatRecordingText(bool recorder, uint64_t bytes_written) {
  if (!recorder) return status_text::kRecordingStopped;
  if (bytes_written > 0) {
    return Format("%s %" PRIu64 " MByte", kRecording.c_str(), bytes_written >> 20);
  }
  return status_text::kRecordingBuffering;
}

std::string FormatRecordingTotals(const RecordingSummary& r) {
  return Format(kTotalsFormat.c_str(), r.drop, r.error, r.scrambled);
}

std::string FormatFreeSpaceText(bool recording, uint64_t free_bytes) {
  if (!recording) return " ";
  return Format("%s %" PRIu64 " MByte", kFree.c_str(), free_bytes >> 20);
}

std::string FormatAutoStopRemaining(uint32_t remaining_ms) {
  const uint32_t s = remaining_ms / 1000;
  return Format("%d:%02d %s", static_cast<int>(s / 60), static_cast<int>(s % 60), kAutoStopAfter.c_str());
}

std::string FormatSendingText(bool sender, const std::array<uint8_t, 4>& address, uint64_t bytes_sent,
                              uint64_t bytes_dropped, const std::string& error) {
  if (!sender) return status_text::kSendingStopped;
  std::string text = status_text::kSendingBuffering;
  if (bytes_sent > 0) {
    text = Format("%s(%d.%d.%d.%d) %" PRIu64 " MByte", kSending.c_str(), address[0], address[1], address[2],
                  address[3], bytes_sent >> 20);
  }
  if (bytes_dropped > 0)
    text += Format("%s %" PRIu64 " KByte", kDropped.c_str(), (bytes_dropped + 1023) >> 10);
  if (!error.empty()) text += Format(" %s(%s)", kSendError.c_str(), error.c_str());
  return text;
}

std::string FormatHttpText(size_t clients, uint64_t bytes_lost) {
  std::string text = Format("HTTP %zu%s", clients, kHttpClients.c_str());
  if (bytes_lost > 0) text += Format("%s %" PRIu64 " KByte", kDropped.c_str(), (bytes_lost + 1023) >> 10);
  return text;
}

void FormatFigureTexts(StatusSnapshot& s) {
  const StatusFigures& f = s.figures;
  s.elapsed = FormatElapsedSeconds(f.elapsed_seconds);
  s.transfers_ok = FormatCounter(f.transfers_ok);
  s.transfers_failed = FormatCounter(f.transfers_failed);
  s.rate = FormatRate(f.rate_bytes_per_second);
  s.buffer = FormatBufferText(f.buffer_fill, f.buffer_capacity, f.fifo_overflows, f.input_overflows,
                              f.stage_overflows);
  s.packet_size = FormatCounter(f.packet_size);
  s.sync_losses = FormatCounter(f.sync_losses);
  s.continuity = FormatCounter(f.continuity);
  s.dropped = FormatCounter(f.dropped);
  s.scrambled = FormatCounter(f.scrambled);
  s.sending = FormatSendingText(f.sending, f.send_address, f.sent_bytes, f.send_dropped_bytes, f.send_error);
  if (f.http) s.http = FormatHttpText(f.http_clients, f.http_lost_bytes);
}

}  // namespace pelkan
