// pelkan-cli capture: the headless front-end of the capture application.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/capture_bindings.h"
#include "app/cli_args.h"
#include "app/cli_commands.h"
#include "app/date_time_text.h"
#include "app/device_list.h"
#include "app/headless_schedule.h"
#include "app/json_text.h"
#include "app/loop_dispatcher.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "guide/guide_collector.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"
#include "platform/clock.h"
#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {

namespace {

constexpr char kName[] = "pelkan-cli capture";
// How long the PAT and the PMTs may take to arrive before --service gives up.
constexpr uint32_t kTablesTimeoutMs = 15000;
// How long --services waits for every PMT before it prints the rows it has.
constexpr uint32_t kServicesWaitMs = 5000;

volatile std::sig_atomic_t g_interrupted = 0;
// Write end of the pipe that tells the signal watcher about a signal; -1 before the first capture.
// The pipe stays open for the life of the process, so a late signal never writes to a reused fd.
int g_signal_fd = -1;

void OnSignal(int) {
  g_interrupted = 1;
  const int saved = errno;
  const char byte = 1;
  if (g_signal_fd >= 0) (void)!::write(g_signal_fd, &byte, 1);
  errno = saved;
}

struct Options {
  int device = 0;
  std::optional<uint32_t> in_address;
  std::optional<uint32_t> out_address;
  bool initialise = false;
  bool descramble = false;
  std::string record;
  bool force = false;     // --record FILE may replace an existing file
  uint64_t limit_ms = 0;  // 0: until interrupted (or until the recording's stop)
  bool limit_in_minutes = false;
  std::string send;
  std::optional<uint32_t> send_size;
  std::vector<uint16_t> services;
  bool print_services = false;
  bool json = false;
  uint32_t status_every_ms = 1000;  // how often the status line is printed
  platform::SymbolForm symbols = platform::SymbolForm::kSymbols;
  bool schedule = false;
  std::optional<MjdTime> virtual_start;
  uint32_t virtual_speed = 1;
};

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "Usage: pelkan-cli capture [OPTIONS]\n"
      "Captures the transport stream of a tuner (see 'pelkan-cli devices'), optionally records it\n"
      "and sends it as UDP datagrams, and prints the status once a second until Ctrl-C or the\n"
      "time limit.\n\n"
      "  --device N         device index (default: the first device)\n"
      "  --in ADDR          bulk IN endpoint, e.g. 0x86 (default: as the main window preselects)\n"
      "  --out ADDR|none    bulk OUT endpoint (default: none, or LAST_EP_OUT of pelkan.ini)\n"
      "  --init             send the firmware initialisation writes (needs --out)\n"
      "  --descramble       pass the stream through B25Decoder.so\n"
      "  --record FILE      record to FILE; an existing folder gets an automatic cap-*.ts name\n"
      "                     (numbered cap-*-1.ts when the name is taken); an existing FILE is\n"
      "                     not replaced unless --force is given\n"
      "  --force            let --record replace an existing FILE\n"
      "  --minutes N        stop after N minutes (the recording's stop timer when recording)\n"
      "  --seconds N        stop after N seconds\n"
      "  --send HOST:PORT   send the stream as UDP datagrams (IPv4)\n"
      "  --send-size N      datagram payload bytes (default NETWORK_SEND_SIZE, 32767; 0 = per packet)\n"
      "                     (numbers are decimal; hexadecimal with 0x, e.g. --in 0x86)\n"
      "  --service ID,...   keep only these services (recording and sending begin once the\n"
      "                     PAT and PMTs have been seen and the filter is in place)\n"
      "  --services         print the service rows (id, name, current programme, PMT PID,\n"
      "                     components) once the tables have arrived and whenever they change\n"
      "  --plain-symbols    print the broadcast's symbols in their plain forms ([字] for 🈑)\n"
      "  --json             print the status as JSON lines\n"
      "  --status-every N   print the status every N seconds (default 1; the service's journal\n"
      "                     takes one a minute); the end of the capture prints it always\n"
      "  --schedule         also record every reservation of schedule.ini as it comes due (see\n"
      "                     'pelkan-cli schedule'); the capture goes on until Ctrl-C or the time\n"
      "                     limit; changes of 'pelkan-cli schedule' meanwhile are taken over, and\n"
      "                     schedule.ini is written as reservations end\n"
      "  --virtual-start \"YYYY-MM-DD HH:MM[:SS]\"\n"
      "                     virtual tuner only: the broadcast clock (JST) at its first byte\n"
      "                     (default: the current time in Japan)\n"
      "  --virtual-speed N  virtual tuner only: deliver N times faster than real time (1-16)\n\n"
      "With PROC_EPG=1 in pelkan.ini the programme guide (epg.sqlite, see 'pelkan-cli epg') is filled\n"
      "as well. Settings come from pelkan.ini in the current directory. Exit codes: 0 done, 1 a start\n"
      "failed (or the reservation file could not be written), 2 bad arguments.\n");
}

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out) {
  if (text == nullptr) return false;
  const auto v = ParseNumber(text, max);
  if (v) *out = *v;
  return v.has_value();
}

