// pelkan-cli: the headless front-end of Pelkan, for servers, scripts and tests.
#include <cstdio>
#include <cstring>

#include "cli/cli_commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"inspect", pelkan::cli::RunInspect, "describe a transport-stream file (services, programmes, clock)"},
    {"generate", pelkan::cli::RunGenerate, "write a synthetic ISDB broadcast to a file"},
    {"devices", pelkan::cli::RunDevices, "list capture devices and their bulk endpoints"},
    {"capture", pelkan::cli::RunCapture, "capture from a tuner: record, send, filter, schedule"},
    {"schedule", pelkan::cli::RunSchedule, "list, add or remove recording reservations"},
    {"check", pelkan::cli::RunCheck, "count dropped, damaged and scrambled packets of recorded files"},
    {"epg", pelkan::cli::RunEpg, "the programme guide (epg.sqlite) as a table, JSON or XMLTV"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "Usage: pelkan-cli COMMAND [OPTIONS]\n"
               "Captures, records and inspects ISDB transport streams from EZ-USB FX2 tuners.\n\n"
               "Commands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out, "\nRun 'pelkan-cli COMMAND --help' for the options of one command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "pelkan-cli: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return 2;
}
