#include "cli/capture_options.h"

#include "app/date_time_text.h"
#include "cli/option_parser.h"
#include "cli/programme_change_options.h"
#include "core/dtv_base.h"
#include "core/settings.h"
#include "usb/driver_config.h"

namespace pelkan::cli {

namespace {

// "ID,ID,...": each a service id; nothing empty between the commas.
bool ParseServices(const std::string& text, std::vector<uint16_t>* out) {
  size_t pos = 0;
  for (;;) {
    const size_t comma = text.find(',', pos);
    const auto v = ParseNumber(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos), 0xFFFF);
    if (!v) return false;
    out->push_back(static_cast<uint16_t>(*v));
    if (comma == std::string::npos) return true;
    pos = comma + 1;
  }
}

void DeclareDevice(OptionParser& p, CaptureOptions* o) {
  p.Number("--device N", "device index (default: the first device)", 0, 255, &o->device);
  p.Value("--in ADDR", "bulk IN endpoint, e.g. 0x86 (default: as the main window preselects)",
          [o](const std::string& text) -> std::string {
            const auto v = ParseNumber(text, 0xFF);
            if (!v || !(*v & 0x80)) return "is not a bulk IN endpoint (0x80-0xFF)";
            o->in_address = static_cast<uint32_t>(*v);
            return {};
          });
  p.Value("--out ADDR|none", "bulk OUT endpoint (default: none, or LAST_EP_OUT of pelkan.ini)",
          [o](const std::string& text) -> std::string {
            if (text == "none") {
              o->out_address = core::kNoEndpoint;
              return {};
            }
            const auto v = ParseNumber(text, 0x7F);
            if (!v) return "is not a bulk OUT endpoint (0x00-0x7F, or none)";
            o->out_address = static_cast<uint32_t>(*v);
            return {};
          });
  p.Flag("--init", "send the firmware initialisation writes (needs --out)", &o->initialise);
  p.Flag("--descramble", "pass the stream through B25Decoder.so", &o->descramble);
}

void DeclareRecording(OptionParser& p, CaptureOptions* o) {
  p.Value("--record FILE",
          "record to FILE; an existing folder gets an automatic cap-*.ts name\n"
          "(numbered cap-*-1.ts when the name is taken); an existing FILE is\n"
          "not replaced unless --force is given",
          [o](const std::string& path) {
            std::string problem = path.empty() ? "is not a file or folder name" : ShiftJisProblem(path);
            if (problem.empty()) o->record = path;
            return problem;
          });
  p.Flag("--force", "let --record replace an existing FILE", &o->force);
  auto limit = [o](bool minutes) {
    return OptionParser::NumberIn(1, minutes ? 35791 : 2147483, [o, minutes](uint64_t v) {
      o->limit_ms = v * (minutes ? 60000 : 1000);
      o->limit_in_minutes = minutes;
    });
  };
  p.Value("--minutes N", "stop after N minutes (the recording's stop timer when recording)", limit(true));
  p.Value("--seconds N", "stop after N seconds", limit(false));
  const SettingKey& wait = SettingKeyOf(&Settings::dropout_wait);
  p.Number("--dropout-wait MINUTES",
           "how long the recording waits for a tuner that dropped out before it\n"
           "ends as 'tuner lost' (default " +
               std::string(wait.name) + " of pelkan.ini, " + std::to_string(wait.default_number) +
               "; 0: until\n"
               "its stop time)",
           wait.min, wait.max, &o->dropout_wait);
}

void DeclareSending(OptionParser& p, CaptureOptions* o) {
  p.Value("--send HOST:PORT", "send the stream as UDP datagrams (IPv4)", [o](const std::string& text) -> std::string {
    const size_t colon = text.rfind(':');
    // A port past 65535 is taken here and refused by the sender, which names the port it got.
    const auto port = colon == std::string::npos || colon == 0 ? std::nullopt
                                                                : ParseNumber(text.substr(colon + 1), 0xFFFFFFFFu);
    if (!port) return "is not HOST:PORT";
    o->send_host = text.substr(0, colon);
    o->send_port = static_cast<int>(*port & 0x7FFFFFFF);
    return {};
  });
  p.Number("--send-size N",
           "datagram payload bytes (default NETWORK_SEND_SIZE, 32767; 0 = per packet)\n"
           "(numbers are decimal; hexadecimal with 0x, e.g. --in 0x86)",
           0, 0x7FFFFFFF, &o->send_size);
}

void DeclareHttp(OptionParser& p, CaptureOptions* o) {
  p.Value("--http [ADDR:]PORT",
          "serve the stream over HTTP on PORT (0: a free one, printed): /stream,\n"
          "/service/ID, /playlist.m3u, /guide.xml, /status, the recordings\n"
          "(/recordings.m3u, /recordings.json, /recordings/ID), the web page / and\n"
          "its API /api/...; on the loopback address\n"
          "127.0.0.1 unless ADDR (numeric, e.g. 0.0.0.0 or [::]) opens it to the network",
          [o](const std::string& text) -> std::string {
            const size_t colon = text.rfind(':');
            const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
            const auto port = ParseNumber(port_text, 0xFFFF);
            if (!port || colon == 0) return "is not [ADDR:]PORT with a port of 0-65535";
            o->http_port = static_cast<int>(*port);
            if (colon != std::string::npos) {
              std::string address = text.substr(0, colon);
              if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
                address = address.substr(1, address.size() - 2);
              }
              o->http_address = address;
            }
            return {};
          });
  const SettingKey& clients = SettingKeyOf(&Settings::http_max_clients);
  p.Number("--http-clients N",
           "stream clients of --http at once (default " + std::string(clients.name) + ", " +
               std::to_string(clients.default_number) + ")",
           clients.min, clients.max, &o->http_clients);
}

