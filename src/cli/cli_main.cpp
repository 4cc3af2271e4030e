// pelkan-cli: the headless front-end of Pelkan, for servers, scripts and tests.
#include <csignal>
#include <cstdio>
#include <string>

#include "cli/cli_commands.h"
#include "cli/option_parser.h"

int main(int argc, char** argv) {
  using namespace pelkan::cli;
  // Past a file-size limit (RLIMIT_FSIZE) a write fails with EFBIG instead of the signal ending
  // the process: the recording then stops through its write-error path, whole packets and a
  // finished report.
  std::signal(SIGXFSZ, SIG_IGN);
  OptionParser parser("pelkan-cli",
                      "Usage: pelkan-cli COMMAND [OPTIONS]\n"
                      "       pelkan-cli --version\n"
                      "Captures, records and inspects ISDB transport streams from EZ-USB FX2 tuners.\n\n"
                      "Commands:\n",
                      "\nRun 'pelkan-cli COMMAND --help' for the options of one command.\n", 13);
  parser.Command("inspect", "describe a transport-stream file (services, programmes, clock)", RunInspect);
  parser.Command("generate", "write a synthetic ISDB broadcast to a file", RunGenerate);
  parser.Command("devices", "list capture devices and their bulk endpoints", RunDevices);
  parser.Command("capture", "capture from a tuner: record, send, filter, schedule", RunCapture);
  parser.Command("schedule", "list, add or remove recording reservations", RunSchedule);
  parser.Command("check", "count dropped, damaged and scrambled packets of recorded files", RunCheck);
  parser.Command("epg", "the programme guide (epg.sqlite) as a table, JSON or XMLTV", RunEpg);
  parser.Text("\nOptions:\n");
  parser.Info("--version", "print the version (pelkan-cli " PELKAN_VERSION ") and exit",
              [](std::FILE* out) { std::fprintf(out, "pelkan-cli %s\n", PELKAN_VERSION); });
  // "pelkan-cli help" as well as --help.
  std::string help = "--help";
  if (argc >= 2 && std::string(argv[1]) == "help") argv[1] = help.data();
  return parser.Parse(argc - 1, argv + 1).value_or(0);
}
