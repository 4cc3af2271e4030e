// pelkan-cli capture: the headless front-end of the capture application. Its options are read by
// capture_options, its lines printed by capture_printer; this runs the capture.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/capture_session.h"
#include "app/device_list.h"
#include "app/home_folder.h"
#include "app/http_tokens.h"
#include "app/loop_dispatcher.h"
#include "app/settings.h"
#include "cli/capture_options.h"
#include "cli/capture_printer.h"
#include "cli/cli_commands.h"
#include "cli/one_line_text.h"
#include "cli/signal_guard.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"
#include "platform/clock.h"
#include "platform/text_codec.h"

namespace pelkan::cli {

namespace {

constexpr const char* kName = kCaptureName;
// How long the PAT and the PMTs may take to arrive before --service gives up.
constexpr uint32_t kTablesTimeoutMs = 15000;
// How long --services waits for every PMT before it prints the rows it has.
constexpr uint32_t kServicesWaitMs = 5000;

// Messages of the application go to standard error, in UTF-8; questions are answered no.
class StderrMessages : public UserMessages {
 public:
  void Notify(const std::string& text, const std::string& caption) override {
    last_text = text;
    std::fprintf(stderr, "%s: [%s] %s\n", kName, caption.c_str(), platform::SjisToUtf8(text).c_str());
  }
  bool Ask(const std::string& text, const std::string& caption) override {
    Notify(text, caption);
    return false;
  }
  std::string last_text;
};

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The smaller of `wait` and the milliseconds from `now` until `span` after `from`; `wait` once that
// time has passed.
uint32_t SoonerDue(uint32_t wait, uint32_t now, uint32_t from, uint64_t span) {
  const uint32_t elapsed = now - from;
  return elapsed < span ? static_cast<uint32_t>(std::min<uint64_t>(wait, span - elapsed)) : wait;
}

// Runs the loop until `done` is true, the time runs out or Ctrl-C; true when `done` came true.
template <typename Done>
bool RunUntil(LoopDispatcher& loop, uint32_t timeout_ms, Done done) {
  const uint32_t start = platform::TickCount();
  while (!done()) {
    if (SignalGuard::Interrupted() || platform::TickCount() - start >= timeout_ms) return false;
    loop.RunFor(20);
  }
  return true;
}

// Opens the device set and checks the chosen device; fills in the endpoints the options leave
// open, as the main window preselects them. nullptr after saying why.
std::unique_ptr<core::CDTV_EzUSBFX2> OpenDevice(const Settings& settings, CaptureOptions& o) {
  usb::DriverConfig config = DriverConfigFromSettings(settings);
  config.virtual_start = o.virtual_start;
  config.virtual_speed = o.virtual_speed;
  if (o.virtual_rate) config.virtual_bit_rate = *o.virtual_rate;
  if (!o.virtual_changes.empty()) config.virtual_programme_changes = o.virtual_changes;
  if (o.virtual_dropout) config.virtual_dropout = o.virtual_dropout;
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(config);
  if (!device->OpenDevice()) {
    std::fprintf(stderr, "%s: the device set cannot be opened\n", kName);
    return nullptr;
  }
  bool listed = false;
  for (const DeviceEntry& d : ListDevices(*device)) listed = listed || d.index == o.device;
  if (!listed) {
    std::fprintf(stderr, "%s: no capture device %d (see 'pelkan-cli devices')\n", kName, o.device);
    return nullptr;
  }
  const EndpointChoice endpoints = ListBulkEndpoints(*device, o.device, settings.last_ep_in, settings.last_ep_out);
  if (!o.in_address) {
    if (!endpoints.has_in) {
      std::fprintf(stderr, "%s: device %d has no bulk IN endpoint\n", kName, o.device);
      return nullptr;
    }
    o.in_address = endpoints.default_in;
  }
  if (!o.out_address) o.out_address = endpoints.default_out;
  return device;
}

// The capture runs on the settings as read, except that it never names a file itself nor takes
// the window's stop timer, and always decodes the tables: they feed the status clock, the service
// filter and the programme information.
void ApplyCaptureSettings(const Settings& settings, Settings& app) {
  app = settings;
  app.rec_autofilename = 0;
  app.rec_time = 0;
  app.decode_psi = 1;
  app.proc_epg = 1;
}

// A line of the run's own (English) on stderr.
void TellOnStderr(const std::string& line) {
  std::fprintf(stderr, "%s: %s\n", kName, line.c_str());
}

// What the capture session tells on standard error, and whether a reservation failed.
class StderrFront : public SessionFront {
 public:
  void RecordingFailed(const RecordingFailure& f) override {
    failed = true;
    const std::string reason = platform::SjisToUtf8(RecordingFailureMessage(f)) + " (" + RecordingFailureReason(f) + ")";
    std::fprintf(stderr, "%s: scheduled recording to %s %s: %s\n", kName, f.path.c_str(),
                 f.reason == RecordingFailure::Reason::kOpenFailed ? "could not start" : "stopped", reason.c_str());
  }
  // Every reservation that ended as an error counts: a tuner that stayed away, one not recorded in
  // its time, as well as the failed writes told above.
  void ReservationEnded(const FinishedRecording& ended) override {
    if (ItemState(ended.item) == ST_ERROR) failed = true;
  }
  void ScheduleKeptAside(const std::string& path, const std::string& kept_as) override {
    std::fprintf(stderr, "%s: %s\n", kName, KeptAsideText(path, kept_as).c_str());
  }
  void ScheduleWriteFailed(bool write_failed) override {
    if (write_failed) std::fprintf(stderr, "%s: cannot write the reservation file\n", kName);
  }
  void RulesNotice(const std::string& text) override { std::fprintf(stderr, "%s: %s\n", kName, text.c_str()); }
  void RulesRan(const RuleRunResult& run) override {
    if (run.reserved > 0 || run.updated > 0 || run.removed > 0) {
      std::fprintf(stderr, "%s: rules: %d reserved, %d changed, %d removed\n", kName, run.reserved, run.updated,
                   run.removed);
    }
  }
  void GuideNotice(const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(text).c_str());
  }
  bool failed = false;
};

// The session a run chooses: the reservations with --schedule, the guide as PROC_EPG (or --epg)
// says, the clients of --http told.
SessionOptions CaptureSessionOptions(const CaptureOptions& o, const Settings& settings) {
  SessionOptions s;
  s.schedule = o.schedule;
  if (o.schedule) s.schedule_path = SchedulePath();
  // Nobody is there to be asked: an overlapping repetition is stored and said.
  s.confirm = [] {
    std::fprintf(stderr, "%s: a repeated reservation overlaps another; stored anyway\n", kName);
    return true;
  };
  s.guide_path = GuidePath();
  s.collect_guide = settings.proc_epg != 0 || o.epg;
  s.rules_path = RulesPath();
  s.library_path = LibraryPath();
  s.hook_log = [](const std::string& line) { std::fprintf(stderr, "%s: %s\n", kName, line.c_str()); };
  s.last_values_path = LastRecordingValuesPath();
  s.http_tokens_path = HttpTokensPath();
  s.settings_path = SettingsPath();
  if (!o.services.empty()) s.pause_on_stream_change = TellOnStderr;
  if (o.http_port) {
    s.http_notice = [](const HttpClientInfo& c, bool left) {
      if (!left) {
        std::fprintf(stderr, "%s: HTTP client %s came for %s\n", kName, c.peer.c_str(), c.path.c_str());
        return;
      }
      std::fprintf(stderr, "%s: HTTP client %s left %s: %llu bytes sent, %llu lost\n", kName, c.peer.c_str(),
                   c.path.c_str(), static_cast<unsigned long long>(c.bytes_sent),
                   static_cast<unsigned long long>(c.bytes_lost));
    };
  }
  return s;
}

// One run of the command: the capture session with its filtering window, the programme guide and
// the reservations, from the connection to the last status line.
class CaptureRun {
 public:
  CaptureRun(const CaptureOptions& o, const Settings& settings, std::unique_ptr<core::CDTV_EzUSBFX2> device)
      : o_(o),
        session_(loop_, &messages_, CaptureSessionOptions(o, settings), &front_),
        app_(session_.app()),
        window_(session_.services()),
        printer_(o.json, o.symbols) {
    ApplyCaptureSettings(settings, app_.settings());
    app_.SetDevice(std::move(device));
    window_.SetView(&rows_);
    app_.SetStatusListener([this](const StatusSnapshot& status) { PrintStatusWhenDue(status); });
    if (o.http_port) ServeHttp();
    session_.Begin();
    if (ScheduledCapture* schedule = session_.schedule()) {
      for (const std::string& w : schedule->scheduler().LoadWarnings())
        std::fprintf(stderr, "%s: schedule.ini: %s: dropped, it can never be recorded\n", kName, w.c_str());
    }
    signals_.emplace(loop_);
  }
  ~CaptureRun() {
    signals_.reset();
    app_.SetStatusListener(nullptr);
  }
  CaptureRun(const CaptureRun&) = delete;
  CaptureRun& operator=(const CaptureRun&) = delete;

