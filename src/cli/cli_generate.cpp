// pelkan-cli generate: writes a synthetic ISDB broadcast of a given length to a file or stdout.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan::cli {
namespace {

using streamgen::BroadcastGenerator;
using streamgen::Fault;
using streamgen::FaultKind;
using streamgen::GeneratorOptions;

void PrintGenerateUsage(FILE* out) {
  std::fprintf(out,
               "Usage: pelkan-cli generate -o FILE [OPTIONS]\n"
               "Writes a synthetic ISDB broadcast (PAT, PMT, NIT, SDT, TOT/TDT, EIT, video, audio,\n"
               "captions, data) of a given length. The same options always give the same bytes.\n\n"
               "  -o FILE                output file; '-' writes to standard output\n"
               "  --seconds N            length of the stream in seconds (default 10)\n"
               "  --rate BITS            bit rate in bit/s, k and M suffixes allowed (default 17M)\n"
               "  --packet-size N        188, 192 or 204 (default 188)\n"
               "  --start TIME           'YYYY-MM-DD HH:MM:SS' (JST) or 'now' (default 2026-12-07 20:59:00)\n"
               "  --seed N               chooses programme titles and overruns (default 1)\n"
               "  --services N           services per transport stream, 2 to 4 (default 3)\n"
               "  --satellite            a BS multiplex instead of a terrestrial one\n"
               "  --scramble SERVICE     scramble the elementary streams of this service_id\n"
               "  --channel-change S     switch to a second transport stream after S seconds\n"
               "  --fault KIND@PACKET    inject a fault: drop, sync or crc at a packet slot (repeatable)\n"
               "  -q, --quiet            no summary on standard error\n");
}

bool ParseUnsigned(const char* s, uint64_t* out) {
  if (s == nullptr || *s == '\0' || *s == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool ParseSeconds(const char* s, double* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (*end != '\0' || !(v >= 0) || v > 1e7) return false;
  *out = v;
  return true;
}

bool ParseRate(const char* s, uint64_t* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (*end == 'k' || *end == 'K') {
    v *= 1e3;
    ++end;
  } else if (*end == 'M' || *end == 'm') {
    v *= 1e6;
    ++end;
  }
  if (*end != '\0' || !(v > 0) || v > 1e10) return false;
  *out = static_cast<uint64_t>(v + 0.5);
  return true;
}

bool ParseStart(const char* s, GeneratorOptions* o) {
  if (std::strcmp(s, "now") == 0) {
    o->use_machine_clock = true;
    return true;
  }
  int y, mo, d, h, mi, sec;
  char sep;
  if (std::sscanf(s, "%4d-%2d-%2d%c%2d:%2d:%2d", &y, &mo, &d, &sep, &h, &mi, &sec) != 7) return false;
  if ((sep != ' ' && sep != 'T') || y < 1900 || y > 2150 || mo < 1 || mo > 12 || d < 1 || d > 31 ||
      h > 23 || mi > 59 || sec > 59 || h < 0 || mi < 0 || sec < 0) {
    return false;
  }
  o->start_time = MjdTime{MjdFromDate(y, mo, d), static_cast<uint32_t>(h * 3600 + mi * 60 + sec)};
  return true;
}

bool ParseFault(const char* s, Fault* f) {
  const char* at = std::strchr(s, '@');
  if (at == nullptr) return false;
  const std::string kind(s, at);
  if (kind == "drop") f->kind = FaultKind::kDropPacket;
  else if (kind == "sync") f->kind = FaultKind::kBadSync;
  else if (kind == "crc") f->kind = FaultKind::kBadCrc;
  else return false;
  return ParseUnsigned(at + 1, &f->packet);
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
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto bad = [&arg](const char* what) {
      std::fprintf(stderr, "pelkan-cli generate: %s for %s\n", what, arg.c_str());
      return 2;
    };
    uint64_t n = 0;
    if (arg == "-h" || arg == "--help") {
      PrintGenerateUsage(stdout);
      return 0;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
      continue;
    } else if (arg == "--satellite") {
      options.satellite = true;
      continue;
    }
    if (value == nullptr) return bad("missing value");
    ++i;
    if (arg == "-o" || arg == "--output") {
      output = value;
    } else if (arg == "--seconds") {
      if (!ParseSeconds(value, &seconds)) return bad("invalid number of seconds");
    } else if (arg == "--rate") {
      if (!ParseRate(value, &options.bit_rate)) return bad("invalid bit rate");
    } else if (arg == "--packet-size") {
      if (!ParseUnsigned(value, &n) || n > 1000) return bad("invalid packet size");
      options.packet_size = static_cast<uint32_t>(n);
    } else if (arg == "--start") {
      if (!ParseStart(value, &options)) return bad("invalid time (use 'YYYY-MM-DD HH:MM:SS' or 'now')");
    } else if (arg == "--seed") {
      if (!ParseUnsigned(value, &options.seed)) return bad("invalid seed");
    } else if (arg == "--services") {
      if (!ParseUnsigned(value, &n) || n > 100) return bad("invalid service count");
      options.service_count = static_cast<int>(n);
    } else if (arg == "--scramble") {
      if (!ParseUnsigned(value, &n) || n == 0 || n > 0xFFFF) return bad("invalid service_id");
      options.scrambled_service = static_cast<uint16_t>(n);
    } else if (arg == "--channel-change") {
      if (!ParseSeconds(value, &options.channel_change_seconds)) return bad("invalid number of seconds");
    } else if (arg == "--fault") {
      Fault f;
      if (!ParseFault(value, &f)) return bad("invalid fault (use drop@N, sync@N or crc@N)");
      options.faults.push_back(f);
    } else {
      std::fprintf(stderr, "pelkan-cli generate: unknown option %s\n", arg.c_str());
      PrintGenerateUsage(stderr);
      return 2;
    }
  }
  if (output.empty()) {
    std::fprintf(stderr, "pelkan-cli generate: an output file is needed (-o FILE, or -o - for stdout)\n");
    return 2;
  }
  const std::string problem = streamgen::CheckGeneratorOptions(options);
  if (!problem.empty()) {
    std::fprintf(stderr, "pelkan-cli generate: %s\n", problem.c_str());
    return 2;
  }

  std::unique_ptr<FILE, FileCloser> file(output == "-" ? stdout : std::fopen(output.c_str(), "wb"));
  if (!file) {
    std::fprintf(stderr, "pelkan-cli generate: cannot create %s: %s\n", output.c_str(), std::strerror(errno));
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
      std::fprintf(stderr, "pelkan-cli generate: writing %s failed: %s\n", output.c_str(), std::strerror(errno));
      return 1;
    }
    left -= n;
  }
  if (std::fflush(file.get()) != 0) {
    std::fprintf(stderr, "pelkan-cli generate: writing %s failed: %s\n", output.c_str(), std::strerror(errno));
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