void DeclareServices(OptionParser& p, CaptureOptions* o) {
  p.Repeated("--service ID,...",
             "keep only these services (recording and sending begin once the\n"
             "PAT and PMTs have been seen and the filter is in place)",
             [o](const std::string& text) {
               return ParseServices(text, &o->services) ? std::string() : "is not a list of service ids";
             });
  p.Flag("--services",
         "print the service rows (id, name, current programme, PMT PID,\n"
         "components) once the tables have arrived and whenever they change",
         &o->print_services);
  p.Flag("--plain-symbols", "print the broadcast's symbols in their plain forms ([字] for 🈑)",
         [o] { o->symbols = platform::SymbolForm::kPlain; });
}

void DeclareOutput(OptionParser& p, CaptureOptions* o) {
  p.Flag("--epg",
         "fill the programme guide (epg.sqlite, see 'pelkan-cli epg') this run,\n"
         "as DECODE_PSI=1 and PROC_EPG=1 in [Pelkan_Q_PSI] of pelkan.ini do",
         &o->epg);
  p.Flag("--json", "print the status as JSON lines", &o->json);
  p.Value("--status-every N",
          "print the status every N seconds (default 1; the service's journal\n"
          "takes one a minute); the end of the capture prints it always",
          OptionParser::NumberIn(1, 86400, [o](uint64_t v) { o->status_every_ms = static_cast<uint32_t>(v) * 1000; }));
}