  // Returns the exit code.
  int Run() {
    if (!Start()) return 1;
    if (const auto exit_code = FilterServices()) return *exit_code;
    if (!StartRecording() || !StartSending()) return 1;
    return Finish(Loop());
  }

 private:
  // --http: the server starts with the connection.
  void ServeHttp() {
    Settings& cs = app_.settings();
    cs.http_enabled = 1;
    cs.http_port = *o_.http_port;
    if (o_.http_address) cs.http_address = *o_.http_address;
    if (o_.http_clients) cs.http_max_clients = *o_.http_clients;
  }

  bool Start() {
    ConnectRequest request;
    request.device_index = o_.device;
    request.in_address = o_.in_address;
    request.out_address = o_.out_address;
    request.initialise = o_.initialise;
    request.descramble = o_.descramble;
    if (!app_.Connect(request)) {
      std::fprintf(stderr, "%s: cannot connect: %s\n", kName, app_.GetLastError().c_str());
      return false;
    }
    if (o_.http_port) {
      if (!app_.IsHttpServing()) {
        std::fprintf(stderr, "%s: cannot serve HTTP: %s\n", kName, app_.GetLastError().c_str());
        return false;
      }
      // An IPv6 address is bracketed in a URL.
      const std::string address = platform::SjisToUtf8(app_.settings().http_address);
      const bool v6 = address.find(':') != std::string::npos;
      std::fprintf(stderr, "%s: serving HTTP on http://%s%s%s:%u/ (playlist /playlist.m3u)\n", kName, v6 ? "[" : "",
                   address.c_str(), v6 ? "]" : "", app_.GetHttpPort());
      if (!IsLoopbackAddress(address)) {
        std::fprintf(stderr,
                     "%s: the HTTP server is open to the network on port %u: watching needs the view token "
                     "and every change the control token ('pelkan-cli http url')\n",
                     kName, app_.GetHttpPort());
      }
    }
    start_ = platform::TickCount();
    return true;
  }

