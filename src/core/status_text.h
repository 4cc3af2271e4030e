#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "base/broadcast_clock.h"  // FormatBroadcastClock, the status display's clock text
#include "base/mjd_time.h"
#include "output/recording.h"
#include "output/recording_report.h"
#include "output/recording_texts.h"
#include "platform/clock.h"
#include "platform/text_codec.h"

namespace pelkan {

using platform::TickReached;

// The figures behind the status texts, for programs that read the status (the JSON status): counts
// as numbers, the clock as a time.
struct StatusFigures {
  uint32_t elapsed_seconds = 0;
  uint32_t transfers_ok = 0;
  uint32_t transfers_failed = 0;
  double rate_bytes_per_second = 0;
  uint32_t buffer_fill = 0;
  uint32_t buffer_capacity = 0;
  uint32_t fifo_overflows = 0;
  uint32_t input_overflows = 0;
  uint32_t stage_overflows = 0;
  uint32_t packet_size = 0;
  uint32_t sync_losses = 0;
  uint32_t continuity = 0;
  uint32_t dropped = 0;
  uint32_t scrambled = 0;
  // The broadcast clock (JST) as the display shows it, and whether it is fresh (the display's '*').
  std::optional<MjdTime> clock;
  bool clock_fresh = false;
  // The manual recording while it runs.
  bool recording = false;
  uint64_t recorded_bytes = 0;
  uint64_t free_bytes = 0;
  uint32_t recording_seconds = 0;
  std::optional<uint32_t> stop_in_ms;  // the stop timer's remaining time
  // The UDP sending while it runs, with the reason its last send failed (empty while they succeed).
  bool sending = false;
  std::array<uint8_t, 4> send_address{};
  uint16_t send_port = 0;
  uint64_t sent_bytes = 0;
  uint64_t send_dropped_bytes = 0;
  std::string send_error;
  // The HTTP server while it runs.
  bool http = false;
  size_t http_clients = 0;
  uint64_t http_lost_bytes = 0;
};

// The texts of the main window's status display, in Shift-JIS, exactly as a front-end shows them.
// Produced by CaptureApp::RefreshStatus; every front-end (desktop window, command-line line) shows
// the same snapshot.
struct StatusSnapshot {
  std::string elapsed;           // 1006 time since the device statistics were reset
  std::string transfers_ok;      // 1007
  std::string transfers_failed;  // 1008
  std::string rate;              // 1009 USB rate in Mbps
  std::string device_status;     // 1011 the device's own status line
  std::string buffer;            // 1013 FIFO fill and the overflow counters R, Sy, St
  std::string packet_size;       // 1014
  std::string sync_losses;       // 1015
  std::string continuity;        // 1022 continuity breaks at unit starts (the window's 不連続)
  std::string dropped;           // packets missing by the packet checker (as `check` counts them)
  std::string scrambled;         // 1018
  std::string clock;             // 1019 broadcast clock (empty before the first time table)
  std::string recording;         // 1020
  std::string free_space;        // 1021
  std::string sending;           // 1024
  // The HTTP server's clients and what they lost (FormatHttpText); empty when it is not running.
  std::string http;
  // The totals of the last manual recording (FormatRecordingTotals), from its end until the next
  // one starts; empty otherwise.
  std::string last_recording;
  std::array<std::string, 4> bar;  // status-bar fields; the first is never written
  // What the programme guide's collector says when it cannot write the guide (its owner sets it:
  // the capture does not know the guide); empty while the guide is written.
  std::string guide;
  StatusFigures figures;
};

// Fixed texts of the status display and of the recording and sending controls (Shift-JIS); the
// texts of a recording that stopped on its own (kLowDiskStop, kWriteErrorStop) and kLowDiskLimit
// come from output/recording_texts.h.
namespace status_text {
inline const std::string kRecordingStopped = platform::Sjis("録画停止中");
inline const std::string kRecordingBuffering = platform::Sjis("録画バッファ中");
inline const std::string kAutoStopping = platform::Sjis("自動停止処理中");
inline const std::string kNoAutoStop = platform::Sjis("録画自動停止設定なし");
inline const std::string kSendingStopped = platform::Sjis("送信停止中");
inline const std::string kSendingBuffering = platform::Sjis("送信バッファ中");
inline const std::string kStartFailed = platform::Sjis("開始に失敗しました");
inline const std::string kHttpStartFailed = platform::Sjis("HTTP配信を開始できませんでした");
inline const std::string kTunerInUse = platform::Sjis("他のプログラムがこのチューナーを使用しています");
// The tuner dropped out while streaming and is waited for (the device status line and the log);
// it came back; a manual recording ended because it did not come back in time.
// The log's line when logind says the computer woke from sleep (the tuner is looked at again).
inline constexpr char kWokeUtf8[] = "スリープから復帰しました";
inline constexpr char kTunerAwayUtf8[] = "チューナーが外れました — 再接続待ち";
inline const std::string kTunerAway = platform::Sjis(kTunerAwayUtf8);
inline const std::string kTunerBack = platform::Sjis("チューナーが戻りました");
inline const std::string kTunerLostStop = platform::Sjis("チューナーが戻らないため録画を終了しました");
inline const std::string kInEndpointError = platform::Sjis("入力EP指定エラー");
inline const std::string kOutEndpointRequired = platform::Sjis("Sorvalink初期化には出力EPが必要です");
inline constexpr char kDecoderNotFound[] = "B25Decord.dll not found.";
inline constexpr char kCardError[] = "B-CAS card error";
inline const std::string kNone = platform::Sjis("なし");
inline const std::string kRecordStart = platform::Sjis("録画開始");
inline const std::string kRecordStop = platform::Sjis("録画停止");
inline const std::string kSendStart = platform::Sjis("送信開始");
inline const std::string kSendStop = platform::Sjis("送信停止");
// Message captions.
inline constexpr char kCaptionApp[] = "pelkan";
inline constexpr char kCaptionError[] = "Error";
inline constexpr char kCaptionLowDisk[] = "ERROR";
}  // namespace status_text

// Seconds as "%d" below one minute, otherwise "%d:%02d" (minutes are not reduced to hours).
std::string FormatElapsedSeconds(uint32_t seconds);
// Seconds as "%d:%02d" (minutes, seconds).
std::string FormatMinutesSeconds(uint32_t seconds);
// A counter with "%u".
std::string FormatCounter(uint32_t value);
// A rate in bytes per second as "%.2lf Mbps" (x 8 x 2^-20).
std::string FormatRate(double bytes_per_second);
// "%dKB/%dKB\nR:%d Sy:%d St:%d" from the FIFO fill and capacity in bytes and the three counters.
std::string FormatBufferText(uint32_t fill, uint32_t capacity, uint32_t fifo_overflows,
                             uint32_t input_overflows, uint32_t stage_overflows);
// 1020: no recorder "録画停止中"; bytes written "録画中 N MByte" (whole MiB); else "録画バッファ中".
std::string FormatRecordingText(bool recorder, uint64_t bytes_written);
// 1021: "空き N MByte" while a recording is open, otherwise a single blank.
std::string FormatFreeSpaceText(bool recording, uint64_t free_bytes);
// Status-bar part 2 while a deadline runs: "%d:%02d 後に自動停止" with the remaining milliseconds.
std::string FormatAutoStopRemaining(uint32_t remaining_ms);
// The totals of a recording's report: "ドロップ N  エラー N  スクランブル N".
std::string FormatRecordingTotals(const RecordingSummary& summary);
// 1024: no sender "送信停止中"; bytes sent "送信中(a.b.c.d) N MByte"; else "送信バッファ中". Bytes
// the sender had to drop (the network did not keep up) follow as " 破棄 N KByte", and while its
// sends fail, their reason (`error`, ASCII) as " 送信エラー(REASON)".
std::string FormatSendingText(bool sender, const std::array<uint8_t, 4>& address, uint64_t bytes_sent,
                              uint64_t bytes_dropped = 0, const std::string& error = {});

// "HTTP 2 クライアント", with " 破棄 N KByte" when the clients lost data (they could not keep up).
std::string FormatHttpText(size_t clients, uint64_t bytes_lost);

// Writes the texts of `s` that follow from its figures alone: the elapsed time, the transfers, the
// rate, the buffer, the stream's counters, the sending and (while it runs) the HTTP server's clients.
void FormatFigureTexts(StatusSnapshot& s);

}  // namespace pelkan
