// pelkan-cli inspect: runs a transport-stream file through the processor with PSI and EPG decoding
// and prints what the capture contains.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "app/json_text.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "cli/stream_feed.h"
#include "base/capture_stats.h"
#include "base/mjd_time.h"
#include "info/programme_text.h"
#include "platform/broadcast_text.h"
#include "ts/stream_check.h"
#include "ts/ts_processor.h"

namespace pelkan::cli {
namespace {

struct ServiceInfo {
  uint16_t service_id = 0;
  std::optional<uint16_t> pmt_pid;
  std::string name;      // Shift-JIS, as broadcast
  std::string provider;  // Shift-JIS, as broadcast
  std::vector<ComponentEntry> components;
};

struct SatelliteInfo {
  uint16_t transport_stream_id;
  SatelliteDelivery delivery;
};

// Everything the processor reported about the stream, texts in Shift-JIS as the processor gives them.
struct Report {
  std::optional<uint16_t> transport_stream_id;
  std::optional<uint16_t> network_id;
  std::string network_name;
  std::vector<uint16_t> pat_order;
  std::map<uint16_t, ServiceInfo> services;
  std::vector<SatelliteInfo> satellites;
  std::optional<MjdTime> clock;
  std::vector<ProgrammeEvent> events;

  ServiceInfo& Service(uint16_t id) {
    ServiceInfo& s = services[id];
    s.service_id = id;
    return s;
  }
  // What the processor forgot at a change of transport stream.
  void ForgetTables() {
    network_id.reset();
    network_name.clear();
    pat_order.clear();
    services.clear();
    satellites.clear();
  }
};

// A text of a fixed field, up to its NUL.
std::string FieldText(const char* sjis, size_t max) {
  return std::string(sjis, strnlen(sjis, max));
}

void OnEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
  auto& r = *static_cast<Report*>(user);
  const auto id = static_cast<uint16_t>(param);
  switch (type) {
    case EVENT_STREAM_RESET:
      if (count == 0) {
        if (r.transport_stream_id && *r.transport_stream_id != id) r.ForgetTables();
        r.transport_stream_id = id;
      }
      break;
    case EVENT_PROGRAM_LIST: {
      r.transport_stream_id = id;
      r.pat_order.clear();
      for (uint32_t i = 0; i < count; ++i) {
        ProgramListEntry e;
        std::memcpy(&e, data + i * sizeof e, sizeof e);
        r.Service(e.program_number).pmt_pid = e.pmt_pid;
        r.pat_order.push_back(e.program_number);
      }
      break;
    }
    case EVENT_COMPONENT_LIST: {
      ServiceInfo& s = r.Service(id);
      s.components.resize(count);
      if (count) std::memcpy(s.components.data(), data, count * sizeof(ComponentEntry));
      break;
    }
    case EVENT_NETWORK_NAME:
      if (count == 0 || !r.network_id) {
        r.network_id = id;
        r.network_name = FieldText(reinterpret_cast<const char*>(data), 21);
      }
      break;
    case EVENT_SATELLITE_DELIVERY: {
      SatelliteInfo info{static_cast<uint16_t>(count), {}};
      std::memcpy(&info.delivery, data, sizeof info.delivery);
      for (auto& s : r.satellites) {
        if (s.transport_stream_id == info.transport_stream_id) {
          s = info;
          return;
        }
      }
      r.satellites.push_back(info);
      break;
    }
    case EVENT_BROADCAST_TIME: {
      BroadcastTime t;
      std::memcpy(&t, data, sizeof t);
      r.clock = MjdTime{t.date, t.seconds};
      break;
    }
    case EVENT_SERVICE_NAME: {
      ServiceNames n;
      std::memcpy(&n, data, sizeof n);
      ServiceInfo& s = r.Service(id);
      s.name = FieldText(n.service_name, sizeof n.service_name);
      s.provider = FieldText(n.provider_name, sizeof n.provider_name);
      break;
    }
    default:
      break;
  }
}

std::string FormatTime(uint32_t day, uint32_t second, char separator) {
  int y, mo, d, h, mi, s;
  MjdToDate(day, &y, &mo, &d);
  SecondsToHms(second, &h, &mi, &s);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d", y, mo, d, separator, h, mi, s);
  return buf;
}

const char* KindName(uint8_t kind) {
  switch (kind) {
    case EVENT_KIND_PF_ACTUAL: return "present_following";
    case EVENT_KIND_PF_OTHER: return "present_following_other";
    case EVENT_KIND_SCHEDULE_ACTUAL: return "schedule";
    case EVENT_KIND_SCHEDULE_OTHER: return "schedule_other";
    default: return "unknown";
  }
}

std::string Json(const std::string& s) {
  return JsonString(s);
}

std::string Num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", v);
  return buf;
}

