#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/capture_stats.h"
#include "base/mjd_time.h"
#include "core/buffer.h"
#include "core/dtv_base.h"
#include "core/manual_recording.h"
#include "core/save_path_provider.h"
#include "core/settings.h"
#include "core/status_text.h"
#include "core/tuner_dropout.h"
#include "core/user_messages.h"
#include "output/http_stream_server.h"
#include "output/recording.h"
#include "output/recording_report.h"
#include "platform/dispatcher.h"
#include "platform/event.h"
#include "platform/sleep_inhibitor.h"
#include "platform/sleep_watcher.h"
#include "ts/b25_decoder.h"
#include "ts/loaded_decoder.h"
#include "ts/stream_bus.h"
#include "ts/ts_events.h"

namespace pelkan {

class ChannelWindow;
class TsProcessor;
class UdpSender;

// What the front-end chose for a connect: the device and endpoint lists' selections and the two
// check boxes. A missing selection makes the connect fail without a message.
struct ConnectRequest {
  std::optional<int> device_index;
  std::optional<uint32_t> in_address;
  std::optional<uint32_t> out_address;  // core::kNoEndpoint for the "none" entry
  bool initialise = false;              // firmware initialisation writes
  bool descramble = false;              // pass the stream through B25Decoder.so
};

// The application object: owns the capture device, the capture FIFO, the processing thread with
// its TsProcessor, the stream bus its consumers hear, the manual recording and the UDP sending, and
// the statistics. Connect starts the pipeline (device -> FIFO -> processor -> bus), disconnect
// stops it. The processor's one event handler translates each event into the bus's calls
// (DeliverTsEvent); the status refresh ticks the bus. The heartbeat that runs the refresh every
// kRefreshIntervalMs while connected is the capture session's; the application itself posts one
// only when the tuner drops out or comes back.
//
// Threads: every public operation except the noted ones runs on the UI thread (the thread that
// owns the dispatcher's queue). The device's receive thread runs the data callback, the processing
// thread runs the processor and the event dispatch. The recorder and sender are handed between the
// UI thread and the processing thread under a lock that the event dispatch holds for the duration
// of one packet, so a recording or sending can stop at any moment while packets flow.
class CaptureApp : private StreamListener {
 public:
  static constexpr uint32_t kFifoCapacity = 0xA00000;
  static constexpr uint32_t kBlockSize = 0x8000;
  static constexpr uint32_t kRecorderBlock = ManualRecording::kRecorderBlock;
  // While the stream flows the processing thread takes the FIFO's blocks in batches: every
  // kBatchDelayMs, or as soon as kBatchBytes are there. A transfer reaches the outputs within the
  // delay plus the time its block takes to fill (16 ms at the broadcast rate): within 100 ms.
  static constexpr uint32_t kBatchDelayMs = 80;
  static constexpr uint32_t kBatchBytes = 0x100000;
  // The stream counts as flowing for this long after its last block: a tuner that delivers in
  // bursts keeps the thread on its batch rhythm instead of waking it once more for each burst.
  static constexpr uint32_t kFlowLingerMs = 1000;
  // The status refresh's period while connected (the capture session's heartbeat).
  static constexpr uint32_t kRefreshIntervalMs = 300;
  static constexpr uint32_t kRateIntervalMs = 600;
  // Without data for longer than this, the status shows a rate of 0.
  static constexpr uint32_t kQuietMs = 2 * kRateIntervalMs;
  static constexpr uint32_t kStopWaitMs = 10000;
  // Longest stop timer of the manual recording, in minutes (Recording::kMaxStopMinutes). Longer
  // values (a hand-edited REC_TIME) are cut to it, and "+10分" does not extend beyond it.
  static constexpr int kMaxStopMinutes = Recording::kMaxStopMinutes;
  // Processor outputs: the manual recording and the sending take output 0, the scheduled
  // recordings and the HTTP server output 1 (every packet).
  static constexpr uint16_t kManualOutput = pelkan::kManualOutput;
  static constexpr uint16_t kScheduleOutput = kWholeStreamOutput;

  // `dispatcher` runs the drop-outs' status refreshes on the UI thread; `messages` shows the user messages.
  // Both must outlive the application, and the dispatcher must not run tasks posted by it after
  // it has been destroyed (tasks check a liveness token, so dropping them is not required).
  CaptureApp(Dispatcher* dispatcher, UserMessages* messages);
  // Disconnects if connected and stops the recording and the sending.
  ~CaptureApp();
  CaptureApp(const CaptureApp&) = delete;
  CaptureApp& operator=(const CaptureApp&) = delete;

