// pelkan-cli: the headless front-end of Pelkan, for servers, scripts and tests.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/home_folder.h"
#include "cli/cli_commands.h"
#include "cli/option_parser.h"

namespace {

// Takes a leading "--home DIR" (or "--home=DIR") off the arguments; nullopt when there is none.
// Sets `*missing` when --home has no value.
std::optional<std::string> TakeHome(int* argc, char** argv, bool* missing) {
  if (*argc < 2) return std::nullopt;
  const std::string first = argv[1];
  size_t taken = 0;
  std::string value;
  if (first == "--home") {
    if (*argc < 3) {
      *missing = true;
      return std::nullopt;
    }
    value = argv[2];
    taken = 2;
  } else if (first.rfind("--home=", 0) == 0) {
    value = first.substr(7);
    taken = 1;
  } else {
    return std::nullopt;
  }
  for (int i = 1; i + static_cast<int>(taken) <= *argc; ++i) argv[i] = argv[i + taken];
  *argc -= static_cast<int>(taken);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelkan::cli;
  // Past a file-size limit (RLIMIT_FSIZE) a write fails with EFBIG instead of the signal ending
  // the process: the recording then stops through its write-error path, whole packets and a
  // finished report.
  std::signal(SIGXFSZ, SIG_IGN);

  // The files (pelkan.ini, schedule.ini, epg.sqlite) live in the home of --home or PELKAN_HOME, as
  // for the desktop program and the recorder service; without either, in the current directory.
  bool home_missing = false;
  const std::optional<std::string> flag = TakeHome(&argc, argv, &home_missing);
  if (home_missing || (flag && flag->empty())) {
    std::fprintf(stderr, "pelkan-cli: --home needs a folder\n");
    return 2;
  }
  const pelkan::Home home = pelkan::CliHome(pelkan::HomeInputsFromEnvironment(flag));
  if (home.source != pelkan::HomeSource::kCurrentDirectory) {
    struct stat st {};
    if (::stat(home.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "pelkan-cli: the home %s (%s) is not a folder\n", home.dir.c_str(),
                   home.source == pelkan::HomeSource::kFlag ? "--home" : "PELKAN_HOME");
      return 2;
    }
    pelkan::SetHomeFolder(home.dir);
  }
  OptionParser parser("pelkan-cli",
                      "Usage: pelkan-cli COMMAND [OPTIONS]\n"
                      "       pelkan-cli --home DIR COMMAND [OPTIONS]\n"
                      "       pelkan-cli --version\n"
                      "Captures, records and inspects ISDB transport streams from EZ-USB FX2 tuners.\n\n"
                      "Commands:\n",
                      "\nRun 'pelkan-cli COMMAND --help' for the options of one command.\n", 13);
  parser.Command("inspect", "describe a transport-stream file (services, programmes, clock)", RunInspect);
  parser.Command("generate", "write a synthetic ISDB broadcast to a file", RunGenerate);
  parser.Command("devices", "list capture devices and their bulk endpoints", RunDevices);
  parser.Command("capture", "capture from a tuner: record, send, filter, schedule", RunCapture);
  parser.Command("schedule", "list, add or remove recording reservations", RunSchedule);
  parser.Command("rule", "automatic reservation rules (自動予約) over the programme guide", RunRule);
  parser.Command("check", "count dropped, damaged and scrambled packets of recorded files", RunCheck);
  parser.Command("epg", "the programme guide (epg.sqlite) as a table, JSON or XMLTV", RunEpg);
  parser.Command("hook", "tries the command run after each recording (REC_END_COMMAND)", RunHook);
  parser.Command("wake", "shows, sets or clears the computer's wake alarm for the next reservation", RunWake);
  parser.Command("service", "status, start or stop the recorder service (pelkan-recorder.service)", RunService);
  parser.Command("recordings", "the catalogue of recordings (録画済み): list, show, protect, delete, scan", RunRecordings);
  parser.Command("disk", "the recording folders' space: what the next reservations need, what would go", RunDisk);
  parser.Command("http", "the web page's address with its token, and the tokens' renewal", RunHttp);
  parser.Text("\nOptions:\n");
  // Taken off before the command is parsed (above); listed here for the help.
  parser.Text("  --home DIR the folder of pelkan.ini, schedule.ini and epg.sqlite (given before the\n"
              "             command; default: PELKAN_HOME, else the current directory)\n");
  parser.Info("--version", "print the version (pelkan-cli " PELKAN_VERSION ") and exit",
              [](std::FILE* out) { std::fprintf(out, "pelkan-cli %s\n", PELKAN_VERSION); });
  // "pelkan-cli help" as well as --help.
  std::string help = "--help";
  if (argc >= 2 && std::string(argv[1]) == "help") argv[1] = help.data();
  return parser.Parse(argc - 1, argv + 1).value_or(0);
}
