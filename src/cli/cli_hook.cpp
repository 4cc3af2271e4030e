#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/home_folder.h"
#include "app/recording_hooks.h"
#include "app/settings.h"
#include "cli/cli_commands.h"
#include "cli/option_parser.h"
#include "hooks/command_line.h"
#include "hooks/hook_runner.h"
#include "hooks/recording_outcome.h"
#include "platform/text_codec.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli hook";

// Runs REC_END_COMMAND once, as after a recording, and waits for it.
int Test(int argc, char** argv) {
  std::string report;
  OptionParser parser(kName,
                      "Usage: pelkan-cli hook test [REPORT]\n"
                      "Runs REC_END_COMMAND of pelkan.ini once and waits for it: with the values of the\n"
                      "last recording (or missed reservation), or of the recording whose report\n"
                      "(NAME.ts.err) is given. Its output and exit status are shown.\n");
  parser.Positionals("REPORT", 0, 1, [&report](const std::string& v) {
    report = v;
    return std::string();
  });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  Settings settings;
  LoadSettings(SettingsPath(), platform::Utf8ToSjisExact(HomeFolder()).value_or(std::string()), &settings);
  const hooks::CommandLine command = hooks::ParseCommandLine(platform::SjisToUtf8(settings.rec_end_command));
  if (!command.error.empty()) {
    std::fprintf(stderr, "%s: REC_END_COMMAND cannot be run: %s\n", kName, command.error.c_str());
    return 1;
  }
  if (command.argv.empty()) {
    std::fprintf(stderr, "%s: REC_END_COMMAND is not set in %s\n", kName, SettingsPath().c_str());
    return 1;
  }
  std::vector<std::string> env;
  if (!report.empty()) {
    hooks::RecordingOutcome outcome;
    outcome.kind = "manual";
    if (!hooks::ReadReportFile(report, &outcome)) {
      std::fprintf(stderr, "%s: %s is no recording report that can be read\n", kName, report.c_str());
      return 1;
    }
    env = hooks::OutcomeEnvironment(outcome);
  } else {
    std::ifstream in(LastRecordingValuesPath(), std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    env = hooks::ParseEnvironmentLines(text.str());
    if (env.empty()) {
      std::fprintf(stderr, "%s: no recording has ended yet (%s); give a report\n", kName,
                   LastRecordingValuesPath().c_str());
      return 1;
    }
  }
  hooks::HookRunner runner([](const std::string& line) { std::fprintf(stderr, "%s: %s\n", kName, line.c_str()); },
                           static_cast<uint32_t>(settings.rec_end_command_limit) * 60 * 1000);
  runner.Run(command.argv, env, "REC_END_COMMAND");
  return runner.WaitIdle().value_or(1) == 0 ? 0 : 1;
}

}  // namespace

int RunHook(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli hook test [REPORT]\n"
                      "The command run after each recording (REC_END_COMMAND of pelkan.ini).\n",
                      {}, 10);
  parser.Command("test", "runs it once on the last recording's values or those of REPORT", Test);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