  // What decides the service filter: each row's service and components. The filter is applied
  // again when this changes (a new transport stream, a new service, a new PMT version).
  std::string ServiceLayout() const {
    std::string layout;
    for (const ServiceRowTable::Row& row : rows_.Rows()) {
      layout += std::to_string(row.service_id) + ":" + row.cells[4] + ";";
    }
    return layout;
  }

  // --service: waits for the tables and keeps only the chosen services. nullopt to go on, else
  // the exit code.
  std::optional<int> FilterServices() {
    if (o_.services.empty()) return std::nullopt;
    if (!RunUntil(loop_, kTablesTimeoutMs, [&] { return rows_.ComponentsComplete(); })) {
      if (SignalGuard::Interrupted()) return 0;
      std::fprintf(stderr, "%s: the PAT and PMTs of the stream did not arrive within %u s\n", kName,
                   kTablesTimeoutMs / 1000);
      return 1;
    }
    for (uint16_t id : o_.services) {
      if (!window_.FindService(id)) std::fprintf(stderr, "%s: service %u is not in the stream\n", kName, id);
    }
    if (!window_.KeepOnlyServices(o_.services)) {
      std::fprintf(stderr, "%s: none of the chosen services is in the stream\n", kName);
      return 1;
    }
    filtered_layout_ = ServiceLayout();
    // Packets already routed with the old filter are out of the processor after the next block.
    const uint64_t fed = app_.BlocksFed();
    if (!RunUntil(loop_, kTablesTimeoutMs, [&] { return app_.BlocksFed() > fed + 1; })) {
      if (SignalGuard::Interrupted()) return 0;
      std::fprintf(stderr, "%s: the stream stopped before the service filter took effect\n", kName);
      return 1;
    }
    return std::nullopt;
  }

