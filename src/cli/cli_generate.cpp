// %s: writes a synthetic ISDB broadcast of a given length to a file or stdout.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "app/date_time_text.h"
#include "cli/option_parser.h"
#include "cli/programme_change_options.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan::cli {
namespace {

using streamgen::BroadcastGenerator;
using streamgen::Fault;
using streamgen::FaultKind;
using streamgen::GeneratorOptions;

constexpr char kName[] = "pelkan-cli generate";

bool ParseSeconds(const char* s, double* out) {
  if (*s == '\0') return false;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (*end != '\0' || !(v >= 0) || v > 1e7) return false;
  *out = v;
  return true;
}

// --start: "now", or a broadcast time (JST) read as every other command reads one, with a 'T'
// allowed between date and time; the empty text, or why the time is refused.
std::string ParseStart(const std::string& text, GeneratorOptions* o) {
  if (text == "now") {
    o->use_machine_clock = true;
    return std::string();
  }
  std::string spaced = text;
  if (spaced.size() > 10 && spaced[10] == 'T') spaced[10] = ' ';
  const char* problem = nullptr;
  const std::optional<MjdTime> start = ParseDateTimeText(spaced.c_str(), &problem);
  if (!start) return std::string(problem) + " (use 'YYYY-MM-DD HH:MM:SS' or 'now')";
  o->start_time = *start;
  return std::string();
}

bool ParseFault(const char* s, Fault* f) {
  const char* at = std::strchr(s, '@');
  if (at == nullptr) return false;
  const std::string kind(s, at);
  if (kind == "drop") f->kind = FaultKind::kDropPacket;
  else if (kind == "sync") f->kind = FaultKind::kBadSync;
  else if (kind == "crc") f->kind = FaultKind::kBadCrc;
  else return false;
  const auto packet = ParseNumber(at + 1, UINT64_MAX);
  if (packet) f->packet = *packet;
  return packet.has_value();
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr && f != stdout) std::fclose(f);
  }
};

}  // namespace