// Services in PAT order, then those known only from the SDT or PMTs.
std::vector<const ServiceInfo*> OrderedServices(const Report& r) {
  std::vector<const ServiceInfo*> out;
  for (uint16_t id : r.pat_order) out.push_back(&r.services.at(id));
  for (const auto& [id, s] : r.services) {
    bool listed = false;
    for (uint16_t p : r.pat_order) listed = listed || p == id;
    if (!listed) out.push_back(&s);
  }
  return out;
}

struct Counters {
  uint32_t packet_size;
  uint64_t packets;
  uint32_t sync_losses, continuity_errors, scrambled_packets;
  uint32_t dropped_packets;  // by the packet checker, as `check` counts them
};

void PrintJson(FILE* out, const Counters& c, const Report& r, platform::SymbolForm symbols) {
  auto text = [symbols](const std::string& sjis) { return Json(platform::BroadcastToUtf8(sjis, symbols)); };
  std::string j = "{";
  j += "\"packet_size\":" + std::to_string(c.packet_size);
  j += ",\"packets\":" + std::to_string(c.packets);
  j += ",\"sync_losses\":" + std::to_string(c.sync_losses);
  j += ",\"continuity_errors\":" + std::to_string(c.continuity_errors);
  j += ",\"dropped_packets\":" + std::to_string(c.dropped_packets);
  j += ",\"scrambled_packets\":" + std::to_string(c.scrambled_packets);
  j += ",\"transport_stream_id\":" + (r.transport_stream_id ? std::to_string(*r.transport_stream_id) : "null");
  j += ",\"network\":";
  j += r.network_id
           ? "{\"network_id\":" + std::to_string(*r.network_id) + ",\"name\":" + text(r.network_name) + "}"
           : std::string("null");
  j += ",\"services\":[";
  bool first = true;
  for (const ServiceInfo* s : OrderedServices(r)) {
    j += first ? "" : ",";
    first = false;
    j += "{\"service_id\":" + std::to_string(s->service_id);
    j += ",\"pmt_pid\":" + (s->pmt_pid ? std::to_string(*s->pmt_pid) : "null");
    j += ",\"name\":" + text(s->name) + ",\"provider\":" + text(s->provider) + ",\"components\":[";
    for (size_t i = 0; i < s->components.size(); ++i) {
      j += i ? "," : "";
      j += "{\"stream_type\":" + std::to_string(s->components[i].stream_type) +
           ",\"pid\":" + std::to_string(s->components[i].elementary_pid) + "}";
    }
    j += "]}";
  }
  j += "],\"satellite\":[";
  for (size_t i = 0; i < r.satellites.size(); ++i) {
    const SatelliteDelivery& d = r.satellites[i].delivery;
    j += i ? "," : "";
    j += "{\"transport_stream_id\":" + std::to_string(r.satellites[i].transport_stream_id) +
         ",\"frequency\":" + Num(d.frequency) + ",\"orbital_position\":" + Num(d.orbital_position) +
         ",\"west_east_flag\":" + std::to_string(d.west_east_flag) + ",\"polarisation\":" +
         std::to_string(d.polarisation) + ",\"modulation\":" + std::to_string(d.modulation) +
         ",\"symbol_rate\":" + Num(d.symbol_rate) + ",\"fec_inner\":" + std::to_string(d.fec_inner) + "}";
  }
  j += "],\"clock\":" + (r.clock ? Json(FormatTime(r.clock->date, r.clock->seconds, 'T')) : std::string("null"));
  j += ",\"events\":[";
  for (size_t i = 0; i < r.events.size(); ++i) {
    const ProgrammeEvent& e = r.events[i];
    j += i ? "," : "";
    j += "{\"service_id\":" + std::to_string(e.service_id) + ",\"event_id\":" + std::to_string(e.event_id) +
         ",\"kind\":" + Json(KindName(e.kind)) + ",\"version\":" + std::to_string(e.version) +
         ",\"start\":" + Json(FormatTime(e.start_day, e.start_second, 'T')) + ",\"duration\":" +
         (e.duration == kUndefinedDuration ? std::string("null") : std::to_string(e.duration)) +
         ",\"title\":" + text(FieldText(e.title, sizeof e.title)) +
         ",\"description\":" + text(FieldText(e.description, sizeof e.description)) +
         ",\"video_component_type\":" + std::to_string(e.video_component_type) +
         ",\"audio_component_type\":" + std::to_string(e.audio_component_type) + "}";
  }
  j += "]}\n";
  std::fputs(j.c_str(), out);
}