bool ParseServices(const std::string& text, std::vector<uint16_t>* out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    uint64_t v = 0;
    if (!ParseUnsigned(item.c_str(), 0xFFFF, &v)) return false;
    out->push_back(static_cast<uint16_t>(v));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return !out->empty();
}

// Returns 0 when the arguments are good, 2 (after a message) when not, -1 for --help.
int ParseOptions(int argc, char** argv, Options* o) {
  auto bad = [](const char* what, const char* value) {
    std::fprintf(stderr, "%s: bad %s '%s'\n", kName, what, value ? value : "");
    return 2;
  };
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    uint64_t v = 0;
    if (a == "--help" || a == "-h") return -1;
    if (a == "--device") {
      const char* t = value();
      if (!ParseUnsigned(t, 255, &v)) return bad("device index", t);
      o->device = static_cast<int>(v);
    } else if (a == "--in") {
      const char* t = value();
      if (!ParseUnsigned(t, 0xFF, &v) || !(v & 0x80)) return bad("IN endpoint", t);
      o->in_address = static_cast<uint32_t>(v);
    } else if (a == "--out") {
      const char* t = value();
      if (t != nullptr && std::strcmp(t, "none") == 0) {
        o->out_address = core::kNoEndpoint;
      } else if (!ParseUnsigned(t, 0x7F, &v)) {
        return bad("OUT endpoint", t);
      } else {
        o->out_address = static_cast<uint32_t>(v);
      }
    } else if (a == "--init") {
      o->initialise = true;
    } else if (a == "--descramble") {
      o->descramble = true;
    } else if (a == "--record") {
      const char* t = value();
      if (t == nullptr || *t == '\0') return bad("recording path", t);
      if (!SjisPath(kName, "--record", t)) return 2;
      o->record = t;
    } else if (a == "--force") {
      o->force = true;
    } else if (a == "--minutes" || a == "--seconds") {
      const char* t = value();
      const bool minutes = a == "--minutes";
      if (!ParseUnsigned(t, minutes ? 35791 : 2147483, &v) || v == 0)
        return bad(minutes ? "minutes" : "seconds", t);
      o->limit_ms = v * (minutes ? 60000 : 1000);
      o->limit_in_minutes = minutes;
    } else if (a == "--send") {
      const char* t = value();
      if (t == nullptr || std::strrchr(t, ':') == nullptr) return bad("destination (HOST:PORT)", t);
      o->send = t;
      const char* port = std::strrchr(t, ':') + 1;
      if (std::strrchr(t, ':') == t || !ParseUnsigned(port, 0xFFFFFFFFu, &v))
        return bad("destination (HOST:PORT)", t);
    } else if (a == "--send-size") {
      const char* t = value();
      if (!ParseUnsigned(t, 0x7FFFFFFF, &v)) return bad("datagram size", t);
      o->send_size = static_cast<uint32_t>(v);
    } else if (a == "--service") {
      const char* t = value();
      if (t == nullptr || !ParseServices(t, &o->services)) return bad("service list", t);
    } else if (a == "--services") {
      o->print_services = true;
    } else if (a == "--plain-symbols") {
      o->symbols = platform::SymbolForm::kPlain;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--status-every") {
      const char* t = value();
      if (!ParseUnsigned(t, 86400, &v) || v == 0) return bad("seconds (1-86400)", t);
      o->status_every_ms = static_cast<uint32_t>(v) * 1000;
    } else if (a == "--schedule") {
      o->schedule = true;
    } else if (a == "--virtual-start") {
      const char* t = value();
      const char* problem = nullptr;
      o->virtual_start = ParseDateTimeText(t, &problem);
      if (!o->virtual_start) {
        std::fprintf(stderr, "%s: --virtual-start '%s' %s\n", kName, t ? t : "", problem);
        return 2;
      }
    } else if (a == "--virtual-speed") {
      const char* t = value();
      if (!ParseUnsigned(t, usb::kMaxVirtualSpeed, &v) || v == 0) return bad("speed (1-16)", t);
      o->virtual_speed = static_cast<uint32_t>(v);
    } else {
      std::fprintf(stderr, "%s: unknown argument '%s'\n", kName, a.c_str());
      return 2;
    }
  }
  if (o->initialise && o->out_address && *o->out_address == core::kNoEndpoint) {
    std::fprintf(stderr, "%s: --init needs an OUT endpoint (--out)\n", kName);
    return 2;
  }
  return 0;
}

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