  // The capture device (owned). Set before the first connect, while disconnected.
  void SetDevice(std::unique_ptr<core::CDTV_Base> device);
  core::CDTV_Base* device() const { return device_.get(); }
  // The consumers of the stream: add and remove them while disconnected (they must outlive their
  // stay). The manual recording and the application's own notes are on it from the start; the
  // HTTP server from Connect to Disconnect.
  StreamBus& bus() { return bus_; }
  // The channel window: filled and enabled at connect, cleared and disabled at disconnect.
  void SetChannelWindow(ChannelWindow* window) { channel_window_ = window; }
  // Asked for the file of a manual recording when automatic naming is off and no path is given.
  void SetSavePathProvider(SavePathProvider* provider) { manual_.SetSavePathProvider(provider); }
  // Called on the UI thread with each snapshot that RefreshStatus produces.
  void SetStatusListener(std::function<void(const StatusSnapshot&)> listener) {
    status_listener_ = std::move(listener);
  }
  // Makes the decoder library object used by a connect with descrambling (the real plugin by default).
  void SetDecoderLibraryFactory(std::function<std::unique_ptr<B25Library>()> factory) {
    library_factory_ = std::move(factory);
  }
  // Replaces the millisecond tick (platform::TickCount by default); for tests.
  void SetTickSource(std::function<uint32_t()> tick);
  // Replaces the free-space query of manual recordings (statvfs by default); for tests.
  void SetFreeSpaceQuery(std::function<bool(const std::string&, uint64_t*)> query) {
    manual_.SetFreeSpaceQuery(std::move(query));
  }
  // The manual recording behind ToggleRecording (its end listeners, its figures). UI thread.
  ManualRecording& manual() { return manual_; }

  // The program's settings record (pelkan.ini): the capture reads SORVALINK_INIT, REC_AUTOFILENAME,
  // REC_AUTOPATH, REC_TIME, the NETWORK_ keys, LAST_CHANNEL, DECODE_PSI, PROC_EPG and
  // SCHEDULE_USE_SYSTEM_TIME from it, and writes SORVALINK_INIT and REC_TIME. UI thread.
  Settings& settings() { return settings_; }
  const Settings& settings() const { return settings_; }
  // Switches DECODE_PSI and PROC_EPG on (the tables the filtering window and the programme guide
  // need) in the settings and, while connected, for the running capture from its next packet.
  // UI thread.
  void SwitchOnTableProcessing();

  // Connects when disconnected (with `request`), disconnects otherwise. Returns true when the
  // application is connected afterwards.
  bool ToggleConnect(const ConnectRequest& request);
  // Starts the pipeline. Returns false, with nothing left running, on any failure; the user has
  // seen the failure's message (if it has one) and GetLastError tells the reason.
  bool Connect(const ConnectRequest& request);
  // Stops the device, the processing thread, the recording and the sending; zeroes the statistics.
  void Disconnect();
  bool IsConnected() const { return connected_.load(std::memory_order_relaxed); }
  // The reason for the last failed connect, recording or sending start (English, with the
  // system's message where there is one).
  const std::string& GetLastError() const { return last_error_; }

  // With `stop` or while recording: stops the manual recording. Otherwise starts one into `path`
  // (a file-system path, UTF-8), or, when `path` is empty, into the automatic name under
  // REC_AUTOPATH (REC_AUTOFILENAME set) or the file the SavePathProvider gives. The stop timer is
  // armed with `stop_minutes` (the stop-timer edit), which becomes REC_TIME only when the start
  // succeeds; without it REC_TIME is used as it is. Minutes > 0 arm the timer (at most
  // kMaxStopMinutes). Returns true when recording afterwards. An existing file is never truncated
  // unasked: an automatic name takes the next free name ("cap-...-1.ts"), an existing `path` is
  // refused unless `replace` is set, and the SavePathProvider's dialog has confirmed the
  // replacement itself. A recording whose file cannot be written is stopped with a message.
  bool ToggleRecording(bool stop, const std::string& path = std::string(),
                       std::optional<int> stop_minutes = std::nullopt, bool replace = false);
  bool IsRecording() const { return manual_.IsRecording(); }
  // The file of the manual recording, as created ("" when none).
  std::string GetRecordingPath() const { return manual_.Path(); }
  // "+10分": extends a running stop timer by 10 minutes (a recording without a timer stays without
  // one) and returns `edit_minutes` unchanged; without a recording returns the stop-timer edit's
  // new value, `edit_minutes` + 10 (at most kMaxStopMinutes). REC_TIME is not touched.
  int ExtendStopTimer(int edit_minutes = 0);
  // Arms the stop timer of the running manual recording to end it `ms` from now (at the first
  // status refresh after that). Nothing when not recording.
  void ArmStopTimer(uint32_t ms);
  // The stop-timer deadline (tick) of the manual recording, if one is armed.
  std::optional<uint32_t> GetStopDeadline() const { return manual_.StopDeadline(); }
  // The totals of the last manual recording, from its end until the next one starts (its report,
  // NAME.ts.err, is written when it stops).
  std::optional<RecordingSummary> GetLastRecording() const { return manual_.Last(); }
  // The capture's figures a recording's report follows: sync losses, FIFO overflows, failed
  // transfers and the broadcast clock now.
  CaptureSample SampleCapture() const;
  // The name of a service of the stream as its service table gives it (Shift-JIS; "" when unknown).
  // Any thread.
  std::string ServiceName(uint16_t service_id) const;