  bool StartRecording() {
    recording_ = !o_.record.empty();
    manual_recording_ = recording_;
    if (!recording_) return true;
    Settings& cs = app_.settings();
    std::string path = o_.record;
    if (IsDirectory(o_.record)) {
      cs.rec_autofilename = 1;
      cs.rec_autopath = *platform::Utf8ToSjisExact(o_.record);  // checked with the options
      path.clear();
    }
    if (o_.limit_in_minutes) cs.rec_time = static_cast<int>(o_.limit_ms / 60000);
    if (o_.dropout_wait) cs.dropout_wait = *o_.dropout_wait;
    if (!app_.ToggleRecording(false, path, std::nullopt, o_.force)) {
      std::fprintf(
          stderr, "%s: cannot record: %s%s\n", kName, app_.GetLastError().c_str(),
          !path.empty() && !o_.force && std::filesystem::exists(path) ? " (--force replaces it)" : "");
      return false;
    }
    if (o_.limit_ms > 0 && !o_.limit_in_minutes) app_.ArmStopTimer(static_cast<uint32_t>(o_.limit_ms));
    std::fprintf(stderr, "%s: recording to %s\n", kName, OneLineText(app_.GetRecordingPath()).c_str());
    return true;
  }

  bool StartSending() {
    if (o_.send_host.empty()) return true;
    Settings& cs = app_.settings();
    cs.network_address = platform::Utf8ToSjis(o_.send_host);
    cs.network_port = o_.send_port;
    if (o_.send_size) cs.network_send_size = static_cast<int>(*o_.send_size);
    if (!app_.ToggleSending(false)) {
      std::fprintf(stderr, "%s: cannot send: %s\n", kName, app_.GetLastError().c_str());
      return false;
    }
    return true;
  }

  // How long the loop may sleep: a second at most, until the service rows, the time limit. The
  // session's heartbeat wakes it meanwhile.
  uint32_t Wait(uint32_t now) const {
    uint32_t wait = 1000;
    if (o_.print_services) wait = SoonerDue(wait, now, start_, kServicesWaitMs);
    if (o_.limit_ms > 0) {
      wait = SoonerDue(wait, now, start_, o_.limit_ms);
      if (recording_) wait = SoonerDue(wait, now, start_, o_.limit_ms + 2000);
    }
    return wait;
  }

  // A change of transport stream switches the filter off and new services arrive checked: the
  // chosen services are applied again once the new tables are complete.
  void RefilterServices() {
    if (o_.services.empty() || !rows_.ComponentsComplete() || ServiceLayout() == filtered_layout_) return;
    if (!window_.KeepOnlyServices(o_.services)) {
      std::fprintf(stderr, "%s: none of the chosen services is in the new stream; recording and sending stay paused\n",
                   kName);
    }
    filtered_layout_ = ServiceLayout();
  }

  // Printed once every row shows its components, or with what has arrived after a few seconds
  // (a service without elementary streams never gets any).
  void PrintServicesWhenChanged(uint32_t now) {
    if (o_.print_services && rows_.Changes() != printed_services_ && !rows_.Rows().empty() &&
        (rows_.ComponentsComplete() || now - start_ >= kServicesWaitMs)) {
      printed_services_ = rows_.Changes();
      printer_.Services(rows_);
    }
  }

  // The manual recording stopped by its timer, or by the low-disk stop (which has told why).
  // False when the capture ends with it; the reservations keep it going.
  bool RecordingEnded(int* result) {
    manual_recording_ = false;
    if (messages_.last_text == status_text::kLowDiskStop || messages_.last_text == status_text::kWriteErrorStop ||
        messages_.last_text == status_text::kTunerLostStop) {
      *result = 1;
      if (!app_.GetLastError().empty()) std::fprintf(stderr, "%s: %s\n", kName, app_.GetLastError().c_str());
    }
    if (!session_.schedule()) return false;
    std::fprintf(stderr, "%s: the recording has ended; capturing goes on for the reservations\n", kName);
    return true;
  }

  // The status of the session's heartbeat (which drives the recording's stop timer and the
  // low-disk check) is printed at its first refresh status_every_ms after the last line.
  void PrintStatusWhenDue(const StatusSnapshot& status) {
    if (!printing_) return;
    const uint32_t now = platform::TickCount();
    if (now - last_print_ < o_.status_every_ms) return;
    last_print_ = now;
    printer_.Status(WithGuide(status));
  }