std::string OneLine(const std::string& sjis) {
  std::string s = platform::SjisToUtf8(sjis);
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s;
}

void PrintStatus(const StatusSnapshot& s, bool json) {
  if (json) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"time", &s.elapsed},
        {"transfers_ok", &s.transfers_ok},
        {"transfers_failed", &s.transfers_failed},
        {"rate", &s.rate},
        {"device", &s.device_status},
        {"buffer", &s.buffer},
        {"packet_size", &s.packet_size},
        {"sync_losses", &s.sync_losses},
        {"continuity_errors", &s.continuity},
        {"scrambled", &s.scrambled},
        {"clock", &s.clock},
        {"recording", &s.recording},
        {"free_space", &s.free_space},
        {"recording_time", &s.bar[1]},
        {"stop_timer", &s.bar[2]},
        {"sending", &s.sending},
        {"schedule", &s.bar[3]},
    };
    std::string line = "{";
    for (const auto& [key, value] : fields) {
      if (line.size() > 1) line += ",";
      line += JsonString(key) + ":" + JsonString(platform::SjisToUtf8(*value));
    }
    std::printf("%s}\n", line.c_str());
  } else {
    std::string line = "time " + s.elapsed + " | ok " + s.transfers_ok + " failed " + s.transfers_failed +
                       " | " + s.rate + " | buffer " + OneLine(s.buffer) + " | packet " + s.packet_size +
                       " sync " + s.sync_losses + " cc " + s.continuity + " scrambled " + s.scrambled;
    if (!s.device_status.empty()) line += " | " + OneLine(s.device_status);
    if (!s.clock.empty()) line += " | " + OneLine(s.clock);
    line += " | " + OneLine(s.recording);
    if (s.free_space != " ") line += " | " + OneLine(s.free_space);
    if (s.bar[1] != " ") line += " | " + OneLine(s.bar[1]);
    if (s.bar[2] != " ") line += " | " + OneLine(s.bar[2]);
    line += " | " + OneLine(s.sending);
    if (s.bar[3] != " ") line += " | " + OneLine(s.bar[3]);
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
}