  // With `stop` or while sending: stops the UDP sending. Otherwise starts it to NETWORK_ADDRESS,
  // port NETWORK_PORT modulo 65536, datagrams of NETWORK_SEND_SIZE bytes; port 0 (also 65536 and
  // its multiples) is refused, as nothing can be sent there. Returns true when sending.
  bool ToggleSending(bool stop);
  bool IsSending() const;
  // The destination port of the sending (0 when not sending).
  uint16_t GetSendingPort() const;

  // True while the streaming tuner has dropped out (removed, or silent for
  // CDTV_EzUSBFX2::kStallMs) and is waited for. The outputs stay open meanwhile: the recordings
  // (their reports get a gap), the sending and the HTTP server; a manual recording gives up at its
  // stop timer or after DROPOUT_WAIT minutes, ending as kTunerLost. Any thread.
  bool IsTunerAway() const { return dropout_.IsAway(); }
  // Where the drop-outs are said, with the local time (UTF-8 lines); standard error by default.
  void SetLog(std::function<void(const std::string&)> log) { dropout_.SetLog(std::move(log)); }

  // The HTTP server's pages and its client notices. Set while disconnected; the server is started
  // by Connect when HTTP_ENABLED is set (HTTP_ADDRESS, HTTP_PORT, HTTP_MAX_CLIENTS) and stopped
  // by Disconnect. A server that cannot listen leaves the connection up, with a message.
  void SetHttpPages(HttpPages pages, HttpStreamServer::ClientNotice notice = nullptr) {
    http_pages_ = std::move(pages);
    http_notice_ = std::move(notice);
  }
  // Replaces the server's limits other than address, port and clients (queue, time-outs); tests.
  void SetHttpConfig(const HttpServerConfig& config) { http_config_ = config; }
  // The server's view and control tokens (HttpAccessConfig), kept over SetHttpConfig's.
  void SetHttpTokens(std::string view, std::string control) {
    http_tokens_ = {std::move(view), std::move(control)};
  }
  // The view token players add to the stream's URL (set while disconnected, read by the pages).
  const std::string& http_view_token() const { return http_tokens_.first; }
  bool IsHttpServing() const { return http_ != nullptr; }
  // The port listened on (0 when not serving). UI thread.
  uint16_t GetHttpPort() const { return http_ ? http_->port() : 0; }
  // The stream clients now. UI thread.
  std::vector<HttpClientInfo> HttpClients() const;
  // The services of the stream (PAT order by id) with their names (Shift-JIS). Any thread.
  std::vector<std::pair<uint16_t, std::string>> Services() const;
  // The last snapshot RefreshStatus made. Any thread.
  StatusSnapshot LastStatus() const;

  // Rebuilds every status text, applies the recording's low-disk and time-limit stops, and ticks
  // the bus with the current time (the scheduler's clock, the filtering window's programmes).
  // Returns the snapshot (also handed to the status listener).
  StatusSnapshot RefreshStatus();
  // The "クリア" command: zeroes the error and overflow counters and the device's statistics.
  void ClearStatistics();

  // Output-0 filter from the information model: services and PIDs to exclude; both empty clears it.
  // No effect while the pipeline is not running. Any thread.
  void SetServiceFilter(const std::vector<uint16_t>& excluded_services,
                        const std::vector<uint16_t>& excluded_pids);
  // Programme lookups in the processor's event store; nothing while not running. Any thread.
  std::optional<ProgrammeEvent> LookupProgrammeAt(uint16_t service_id, MjdTime t, int purge);
  // True while the processing thread (and with it the processor) runs. Any thread.
  bool IsProcessing() const;
  // Blocks of the FIFO fed to the processor since construction. A filter set before this count was
  // read applies to every packet of the blocks counted after the next one. Any thread.
  uint64_t BlocksFed() const { return blocks_fed_.load(std::memory_order_acquire); }

  // Shared statistics; any thread may read them.
  CaptureStats& stats() { return stats_; }
  CBufferMT& fifo() { return fifo_; }
  // The device's data callback (receive thread). Public for tests that feed the FIFO directly.
  static void OnDeviceData(const uint8_t* data, uint32_t length, uint32_t total_low, uint32_t total_high,
                           void* user);