void DeclareSchedule(OptionParser& p, CaptureOptions* o) {
  p.Flag("--schedule",
         "also record every reservation of schedule.ini as it comes due (see\n"
         "'pelkan-cli schedule'); the capture goes on until Ctrl-C or the time\n"
         "limit; changes of 'pelkan-cli schedule' meanwhile are taken over, and\n"
         "schedule.ini is written as reservations end; a failed reservation makes\n"
         "the exit code 1 when the time limit ends the capture, not when a signal\n"
         "(Ctrl-C, SIGTERM, SIGHUP) stops it",
         &o->schedule);
  p.Value("--virtual-start \"YYYY-MM-DD HH:MM[:SS]\"",
          "virtual tuner only: the broadcast clock (JST) at its first byte\n"
          "(default: the current time in Japan)",
          [o](const std::string& text) -> std::string {
            const char* problem = nullptr;
            o->virtual_start = ParseDateTimeText(text.c_str(), &problem);
            return o->virtual_start ? std::string() : std::string(problem);
          });
  p.Number("--virtual-speed N",
           "virtual tuner only: deliver N times faster than real time (1-16).\n"
           "The reservations are looked at about once a second of real time, N\n"
           "seconds of the broadcast's clock: at N > 1 a recording may open up\n"
           "to N - 1 s late, so start margins below N s are not kept",
           1,
           usb::kMaxVirtualSpeed, &o->virtual_speed);
  p.Value("--virtual-rate BITS",
          "virtual tuner only: the synthetic broadcast's bit rate in bit/s, k and\n"
          "M suffixes allowed (default VIRTUAL_RATE of pelkan.ini, or 17M)",
          [o](const std::string& text) -> std::string {
            uint64_t rate = 0;
            if (!ParseBitRate(text.c_str(), &rate)) return "is not a bit rate";
            streamgen::GeneratorOptions probe;
            probe.bit_rate = rate;
            const std::string problem = streamgen::CheckGeneratorOptions(probe);
            if (!problem.empty()) return "is refused: " + problem;
            o->virtual_rate = rate;
            return {};
          });
  DeclareProgrammeChanges(p, "--virtual-", "virtual tuner only: ", &o->virtual_changes);
  p.Value("--virtual-dropout AT:FOR",
          "virtual tuner only: it leaves the bus AT seconds after streaming starts\n"
          "and is back FOR seconds later (default VIRTUAL_DROPOUT of pelkan.ini)",
          [o](const std::string& text) -> std::string {
            usb::DriverConfig::Dropout dropout;
            if (!usb::ParseVirtualDropout(text, &dropout)) return "is not AT:FOR in seconds (FOR at least 1)";
            o->virtual_dropout = dropout;
            return {};
          });
}

}  // namespace

OptionParser CaptureOptionParser(CaptureOptions* o) {
  OptionParser p(
      kCaptureName,
      "Usage: pelkan-cli capture [OPTIONS]\n"
      "Captures the transport stream of a tuner (see 'pelkan-cli devices'), optionally records it\n"
      "and sends it as UDP datagrams, and prints the status once a second until Ctrl-C or the\n"
      "time limit.\n\n",
      "\nWith PROC_EPG=1 in [Pelkan_Q_PSI] of pelkan.ini (or --epg) the programme guide (epg.sqlite,\n"
      "see 'pelkan-cli epg') is filled as well. Settings come from pelkan.ini in the current\n"
      "directory. Exit codes: 0 done, 1 a start failed (or the reservation file could not be\n"
      "written), 2 bad arguments.\n");
  DeclareDevice(p, o);
  DeclareRecording(p, o);
  DeclareSending(p, o);
  DeclareHttp(p, o);
  DeclareServices(p, o);
  DeclareOutput(p, o);
  DeclareSchedule(p, o);
  return p;
}

std::optional<int> ParseCaptureOptions(int argc, char** argv, CaptureOptions* o) {
  OptionParser parser = CaptureOptionParser(o);
  if (const auto exit_code = parser.Parse(argc, argv)) return exit_code;
  if (o->initialise && o->out_address && *o->out_address == core::kNoEndpoint)
    return parser.Fail("--init needs an OUT endpoint (--out)");
  if (!o->virtual_changes.empty()) {
    // Judged against the broadcast the virtual tuner will play: its start and its rate.
    streamgen::GeneratorOptions probe;
    probe.start_time = o->virtual_start ? *o->virtual_start : JapanTimeNow();
    if (o->virtual_rate) probe.bit_rate = *o->virtual_rate;
    probe.programme_changes = o->virtual_changes;
    probe.late_from_shown_start = true;  // as the virtual tuner plays them
    const std::string problem = ProgrammeChangesProblem("--virtual-", probe);
    if (!problem.empty()) return parser.Fail(problem);
  }
  return std::nullopt;
}

}  // namespace pelkan::cli
