#include <cstdio>
#include <functional>
#include <string>

#include "app/recorder_service.h"
#include "cli/cli_commands.h"
#include "cli/option_parser.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli service";

// What a subcommand does to the unit; false with the reason in `*error`.
using Action = std::function<bool(const RecorderService& service, std::string* error)>;

// A subcommand of `usage`: where the user manager and the unit are there, `act` and then the
// unit's state in one line; else, or when `act` fails, the reason on stderr and exit 1.
int Run(int argc, char** argv, const std::string& usage, const Action& act) {
  OptionParser parser(kName, usage + "\n");
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const RecorderService service;
  const RecorderUnitState state = service.Query();
  std::string error = state.error;
  if (!state.reachable || !state.installed || (act && !act(service, &error))) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  std::printf("%s\n", RecorderStateLine(service.unit(), act ? service.Query() : state).c_str());
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
  parser.Command("status", "its state: active, inactive, failed, ... (enabled or not)", [](int c, char** v) {
    return Run(c, v, "Usage: pelkan-cli service status\nThe recorder service's state.\n", nullptr);
  });
  parser.Command("start", "enables it and starts it: it records the reservations of schedule.ini", [](int c, char** v) {
    return Run(c, v,
               "Usage: pelkan-cli service start\n"
               "Enables the recorder service (it starts at each login) and starts it.\n",
               [](const RecorderService& service, std::string* error) {
                 return service.Enable(error) && service.Start(error);
               });
  });
  parser.Command("stop", "stops it, e.g. to connect the desktop program to the tuner", [](int c, char** v) {
    return Run(c, v,
               "Usage: pelkan-cli service stop\n"
               "Stops the recorder service (a running recording ends complete) and waits\n"
               "until it has let go of the tuner; it stays enabled for the next login.\n",
               [](const RecorderService& service, std::string* error) { return service.Stop(error); });
  });
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