 private:
  // Handed from Connect to the processing thread, which ends the decoder's use.
  struct ThreadStart {
    bool descramble = false;
    LoadedDecoder decoder;
  };

  static void OnProcessorEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user);
  void ProcessingThread(std::unique_ptr<ThreadStart> start);
  void HandleData(const uint8_t* data, uint32_t length, uint64_t total);
  // The device's drop-out listener: the tuner went away (watch thread; returns once everything it
  // delivered before has reached the outputs and the gap is marked), it delivers again (receive
  // thread), the device list was looked at while it is away (watch thread).
  void OnTunerLost(bool stalled);
  void OnTunerBack();
  // Processing thread: feeds what is left in the FIFO, then breaks the stream in the processor and
  // the outputs (a gap begins in every open recording).
  void BreakStream(TsProcessor& processor, std::vector<uint8_t>& block);
  // Processing thread: feeds every byte left in the FIFO to `processor`.
  void FeedRest(TsProcessor& processor, std::vector<uint8_t>& block);
  // The channel window is emptied and disabled (the capture stopped or did not start).
  void ClearChannelWindow();
  // On the owning thread after the computer woke: logged, and a tuner that the bus enumerated
  // anew while it slept is a drop-out at once.
  void OnWoke();
  // The application's own notes of the stream (first on the bus): the sending of output 0, the
  // services and their names for the reports, the broadcast clock for the status.
  void OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) override;
  void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) override;
  void OnStreamReset(uint16_t transport_stream_id) override;
  void OnProgramList(std::span<const ProgramListEntry> programs) override;
  void OnServiceName(uint16_t service_id, const ServiceNames& names) override;
  void OnClock(const BroadcastTime& time) override;
  // The services of the stream (its PAT) and their names (its SDT), for the reports; processing
  // thread writes, any thread reads.
  void NoteService(uint16_t service_id, const ServiceNames* names);
  void PostRefresh();
  // Starts the HTTP server of a connect, as the settings say.
  void StartHttp();

  Dispatcher* dispatcher_;
  UserMessages* messages_;
  StreamBus bus_;
  ChannelWindow* channel_window_ = nullptr;
  std::function<void(const StatusSnapshot&)> status_listener_;
  std::function<std::unique_ptr<B25Library>()> library_factory_;
  std::function<uint32_t()> tick_;
  // Checked by posted refresh tasks: they do nothing once the application is gone.
  std::shared_ptr<CaptureApp*> alive_;

  Settings settings_;
  std::unique_ptr<core::CDTV_Base> device_;
  std::recursive_mutex app_mutex_;  // the application lock (UI thread)
  std::atomic<bool> connected_{false};
  std::string last_error_;

  CBufferMT fifo_{kFifoCapacity};
  CaptureStats stats_;

  // Processing thread and its processor.
  std::thread processing_thread_;
  platform::Event stop_event_{true};
  platform::Event thread_done_{true};
  mutable std::mutex processor_mutex_;  // guards processor_ against the UI thread's uses
  TsProcessor* processor_ = nullptr;
  std::atomic<uint64_t> blocks_fed_{0};

  // The sending of processor output 0; output_mutex_ is held by the event dispatch for one packet
  // and by the UI thread while it installs or removes the sender.
  mutable std::mutex output_mutex_;
  std::unique_ptr<UdpSender> sender_;
  // The HTTP server, running from Connect to Disconnect (before the processing thread starts and
  // after it has ended, so the processing thread uses it without a lock).
  std::unique_ptr<HttpStreamServer> http_;
  HttpPages http_pages_;
  HttpStreamServer::ClientNotice http_notice_;
  HttpServerConfig http_config_;
  std::pair<std::string, std::string> http_tokens_;
  mutable std::mutex status_mutex_;
  StatusSnapshot last_status_;
  mutable std::mutex services_mutex_;
  std::map<uint16_t, std::string> services_;
  // While connected: logind's word that the computer woke, which has the tuner looked at again.
  std::unique_ptr<platform::SleepWatcher> sleep_watcher_;

  // Receive-thread state of the rate measurement; survives a disconnect.
  uint32_t rate_tick_ = 0;
  uint64_t rate_total_ = 0;
  // When the last transfer with data arrived (receive thread writes, the status refresh reads).
  std::atomic<uint32_t> last_data_tick_{0};
  // The drop-out: whether the tuner is away and since when, the processing thread's break, the log.
  TunerDropout dropout_;
  // After the settings, the dropout and the last error it refers to.
  ManualRecording manual_;
};

}  // namespace pelkan