void PrintText(FILE* out, const char* name, const Counters& c, const Report& r,
               platform::SymbolForm symbols) {
  auto text = [symbols](const std::string& sjis) { return platform::BroadcastToUtf8(sjis, symbols); };
  std::fprintf(out, "File:              %s\n", OneLineText(name).c_str());
  std::fprintf(out, "Packet size:       %u\n", c.packet_size);
  std::fprintf(out, "Packets:           %llu\n", static_cast<unsigned long long>(c.packets));
  std::fprintf(out, "Sync losses:       %u\n", c.sync_losses);
  std::fprintf(out, "Dropped packets:   %u\n", c.dropped_packets);
  std::fprintf(out, "Continuity breaks at unit starts: %u\n", c.continuity_errors);
  std::fprintf(out, "Scrambled packets: %u\n", c.scrambled_packets);
  if (r.transport_stream_id) {
    std::fprintf(out, "Transport stream:  0x%04X (%u)\n", *r.transport_stream_id, *r.transport_stream_id);
  } else {
    std::fprintf(out, "Transport stream:  (no PAT)\n");
  }
  if (r.network_id) {
    std::fprintf(out, "Network:           0x%04X (%u) \"%s\"\n", *r.network_id, *r.network_id,
                 text(r.network_name).c_str());
  } else {
    std::fprintf(out, "Network:           (no NIT)\n");
  }
  if (r.clock) {
    std::fprintf(out, "Broadcast clock:   %s JST\n", FormatTime(r.clock->date, r.clock->seconds, ' ').c_str());
  } else {
    std::fprintf(out, "Broadcast clock:   (no time table)\n");
  }
  const auto services = OrderedServices(r);
  std::fprintf(out, "Services:          %zu\n", services.size());
  for (const ServiceInfo* s : services) {
    std::fprintf(out, "  service 0x%04X (%u)", s->service_id, s->service_id);
    if (s->pmt_pid) std::fprintf(out, "  PMT PID 0x%04X", *s->pmt_pid);
    std::fprintf(out, "  \"%s\"  provider \"%s\"\n", text(s->name).c_str(), text(s->provider).c_str());
    for (const ComponentEntry& e : s->components) {
      std::fprintf(out, "    stream_type 0x%02X  PID 0x%04X\n", e.stream_type, e.elementary_pid);
    }
  }
  if (!r.satellites.empty()) {
    std::fprintf(out, "Satellite delivery:\n");
    for (const SatelliteInfo& s : r.satellites) {
      const SatelliteDelivery& d = s.delivery;
      if (d.frequency == 0 && d.orbital_position == 0 && d.symbol_rate == 0) {
        std::fprintf(out, "  TS 0x%04X  (no satellite delivery descriptor)\n", s.transport_stream_id);
        continue;
      }
      std::fprintf(out,
                   "  TS 0x%04X  frequency %.2f  orbit %.1f %s  polarisation %u  modulation %u  symbol rate %.4f  "
                   "FEC %u\n",
                   s.transport_stream_id, d.frequency, d.orbital_position, d.west_east_flag ? "E" : "W",
                   d.polarisation, d.modulation, d.symbol_rate, d.fec_inner);
    }
  }
  std::fprintf(out, "Programme events:  %zu\n", r.events.size());
  for (const ProgrammeEvent& e : r.events) {
    // The same programme text as the filtering window's, on one line, then the description.
    constexpr uint32_t kLine = PT_START_DATE | PT_START_TIME | PT_END_TIME | PT_COMPONENTS | PT_TITLE | PT_TITLE_MARKS;
    std::fprintf(out, "  service 0x%04X  event 0x%04X  %-17s v%-2u %s\n", e.service_id, e.event_id,
                 KindName(e.kind), e.version, OneLineText(FormatProgrammeTextUtf8(kLine, e, symbols)).c_str());
    if (e.description[0])
      std::fprintf(out, "     %s\n", FormatProgrammeTextUtf8(PT_TEXT, e, symbols).c_str());
  }
}

}  // namespace