// The service rows as the filtering window shows them: a "services: N" line and one line per row,
// or one JSON line {"services":[...]}.
void PrintServices(const ServiceRowTable& rows, bool json, platform::SymbolForm symbols) {
  if (json) {
    std::string line = "{\"services\":[";
    for (size_t i = 0; i < rows.Rows().size(); ++i) {
      const ServiceRowTable::Row& row = rows.Rows()[i];
      auto cell = [&row, symbols](int column) { return JsonString(ServiceCellUtf8(row, column, symbols)); };
      if (i > 0) line += ",";
      line += "{\"service_id\":" + std::to_string(row.service_id) +
              ",\"kept\":" + (row.checked ? "true" : "false") + ",\"name\":" + cell(1) +
              ",\"programme\":" + cell(2) + ",\"pmt_pid\":" + cell(3) + ",\"components\":" + cell(4) + "}";
    }
    std::printf("%s]}\n", line.c_str());
  } else {
    std::printf("services: %zu\n", rows.Rows().size());
    for (const std::string& line : rows.RenderUtf8(symbols)) std::printf("  %s\n", line.c_str());
  }
  std::fflush(stdout);
}

// What decides the service filter: each row's service and components. The filter is applied again
// when this changes (a new transport stream, a new service, a new PMT version).
std::string ServiceLayout(const ServiceRowTable& rows) {
  std::string layout;
  for (const ServiceRowTable::Row& row : rows.Rows()) {
    layout += std::to_string(row.service_id) + ":" + row.cells[4] + ";";
  }
  return layout;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Installs the Ctrl-C / termination / hang-up handlers for the capture's lifetime. A watcher thread, asleep
// in poll until the handler writes to its pipe, wakes the main loop, so that the loop need not
// poll the flag between its status lines.
class SignalGuard {
 public:
  explicit SignalGuard(LoopDispatcher& loop) : loop_(loop) {
    g_interrupted = 0;
    static int read_fd = -1;
    if (g_signal_fd < 0) {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_fd = fds[0];
        g_signal_fd = fds[1];
      }
    }
    if (read_fd >= 0) {
      Drain(read_fd);
      try {
        watcher_ = std::thread([this] { Watch(read_fd); });
      } catch (const std::system_error&) {
        // Without the watcher Ctrl-C is seen at the next status line.
      }
    }
    struct sigaction sa {};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
    // A closing terminal hangs up: the capture ends as cleanly as with Ctrl-C.
    sigaction(SIGHUP, &sa, &old_hup_);
  }
  ~SignalGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGHUP, &old_hup_, nullptr);
    if (watcher_.joinable()) {
      quit_.store(true);
      const char byte = 0;
      (void)!::write(g_signal_fd, &byte, 1);
      watcher_.join();
    }
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  static void Drain(int fd) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
  }
  void Watch(int fd) {
    while (!quit_.load()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
      Drain(fd);
      if (!quit_.load()) loop_.Wake();  // the handler has set g_interrupted
    }
  }

  LoopDispatcher& loop_;
  std::atomic<bool> quit_{false};
  std::thread watcher_;
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
  struct sigaction old_hup_ {};
};

// The smaller of `wait` and the milliseconds from `now` until `span` after `from`; `wait` once that
// time has passed.
uint32_t SoonerDue(uint32_t wait, uint32_t now, uint32_t from, uint64_t span) {
  const uint32_t elapsed = now - from;
  return elapsed < span ? static_cast<uint32_t>(std::min<uint64_t>(wait, span - elapsed)) : wait;
}

// What a recording's report says in one line: its totals and where the report is.
std::string SummaryText(const RecordingSummary& r) {
  return "packets " + std::to_string(r.packets) + ", drop " + std::to_string(r.drop) + ", error " +
         std::to_string(r.error) + ", scrambled " + std::to_string(r.scrambled) +
         (r.report_path.empty() ? std::string() : "; report " + r.report_path);
}

