#include <cstdio>
#include <string>

#include "app/recorder_service.h"
#include "cli/cli_commands.h"
#include "cli/option_parser.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli service";

// The unit's state line; false (after the line on stderr) when the user manager or the unit is absent.
bool Available(const RecorderService& service, RecorderUnitState* state) {
  *state = service.Query();
  if (state->reachable && state->installed) return true;
  std::fprintf(stderr, "%s: %s\n", kName, state->error.c_str());
  return false;
}

int Status(int argc, char** argv) {
  OptionParser parser(kName, "Usage: pelkan-cli service status\nThe recorder service's state.\n\n");
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const RecorderService service;
  RecorderUnitState state;
  if (!Available(service, &state)) return 1;
  std::printf("%s\n", RecorderStateLine(service.unit(), state).c_str());
  return 0;
}

int Start(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli service start\nEnables the recorder service (it starts at each "
                      "login) and starts it.\n\n");
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const RecorderService service;
  RecorderUnitState state;
  if (!Available(service, &state)) return 1;
  std::string error;
  if (!service.Enable(&error) || !service.Start(&error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  std::printf("%s\n", RecorderStateLine(service.unit(), service.Query()).c_str());
  return 0;
}

int Stop(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli service stop\nStops the recorder service (a running recording "
                      "ends complete) and waits\nuntil it has let go of the tuner; it stays enabled for "
                      "the next login.\n\n");
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const RecorderService service;
  RecorderUnitState state;
  if (!Available(service, &state)) return 1;
  std::string error;
  if (!service.Stop(&error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  std::printf("%s\n", RecorderStateLine(service.unit(), service.Query()).c_str());
  return 0;
}

}  // namespace

int RunService(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli service status|start|stop\n"
                      "The recorder service (pelkan-recorder.service, a user unit) through systemd's user\n"
                      "manager. It and the desktop program cannot both hold the tuner. Exits 1 where the\n"
                      "user manager or the unit is absent.\n\n",
                      {}, 10);
  parser.Command("status", "its state: active, inactive, failed, ... (enabled or not)", Status);
  parser.Command("start", "enables it and starts it: it records the reservations of schedule.ini", Start);
  parser.Command("stop", "stops it, e.g. to connect the desktop program to the tuner", Stop);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
