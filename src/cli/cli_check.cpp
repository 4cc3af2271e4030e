// pelkan-cli check: how whole recorded files are, PID by PID.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "app/json_text.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "output/recording_report.h"
#include "ts/stream_check.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli check";

// The gaps of the recording's report beside `file` (FILE.err), where the tuner was away; none
// when there is no report.
std::vector<uint64_t> ReportedGaps(const std::string& file) {
  std::ifstream in(file + ".err");
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return RecordingReport::GapOffsets(text.str());
}

std::string CountsJson(const PidCounts& c) {
  return "\"packets\":" + std::to_string(c.packets) + ",\"drop\":" + std::to_string(c.drop) +
         ",\"error\":" + std::to_string(c.error) + ",\"scrambled\":" + std::to_string(c.scrambled);
}

void PrintJson(const std::string& name, const StreamCheck& c, size_t gaps) {
  std::string j = "{\"file\":" + JsonString(name) + ",\"packet_size\":" + std::to_string(c.packet_size()) +
                  ",\"sync_losses\":" + std::to_string(c.sync_losses());
  if (gaps > 0) j += ",\"gaps\":" + std::to_string(gaps);
  j += ",\"pids\":[";
  bool first = true;
  for (const auto& [pid, counts] : c.checker().Pids()) {
    if (!first) j += ",";
    first = false;
    j += "{\"pid\":" + std::to_string(pid) + "," + CountsJson(counts) +
         ",\"kind\":" + JsonString(PidContentName(c.checker().Content(pid))) + "}";
  }
  j += "],\"totals\":{" + CountsJson(c.checker().Totals()) + "}";
  if (c.trailing_bytes() > 0) j += ",\"trailing_bytes\":" + std::to_string(c.trailing_bytes());
  j += "}\n";
  std::fputs(j.c_str(), stdout);
}

void PrintText(const std::string& name, const StreamCheck& c, size_t gaps) {
  std::printf("file         %s\npacket size  %u\nsync losses  %u\n", OneLineText(name).c_str(), c.packet_size(),
              c.sync_losses());
  if (gaps > 0) {
    std::printf("gaps         %zu, from %s.err (the tuner was away; not counted as drops)\n", gaps,
                OneLineText(name).c_str());
  }
  if (c.bytes() == 0) {
    std::printf("no packets: the file is empty\n");
  } else if (c.checker().packets_checked() == 0) {
    std::printf("no run of 188, 192 or 204-byte packets found\n");
  }
  if (c.trailing_bytes() > 0) {
    std::printf("%u trailing bytes after the last whole packet (a torn packet)\n", c.trailing_bytes());
  }
  for (const std::string& line : PidTableLines(c.checker())) std::printf("%s\n", line.c_str());
}

}  // namespace

int RunCheck(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> files;
  OptionParser options(
      kName,
      "Usage: pelkan-cli check [--json] FILE...\n"
      "Checks recorded transport-stream files (188, 192 or 204-byte packets; '-' reads standard\n"
      "input) and prints, per file, the packet size, the sync losses and one line per PID\n"
      "(null packets aside) with its packets, the packets dropped (read from continuity_counter),\n"
      "those with the transport error indicator and the scrambled ones, then the totals. The\n"
      "counts are those of the recording's report (NAME.ts.err). Bytes after the last whole\n"
      "packet (a torn last packet) are told as \"N trailing bytes\". The gaps that report lists\n"
      "(the tuner was away) are taken from it and told; their lost packets are no drops.\n\n",
      "\nExit codes: 0 every file is whole, 1 a packet was dropped or in error or the sync was\n"
      "lost (or a file holds no packets, an empty file too, or ends in a torn packet), 2 bad\n"
      "arguments or a file that cannot be read.\n",
      11);
  options.Flag("--json",
               "one JSON object per file:\n"
               "{\"file\", \"packet_size\", \"sync_losses\", \"pids\": [{\"pid\", \"packets\", \"drop\",\n"
               "\"error\", \"scrambled\", \"kind\"}], \"totals\": {\"packets\", \"drop\", \"error\",\n"
               "\"scrambled\"}, \"trailing_bytes\" and \"gaps\" (only when there are some)}",
               &json);
  options.Positionals("FILE", 1, SIZE_MAX, [&files](const std::string& file) {
    files.push_back(file);
    return std::string();
  });
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;

  bool damaged = false;
  bool unreadable = false;
  for (size_t i = 0; i < files.size(); ++i) {
    const bool use_stdin = files[i] == "-";
    const std::string name = use_stdin ? "(standard input)" : files[i];
    StreamCheck check;
    std::vector<uint64_t> gaps = use_stdin ? std::vector<uint64_t>() : ReportedGaps(files[i]);
    const size_t gap_count = gaps.size();
    check.SetGaps(std::move(gaps));
    std::string error;
    if (!check.FeedFile(use_stdin ? "/dev/stdin" : files[i], &error)) {
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kName, name.c_str(), error.c_str());
      unreadable = true;
      continue;
    }
    const PidCounts totals = check.checker().Totals();
    // A file without a packet at all (empty, or bytes of something else) is no recording of a stream.
    const bool no_packets = check.checker().packets_checked() == 0;
    damaged = damaged || totals.drop > 0 || totals.error > 0 || check.sync_losses() > 0 || no_packets ||
              check.trailing_bytes() > 0;
    if (json) {
      PrintJson(name, check, gap_count);
    } else {
      if (i > 0) std::printf("\n");
      PrintText(name, check, gap_count);
    }
  }
  std::fflush(stdout);
  if (unreadable) return 2;
  return damaged ? 1 : 0;
}

}  // namespace pelkan::cli