int RunInspect(int argc, char** argv) {
  bool json = false;
  platform::SymbolForm symbols = platform::SymbolForm::kSymbols;
  std::string file;
  OptionParser options(
      "pelkan-cli inspect",
      "Usage: pelkan-cli inspect [--json] [--plain-symbols] FILE.ts\n"
      "Describes a captured transport stream: packet size and error counters, the transport stream,\n"
      "network, services with their components, satellite delivery, the broadcast clock and the\n"
      "programme events. FILE '-' reads standard input. Texts are printed in UTF-8.\n",
      {}, 19);
  options.Flag("--json", "print one JSON object instead of text", &json);
  options.Flag("--plain-symbols", "print the broadcast's symbols in their plain forms ([字] for 🈑)",
               [&symbols] { symbols = platform::SymbolForm::kPlain; });
  options.Positionals("FILE.ts", 1, 1, [&file](const std::string& name) {
    file = name;
    return std::string();
  });
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const char* path = file.c_str();

  const bool use_stdin = std::strcmp(path, "-") == 0;
  FILE* in = use_stdin ? stdin : std::fopen(path, "rb");
  if (!in) {
    std::fprintf(stderr, "pelkan-cli inspect: cannot open '%s': %s\n", path, std::strerror(errno));
    return 1;
  }

  Report report;
  CaptureStats stats;
  Counters counters{};
  bool read_error = false;
  uint64_t bytes_read = 0;
  {
    TsProcessor proc;
    proc.SetDecodePsi(1);
    proc.SetProcessEpg(1);
    proc.SetCountDrops(1);
    proc.SetPacketEvents(0);
    proc.SetEventHandler(OnEvent, &report);
    read_error = !FeedStream(in, proc, stats, &bytes_read);
    report.events = proc.event_store().Snapshot();
    counters = {stats.packet_size.load(), proc.packet_count(), stats.sync_losses.load(),
                stats.continuity_errors.load(), stats.scrambled_packets.load(), stats.dropped_packets.load()};
  }
  if (!use_stdin) std::fclose(in);
  const char* name = use_stdin ? "(standard input)" : path;
  if (read_error) {
    std::fprintf(stderr, "pelkan-cli inspect: read error on %s\n", name);
    return 1;
  }
  const std::string not_a_stream = NotAStreamText(counters.packets, counters.packet_size, bytes_read);
  if (!not_a_stream.empty()) {
    std::fprintf(stderr, "pelkan-cli inspect: %s %s\n", name, not_a_stream.c_str());
    return 1;
  }
  if (json) {
    PrintJson(stdout, counters, report, symbols);
  } else {
    PrintText(stdout, name, counters, report, symbols);
  }
  return 0;
}

}  // namespace pelkan::cli
