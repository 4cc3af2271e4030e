// pelkan-cli check: how whole recorded files are, PID by PID.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "app/json_text.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "hooks/recording_outcome.h"
#include "output/recording_report.h"
#include "ts/stream_check.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli check";

// What the recording's report beside a file (FILE.err) tells of it: the gaps, where the tuner was
// away, or why the report was not taken (another file's report, or another byte count).
struct ReportedGaps {
  std::vector<uint64_t> offsets;
  std::string ignored;  // why the report is not the file's own; empty when it is (or there is none)
};

ReportedGaps ReadReportedGaps(const std::string& file) {
  ReportedGaps gaps;
  std::ifstream in(file + ".err", std::ios::binary);
  if (!in) return gaps;
  std::ostringstream text;
  text << in.rdbuf();
  hooks::RecordingOutcome report;
  if (!hooks::ReadReportText(text.str(), &report)) return gaps;
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(file, error);
  const std::string own_name = std::filesystem::path(file).filename().string();
  const std::string named = std::filesystem::path(report.file).filename().string();
  if (named != own_name) {
    gaps.ignored = "it is the report of " + (named.empty() ? std::string("no file") : named);
  } else if (!error && report.bytes != size) {
    gaps.ignored = "it counts " + std::to_string(report.bytes) + " bytes, the file has " + std::to_string(size);
  } else {
    gaps.offsets = RecordingReport::GapOffsets(text.str());
  }
  return gaps;
}

std::string CountsJson(const PidCounts& c) {
  return "\"packets\":" + std::to_string(c.packets) + ",\"drop\":" + std::to_string(c.drop) +
         ",\"error\":" + std::to_string(c.error) + ",\"scrambled\":" + std::to_string(c.scrambled);
}

void PrintJson(const std::string& name, const StreamCheck& c, const ReportedGaps& gaps) {
  std::string j = "{\"file\":" + JsonString(name) + ",\"packet_size\":" + std::to_string(c.packet_size()) +
                  ",\"sync_losses\":" + std::to_string(c.sync_losses());
  if (!gaps.offsets.empty()) {
    j += ",\"gaps\":" + std::to_string(gaps.offsets.size()) + ",\"gap_offsets\":[";
    for (size_t i = 0; i < gaps.offsets.size(); ++i) {
      if (i > 0) j += ',';
      j += std::to_string(gaps.offsets[i]);
    }
    j += "]";
  }
  if (!gaps.ignored.empty()) j += ",\"report_ignored\":" + JsonString(gaps.ignored);
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

void PrintText(const std::string& name, const StreamCheck& c, const ReportedGaps& gaps) {
  std::printf("file         %s\npacket size  %u\nsync losses  %u\n", OneLineText(name).c_str(), c.packet_size(),
              c.sync_losses());
  if (!gaps.ignored.empty()) {
    std::printf("report       %s.err ignored: %s\n", OneLineText(name).c_str(), OneLineText(gaps.ignored).c_str());
  }
  if (!gaps.offsets.empty()) {
    std::printf("gaps         %zu, from %s.err (the tuner was away; not counted as drops)\n", gaps.offsets.size(),
                OneLineText(name).c_str());
    for (const uint64_t offset : gaps.offsets) {
      std::printf("gap          at offset %llu: the recording is not whole there\n",
                  static_cast<unsigned long long>(offset));
    }
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
      "(the tuner was away) are taken from it and told, each with its offset; their lost packets\n"
      "are no drops, but a file with a gap is not whole. A report that names another file or\n"
      "another byte count than the file's is ignored (a note says so).\n\n",
      "\nExit codes: 0 every file is whole, 1 a packet was dropped or in error, the sync was lost\n"
      "or the recording has a gap (or a file holds no packets, an empty file too, or ends in a\n"
      "torn packet), 2 bad arguments or a file that cannot be read.\n",
      11);
  options.Flag("--json",
               "one JSON object per file:\n"
               "{\"file\", \"packet_size\", \"sync_losses\", \"pids\": [{\"pid\", \"packets\", \"drop\",\n"
               "\"error\", \"scrambled\", \"kind\"}], \"totals\": {\"packets\", \"drop\", \"error\",\n"
               "\"scrambled\"}, \"trailing_bytes\", \"gaps\" with \"gap_offsets\" and\n"
               "\"report_ignored\" (why the report beside the file was ignored; each only when there\n"
               "is one)}",
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
    const ReportedGaps gaps = use_stdin ? ReportedGaps() : ReadReportedGaps(files[i]);
    check.SetGaps(gaps.offsets);
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
              check.trailing_bytes() > 0 || !gaps.offsets.empty();
    if (json) {
      PrintJson(name, check, gaps);
    } else {
      if (i > 0) std::printf("\n");
      PrintText(name, check, gaps);
    }
  }
  std::fflush(stdout);
  if (unreadable) return 2;
  return damaged ? 1 : 0;
}

}  // namespace pelkan::cli