  // Until Ctrl-C, the time limit or the end of the recording. Returns the exit code so far.
  int Loop() {
    int result = 0;
    printing_ = true;
    last_print_ = platform::TickCount();
    for (;;) {
      // Sleeps until a task comes (the heartbeat, the filtering window's or the scheduler's work),
      // Ctrl-C, or the next thing due.
      loop_.RunOnce(Wait(platform::TickCount()));
      const uint32_t now = platform::TickCount();
      if (SignalGuard::Interrupted()) break;
      RefilterServices();
      PrintServicesWhenChanged(now);
      if (ScheduledCapture* schedule = session_.schedule()) printer_.ScheduleChanges(schedule->scheduler());
      if (manual_recording_ && !app_.IsRecording() && !RecordingEnded(&result)) break;
      if (o_.limit_ms > 0 && now - start_ >= o_.limit_ms) {
        // A recording ends with its own timer at the heartbeat's status refresh, within 2 s.
        if (!recording_ || now - start_ >= o_.limit_ms + 2000) break;
      }
    }
    printing_ = false;
    return result;
  }

  // The status, with the guide's when it cannot be written.
  StatusSnapshot WithGuide(StatusSnapshot status) const {
    status.guide = session_.GuideStatusText();
    return status;
  }

  // Disconnects, prints the last status and the recording's check, closes the reservations.
  int Finish(int result) {
    const uint64_t received = app_.device()->GetStatistics().total_bytes;
    const bool was_recording = app_.IsRecording();
    app_.Disconnect();
    // The recording's last part is written when it stops; a failure there spoils it as well.
    if (was_recording && messages_.last_text == status_text::kWriteErrorStop) {
      result = 1;
      std::fprintf(stderr, "%s: %s\n", kName, app_.GetLastError().c_str());
    }
    printer_.Status(WithGuide(app_.RefreshStatus()));
    if (recording_ && app_.GetLastRecording()) {
      std::fprintf(stderr, "%s: recording checked: %s\n", kName,
                   CapturePrinter::SummaryText(*app_.GetLastRecording()).c_str());
    }
    if (ScheduledCapture* schedule = session_.schedule()) {
      // A scheduled recording still open is closed here; its reservation stays in the file.
      if (!session_.End()) {
        std::fprintf(stderr, "%s: cannot write the reservation file\n", kName);
        result = 1;
      }
      // Each failed reservation was told when it failed. A run stopped by a signal (the recorder
      // service stopped, Ctrl-C) has done what was asked and exits 0; one that ran its given
      // time exits 1 so that a script sees the failure.
      if (front_.failed && !SignalGuard::Interrupted()) result = 1;
      printer_.ScheduleChanges(schedule->scheduler());
    }
    session_.End();
    // The command after the last recording runs to its end first; Ctrl-C leaves it running.
    session_.hooks().runner().WaitIdle([] { return SignalGuard::Interrupted(); });
    if (SignalGuard::Interrupted()) std::fprintf(stderr, "%s: interrupted; disconnected\n", kName);
    if (received == 0) {
      // Streaming started but the endpoint never delivered: as good as a failed start.
      std::fprintf(stderr, "%s: no data arrived from endpoint 0x%02X (see 'pelkan-cli devices' and --in)\n",
                   kName, *o_.in_address);
      return 1;
    }
    return result;
  }

  const CaptureOptions& o_;
  LoopDispatcher loop_;
  StderrMessages messages_;
  StderrFront front_;
  // Before the session: its filtering window shows the rows until the end.
  ServiceRowTable rows_;
  CaptureSession session_;
  CaptureApp& app_;
  ServiceFilterWindow& window_;
  CapturePrinter printer_;
  std::optional<SignalGuard> signals_;
  uint32_t start_ = 0;
  // While the loop runs, the status is printed when due.
  bool printing_ = false;
  uint32_t last_print_ = 0;
  std::string filtered_layout_;
  uint64_t printed_services_ = 0;
  bool recording_ = false;
  bool manual_recording_ = false;
};

}  // namespace

int RunCapture(int argc, char** argv) {
  CaptureOptions o;
  if (const auto exit_code = ParseCaptureOptions(argc, argv, &o)) return *exit_code;
  Settings settings;
  LoadSettings(SettingsPath(), platform::Utf8ToSjisExact(HomeFolder()).value_or(std::string()), &settings);
  std::unique_ptr<core::CDTV_EzUSBFX2> device = OpenDevice(settings, o);
  if (!device) return 1;
  CaptureRun run(o, settings, std::move(device));
  return run.Run();
}

}  // namespace pelkan::cli