// Tells on stderr when a scheduled recording opens its file and when a reservation ends.
class ScheduleReport {
 public:
  // Compares the scheduler's state with the last call. Main-loop thread.
  void Update(RecordingScheduler& scheduler) {
    const std::string path = scheduler.ActiveOutputPath();
    if (!path.empty() && path != active_path_) {
      std::fprintf(stderr, "%s: scheduled recording to %s\n", kName, path.c_str());
    }
    active_path_ = path;
    const std::vector<FinishedRecording> finished = scheduler.FinishedRecordings();
    for (size_t i = reported_; i < finished.size(); ++i) {
      const uint32_t state = ItemState(finished[i].item);
      const char* how = state == ST_FINISHED ? "finished" : state == ST_CANCELLED ? "cancelled" : "failed";
      std::fprintf(stderr, "%s: reservation %s %s%s\n", kName,
                   platform::SjisToUtf8(ItemStartText(finished[i].item)).c_str(), how,
                   finished[i].summary ? (": " + SummaryText(*finished[i].summary)).c_str() : "");
    }
    reported_ = finished.size();
  }

 private:
  std::string active_path_;
  size_t reported_ = 0;
};

// Runs the loop until `done` is true, the time runs out or Ctrl-C; true when `done` came true.
template <typename Done>
bool RunUntil(LoopDispatcher& loop, uint32_t timeout_ms, Done done) {
  const uint32_t start = platform::TickCount();
  while (!done()) {
    if (g_interrupted || platform::TickCount() - start >= timeout_ms) return false;
    loop.RunFor(20);
  }
  return true;
}

}  // namespace

