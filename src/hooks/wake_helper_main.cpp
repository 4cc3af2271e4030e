// pelkan-wake-helper: the one privileged piece of Pelkan, run through pkexec (polkit action
// io.github.pelkan.wake-alarm). It only sets or clears the real-time clock's wake alarm and tells
// what the clock holds afterwards; it reads nothing of the caller's but its arguments.
//   pelkan-wake-helper set EPOCH   sets the alarm (0 is written first, then the time)
//   pelkan-wake-helper clear       clears it
//   pelkan-wake-helper show        prints it
// Prints "wakealarm EPOCH" or "wakealarm none". Exit 0 done, 1 the clock could not be written or
// read, 2 bad arguments or a refused time (past, or more than 30 days ahead).
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hooks/wake_alarm.h"

namespace {

// The alarm file. The test build alone takes PELKAN_WAKEALARM_FILE instead, and never the real one.
std::string AlarmPath() {
#ifdef PELKAN_WAKE_HELPER_TEST
  const char* path = std::getenv("PELKAN_WAKEALARM_FILE");
  return path != nullptr ? path : "";
#else
  return "/sys/class/rtc/rtc0/wakealarm";
#endif
}

int Usage() {
  std::fprintf(stderr, "usage: pelkan-wake-helper set EPOCH | clear | show\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using pelkan::hooks::ReadWakeAlarm;
  using pelkan::hooks::WriteWakeAlarm;
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::string path = AlarmPath();
  if (path.empty()) {
    std::fprintf(stderr, "pelkan-wake-helper: the test build needs PELKAN_WAKEALARM_FILE\n");
    return 2;
  }
  std::optional<int64_t> held;
  std::string error;
  bool done = false;
  if (command == "show" && argc == 2) {
    done = ReadWakeAlarm(path, &held, &error);
  } else if (command == "clear" && argc == 2) {
    done = WriteWakeAlarm(path, std::nullopt, ::time(nullptr), &held, &error);
  } else if (command == "set" && argc == 3) {
    char* end = nullptr;
    const long long at = std::strtoll(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || at <= 0) return Usage();
    const int64_t now = ::time(nullptr);
    if (at <= now || at - now > pelkan::hooks::kWakeAlarmMaxAhead) {
      std::fprintf(stderr, "pelkan-wake-helper: refused: %s\n",
                   at <= now ? "the time has passed" : "the time is more than 30 days ahead");
      return 2;
    }
    done = WriteWakeAlarm(path, at, now, &held, &error);
  } else {
    return Usage();
  }
  if (!done) {
    std::fprintf(stderr, "pelkan-wake-helper: %s\n", error.c_str());
    return 1;
  }
  if (held) {
    std::printf("wakealarm %lld\n", static_cast<long long>(*held));
  } else {
    std::printf("wakealarm none\n");
  }
  return 0;
}