int RunGenerate(int argc, char** argv) {
  GeneratorOptions options;
  std::string output;
  double seconds = 10;
  bool quiet = false;
  OptionParser parser(kName,
                      "Usage: pelkan-cli generate -o FILE [OPTIONS]\n"
                      "Writes a synthetic ISDB broadcast (PAT, PMT, NIT, SDT, TOT/TDT, EIT, video, audio,\n"
                      "captions, data) of a given length. The same options always give the same bytes.\n\n",
                      {}, 25);
  // A check of the value by `parse`, refused with `problem`.
  auto check = [](auto parse, const char* problem) {
    return [parse, problem](const std::string& value) { return parse(value.c_str()) ? std::string() : problem; };
  };
  parser.Value("-o FILE", "output file; '-' writes to standard output", [&output](const std::string& value) {
    output = value;
    return std::string();
  });
  parser.Alias("--output", "-o");
  parser.Value("--seconds N", "length of the stream in seconds (default 10)",
               check([&seconds](const char* v) { return ParseSeconds(v, &seconds); }, "is not a number of seconds"));
  parser.Value("--rate BITS", "bit rate in bit/s, k and M suffixes allowed (default 17M)",
               check([&options](const char* v) { return ParseBitRate(v, &options.bit_rate); }, "is not a bit rate"));
  parser.Number("--packet-size N", "188, 192 or 204 (default 188)", 0, 1000, &options.packet_size);
  parser.Value("--start TIME", "'YYYY-MM-DD HH:MM:SS' (JST) or 'now' (default 2026-12-07 20:59:00)",
               [&options](const std::string& v) { return ParseStart(v, &options); });
  parser.Number("--seed N", "chooses programme titles and overruns (default 1)", 0, UINT64_MAX, &options.seed);
  parser.Number("--services N", "services per transport stream, 2 to 4 (default 3)", 0, 100, &options.service_count);
  parser.Flag("--satellite", "a BS multiplex instead of a terrestrial one", &options.satellite);
  parser.Number("--scramble SERVICE", "scramble the elementary streams of this service_id", 1, 0xFFFF,
                &options.scrambled_service);
  parser.Value("--channel-change S", "switch to a second transport stream after S seconds",
               check([&options](const char* v) { return ParseSeconds(v, &options.channel_change_seconds); },
                     "is not a number of seconds"));
  parser.Repeated("--fault KIND@PACKET", "inject a fault: drop, sync or crc at a packet slot (repeatable)",
                  check(
                      [&options](const char* v) {
                        Fault f;
                        if (!ParseFault(v, &f)) return false;
                        options.faults.push_back(f);
                        return true;
                      },
                      "is not a fault (use drop@N, sync@N or crc@N)"));
  DeclareProgrammeChanges(parser, "--", "", &options.programme_changes);
  options.late_from_shown_start = true;
  parser.Flag("-q, --quiet", "no summary on standard error", &quiet);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (output.empty()) return parser.Fail("an output file is needed (-o FILE, or -o - for stdout)");
  GeneratorOptions unchanged = options;
  unchanged.programme_changes.clear();
  std::string problem = streamgen::CheckGeneratorOptions(unchanged);
  if (problem.empty()) problem = ProgrammeChangesProblem("--", options);
  if (!problem.empty()) return parser.Fail(problem);

  std::unique_ptr<FILE, FileCloser> file(output == "-" ? stdout : std::fopen(output.c_str(), "wb"));
  if (!file) {
    std::fprintf(stderr, "%s: cannot create %s: %s\n", kName, output.c_str(), std::strerror(errno));
    return 1;
  }
  BroadcastGenerator generator(options);
  const uint64_t packets =
      static_cast<uint64_t>(seconds * static_cast<double>(options.bit_rate) / (8.0 * options.packet_size));
  uint64_t left = packets * options.packet_size;
  std::vector<uint8_t> buffer(options.packet_size * 5000u);
  while (left > 0) {
    const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
    generator.Read(buffer.data(), n);
    if (std::fwrite(buffer.data(), 1, n, file.get()) != n) {
      std::fprintf(stderr, "%s: writing %s failed: %s\n", kName, output.c_str(), std::strerror(errno));
      return 1;
    }
    left -= n;
  }
  if (std::fflush(file.get()) != 0) {
    std::fprintf(stderr, "%s: writing %s failed: %s\n", kName, output.c_str(), std::strerror(errno));
    return 1;
  }
  if (!quiet) {
    const GeneratorOptions& o = generator.Options();
    int y, mo, d;
    MjdToDate(o.start_time.date, &y, &mo, &d);
    std::fprintf(stderr, "%llu packets of %u bytes at %llu bit/s from %04d-%02d-%02d %02d:%02d:%02d JST\n",
                 static_cast<unsigned long long>(packets), o.packet_size,
                 static_cast<unsigned long long>(o.bit_rate), y, mo, d, o.start_time.seconds / 3600,
                 o.start_time.seconds / 60 % 60, o.start_time.seconds % 60);
    for (int i = 0; i < generator.MultiplexCount(); ++i) {
      const streamgen::MultiplexInfo& m = generator.Multiplex(i);
      if (i > 0) std::fprintf(stderr, "channel change after %.3f s:\n", o.channel_change_seconds);
      std::fprintf(stderr, "transport_stream_id 0x%04X, network 0x%04X %s\n", m.transport_stream_id,
                   m.network_id, m.network_name.c_str());
      for (const streamgen::ServiceInfo& s : m.services) {
        std::fprintf(stderr, "  service %u (PMT PID 0x%04X)%s %s\n", s.service_id, s.pmt_pid,
                     s.scrambled ? " scrambled" : "", s.name.c_str());
      }
    }
  }
  return 0;
}

}  // namespace pelkan::cli