int RunCapture(int argc, char** argv) {
  Options o;
  if (const auto exit_code = UsageExit(ParseOptions(argc, argv, &o), PrintUsage)) return *exit_code;

  Settings settings;
  LoadSettings(SettingsPath(), CurrentDirectorySjis().value_or(std::string()), &settings);
  usb::DriverConfig config = DriverConfigFromSettings(settings);
  config.virtual_start = o.virtual_start;
  config.virtual_speed = o.virtual_speed;
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(config);
  if (!device->OpenDevice()) {
    std::fprintf(stderr, "%s: the device set cannot be opened\n", kName);
    return 1;
  }
  bool listed = false;
  for (const DeviceEntry& d : ListDevices(*device)) listed = listed || d.index == o.device;
  if (!listed) {
    std::fprintf(stderr, "%s: no capture device %d (see 'pelkan-cli devices')\n", kName, o.device);
    return 1;
  }
  const EndpointChoice endpoints =
      ListBulkEndpoints(*device, o.device, settings.last_ep_in, settings.last_ep_out);
  if (!o.in_address) {
    if (!endpoints.has_in) {
      std::fprintf(stderr, "%s: device %d has no bulk IN endpoint\n", kName, o.device);
      return 1;
    }
    o.in_address = endpoints.default_in;
  }
  if (!o.out_address) o.out_address = endpoints.default_out;

  LoopDispatcher loop;
  StderrMessages messages;
  CaptureApp app(&loop, &messages);
  CaptureSettings& cs = app.settings();
  cs.rec_autofilename = 0;
  cs.rec_autopath = settings.rec_autopath;
  cs.timer_period = settings.timer_period;
  cs.rec_time = 0;
  cs.network_address = settings.network_address;
  cs.network_port = settings.network_port;
  cs.network_send_size = settings.network_send_size;
  cs.last_channel = settings.last_channel;
  // The tables feed the status clock, the service filter and the programme information.
  cs.decode_psi = 1;
  cs.proc_epg = 1;
  cs.schedule_use_system_time = settings.schedule_use_system_time;
  app.SetDevice(std::move(device));

  ServiceRowTable rows;
  ServiceFilterWindow window(loop);
  window.SetView(&rows);
  ServiceFilterBinding binding(window, app);
  app.SetServiceInfoModel(&binding);
  // Declared before `unbind`, so that on every way out it is finished after the disconnect.
  std::optional<HeadlessSchedule> schedule;
  std::optional<GuideCollector> guide;
  if (settings.proc_epg != 0) {
    guide.emplace(GuidePath(), [](const std::string& notice) {
      std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(notice).c_str());
    });
    app.SetTableEventTap(&GuideCollector::OnTsEvent, &*guide);
  }
  if (o.schedule) schedule.emplace(app, loop, settings, SchedulePath());
  struct Unbind {
    CaptureApp& app;
    ~Unbind() {
      app.Disconnect();
      app.SetServiceInfoModel(nullptr);
    }
  } unbind{app};

  SignalGuard signals(loop);
  ConnectRequest request;
  request.device_index = o.device;
  request.in_address = o.in_address;
  request.out_address = o.out_address;
  request.initialise = o.initialise;
  request.descramble = o.descramble;
  if (!app.Connect(request)) {
    std::fprintf(stderr, "%s: cannot connect: %s\n", kName, app.GetLastError().c_str());
    return 1;
  }
  const uint32_t start = platform::TickCount();

  std::string filtered_layout;
  if (!o.services.empty()) {
    if (!RunUntil(loop, kTablesTimeoutMs, [&] { return rows.ComponentsComplete(); })) {
      if (g_interrupted) return 0;
      std::fprintf(stderr, "%s: the PAT and PMTs of the stream did not arrive within %u s\n", kName,
                   kTablesTimeoutMs / 1000);
      return 1;
    }
    for (uint16_t id : o.services) {
      if (!window.FindService(id)) std::fprintf(stderr, "%s: service %u is not in the stream\n", kName, id);
    }
    if (!window.KeepOnlyServices(o.services)) {
      std::fprintf(stderr, "%s: none of the chosen services is in the stream\n", kName);
      return 1;
    }
    filtered_layout = ServiceLayout(rows);
    // Packets already routed with the old filter are out of the processor after the next block.
    const uint64_t fed = app.BlocksFed();
    if (!RunUntil(loop, kTablesTimeoutMs, [&] { return app.BlocksFed() > fed + 1; })) {
      if (g_interrupted) return 0;
      std::fprintf(stderr, "%s: the stream stopped before the service filter took effect\n", kName);
      return 1;
    }
  }

  const bool recording = !o.record.empty();
  if (recording) {
    std::string path = o.record;
    if (IsDirectory(o.record)) {
      cs.rec_autofilename = 1;
      cs.rec_autopath = *platform::Utf8ToSjisExact(o.record);  // checked with the options
      path.clear();
    }
    if (o.limit_in_minutes) cs.rec_time = static_cast<int>(o.limit_ms / 60000);
    if (!app.ToggleRecording(false, path, std::nullopt, o.force)) {
      std::fprintf(
          stderr, "%s: cannot record: %s%s\n", kName, app.GetLastError().c_str(),
          !path.empty() && !o.force && std::filesystem::exists(path) ? " (--force replaces it)" : "");
      return 1;
    }
    if (o.limit_ms > 0 && !o.limit_in_minutes) app.ArmStopTimer(static_cast<uint32_t>(o.limit_ms));
    std::fprintf(stderr, "%s: recording to %s\n", kName, app.GetRecordingPath().c_str());
  }
  if (!o.send.empty()) {
    const size_t colon = o.send.rfind(':');
    cs.network_address = platform::Utf8ToSjis(o.send.substr(0, colon));
    cs.network_port = static_cast<int>(*ParseNumber(o.send.substr(colon + 1), 0xFFFFFFFFu) & 0x7FFFFFFF);
    if (o.send_size) cs.network_send_size = static_cast<int>(*o.send_size);
    if (!app.ToggleSending(false)) {
      std::fprintf(stderr, "%s: cannot send: %s\n", kName, app.GetLastError().c_str());
      return 1;
    }
  }

  int result = 0;
  // The status is refreshed every second (it drives the recording's stop timer and the low-disk
  // check) and printed every status_every_ms.
  uint32_t last_refresh = platform::TickCount();
  uint32_t last_print = last_refresh;
  uint64_t printed_services = 0;
  bool manual_recording = recording;
  ScheduleReport schedule_report;
  for (;;) {
    // Sleeps until a task comes (a status refresh, the filtering window's or the scheduler's
    // work), Ctrl-C, or the next thing due: the status line, the service rows, the time limit.
    uint32_t now = platform::TickCount();
    uint32_t wait = now - last_refresh >= 1000 ? 0 : 1000 - (now - last_refresh);
    if (o.print_services) wait = SoonerDue(wait, now, start, kServicesWaitMs);
    if (o.limit_ms > 0) {
      wait = SoonerDue(wait, now, start, o.limit_ms);
      if (recording) wait = SoonerDue(wait, now, start, o.limit_ms + 2000);
    }
    loop.RunOnce(wait);
    now = platform::TickCount();
    if (g_interrupted) break;
    // A change of transport stream switches the filter off and new services arrive checked: the
    // chosen services are applied again once the new tables are complete.
    if (!o.services.empty() && rows.ComponentsComplete() && ServiceLayout(rows) != filtered_layout) {
      if (!window.KeepOnlyServices(o.services)) {
        std::fprintf(stderr, "%s: none of the chosen services is in the new stream; nothing is filtered\n",
                     kName);
      }
      filtered_layout = ServiceLayout(rows);
    }
    // Printed once every row shows its components, or with what has arrived after a few seconds
    // (a service without elementary streams never gets any).
    if (o.print_services && rows.Changes() != printed_services && !rows.Rows().empty() &&
        (rows.ComponentsComplete() || now - start >= kServicesWaitMs)) {
      printed_services = rows.Changes();
      PrintServices(rows, o.json, o.symbols);
    }
    if (schedule) {
      schedule->Poll();
      schedule_report.Update(schedule->capture().scheduler());
    }
    if (manual_recording && !app.IsRecording()) {
      // Stopped by its timer, or by the low-disk stop (which has told why). The reservations
      // keep the capture going.
      manual_recording = false;
      if (messages.last_text == status_text::kLowDiskStop ||
          messages.last_text == status_text::kWriteErrorStop) {
        result = 1;
        if (!app.GetLastError().empty()) std::fprintf(stderr, "%s: %s\n", kName, app.GetLastError().c_str());
      }
      if (!schedule) break;
      std::fprintf(stderr, "%s: the recording has ended; capturing goes on for the reservations\n", kName);
    }
    if (o.limit_ms > 0 && now - start >= o.limit_ms) {
      // A recording ends with its own timer at a status refresh; without data there is none.
      if (!recording || now - start >= o.limit_ms + 2000) break;
    }
    if (now - last_refresh >= 1000) {
      last_refresh = now;
      const StatusSnapshot status = app.RefreshStatus();
      if (now - last_print >= o.status_every_ms - 500) {
        last_print = now;
        PrintStatus(status, o.json);
      }
    }
  }
  const uint64_t received = app.device()->GetStatistics().total_bytes;
  const bool was_recording = app.IsRecording();
  app.Disconnect();
  // The recording's last part is written when it stops; a failure there spoils it as well.
  if (was_recording && messages.last_text == status_text::kWriteErrorStop) {
    result = 1;
    std::fprintf(stderr, "%s: %s\n", kName, app.GetLastError().c_str());
  }
  PrintStatus(app.RefreshStatus(), o.json);
  if (recording && app.GetLastRecording()) {
    std::fprintf(stderr, "%s: recording checked: %s\n", kName, SummaryText(*app.GetLastRecording()).c_str());
  }
  if (schedule) {
    // A scheduled recording still open is closed here; its reservation stays in the file.
    if (!schedule->Finish()) result = 1;
    if (schedule->Failures() > 0) result = 1;
    schedule_report.Update(schedule->capture().scheduler());
    schedule.reset();
  }
  if (g_interrupted) std::fprintf(stderr, "%s: interrupted; disconnected\n", kName);
  if (received == 0) {
    // Streaming started but the endpoint never delivered: as good as a failed start.
    std::fprintf(stderr, "%s: no data arrived from endpoint 0x%02X (see 'pelkan-cli devices' and --in)\n",
                 kName, *o.in_address);
    return 1;
  }
  return result;
}

}  // namespace pelkan::cli
