#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/home_folder.h"
#include "app/settings.h"
#include "cli/cli_commands.h"
#include "app/date_time_text.h"
#include "app/offline_schedule.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "hooks/recording_outcome.h"
#include "hooks/wake_alarm.h"
#include "hooks/wake_alarm_keeper.h"
#include "platform/text_codec.h"
#include "schedule/recording_plan.h"
#include "schedule/schedule_file.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli wake";
constexpr char kSystemAlarm[] = "/sys/class/rtc/rtc0/wakealarm";

// "2026-12-08T20:57:00+09:00" of seconds since the epoch: Japan's time, as the reservations.
std::string JapanText(int64_t epoch) {
  return hooks::JapanIso(hooks::JapanTimeOfEpoch(epoch));
}

// The next planned start of schedule.ini (margin included), seconds since the epoch: of every
// reservation, an event's (a rule's too) at the time the guide gives it.
std::optional<int64_t> NextStartOfFile(int64_t now) {
  return hooks::NextPlannedStart(PlannedListOfFile(), now);
}

// Why the alarm cannot be set here; empty when it can.
std::string Unavailable() {
  const char* path = std::getenv("PATH");
  return hooks::WakeAlarmUnavailable(kSystemAlarm, path != nullptr ? path : "/usr/bin:/bin");
}

}  // namespace

int RunWake(int argc, char** argv) {
  std::optional<MjdTime> at;
  bool clear = false;
  OptionParser parser(kName,
                      "Usage: pelkan-cli wake [--at \"YYYY-MM-DD HH:MM\" | --clear]\n"
                      "Shows the computer's wake alarm (the real-time clock's) and the one the next\n"
                      "reservation of schedule.ini asks for (of every reservation: an event's and a\n"
                      "rule's at the time the programme guide gives it); sets or clears it through\n"
                      "pkexec and the helper pelkan-wake-helper. Where it cannot be set (no real-time\n"
                      "clock, no pkexec) it says why and what it would set, and exits 1.\n\n",
                      {}, 29);
  parser.Value("--at \"YYYY-MM-DD HH:MM\"", "sets the alarm (Japan time, as the reservations), at most\n30 days ahead",
               [&at](const std::string& v) -> std::string {
                 const char* problem = nullptr;
                 at = ParseDateTimeText(v.c_str(), &problem);
                 return at ? "" : (problem != nullptr ? problem : "is not a date and time");
               });
  parser.Flag("--clear", "clears the alarm", &clear);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (at && clear) return parser.Fail("give --at or --clear, not both");
  const int64_t now = ::time(nullptr);
  const std::string unavailable = Unavailable();
  if (at || clear) {
    if (!unavailable.empty()) {
      std::fprintf(stderr, "%s: the wake alarm cannot be %s: %s\n", kName, at ? "set" : "cleared",
                   unavailable.c_str());
      return 1;
    }
    std::optional<int64_t> when;
    if (at) when = hooks::EpochOfJapanInstant(Instant(*at));
    std::optional<int64_t> held;
    std::string error;
    if (!hooks::WakeAlarmKeeper::SystemAccess().write(when, &held, &error)) {
      std::fprintf(stderr, "%s: the wake alarm cannot be %s: %s\n", kName, at ? "set" : "cleared", error.c_str());
      return 1;
    }
    std::printf("wake alarm: %s\n", held ? JapanText(*held).c_str() : "none");
    return 0;
  }
  // The plan is told even where the alarm cannot be read or set: what would be set.
  std::optional<int64_t> held;
  std::string error;
  const bool read = hooks::ReadWakeAlarm(kSystemAlarm, &held, &error);
  if (read) {
    std::printf("wake alarm: %s\n", held ? JapanText(*held).c_str() : "none");
  } else {
    std::printf("wake alarm: unknown (%s)\n", OneLineText(unavailable.empty() ? error : unavailable).c_str());
  }
  Settings settings;
  LoadSettings(SettingsPath(), platform::Utf8ToSjisExact(HomeFolder()).value_or(std::string()), &settings);
  const std::optional<int64_t> next = NextStartOfFile(now);
  const std::optional<int64_t> wanted =
      next ? std::optional<int64_t>(*next - int64_t{settings.wake_lead} * 60) : std::nullopt;
  if (next) {
    std::printf("next reservation: %s, wanted alarm %s (WAKE_LEAD %d min)\n", JapanText(*next).c_str(),
                JapanText(*wanted).c_str(), settings.wake_lead);
  } else {
    std::printf("next reservation: none\n");
  }
  if (!unavailable.empty()) {
    std::printf("the alarm cannot be set: %s (it would be set to %s)\n", unavailable.c_str(),
                wanted && *wanted > now ? JapanText(*wanted).c_str() : "none");
    return 1;
  }
  return read ? 0 : 1;
}

}  // namespace pelkan::cli
