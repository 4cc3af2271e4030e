#include "cli/offline_schedule.h"

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "app/home_folder.h"
#include "guide/programme_resolver.h"
#include "schedule/schedule_file.h"
#include "platform/text_codec.h"

namespace pelkan::cli {
namespace {

constexpr const char* kName = kScheduleCommandName;

}  // namespace

Settings LoadedSettings() {
  Settings settings;
  LoadSettings(SettingsPath(), platform::Utf8ToSjisExact(HomeFolder()).value_or(std::string()), &settings);
  return settings;
}

RecordingScheduler::PlannedList PlannedListOfFile() {
  RecordingScheduler::PlannedList planned;
  planned.items = LoadScheduleFile(SchedulePath());
  return ProgrammeResolver(GuidePath()).Resolve(std::move(planned));
}

OfflineSchedule::OfflineSchedule(ScheduledCapture::ConfirmFn confirm, bool change)
    : capture([](std::function<void()>) {}, std::move(confirm)) {
  capture.SetKeptAsideListener([](const std::string& path, const std::string& kept_as) {
    std::fprintf(stderr, "%s: %s\n", kName, KeptAsideText(path, kept_as).c_str());
  });
  capture.ApplySettings(settings);
  capture.scheduler().LoadSchedule(SchedulePath());
  if (!change) return;
  locked = capture.scheduler().LockScheduleFile(kLockWaitMs);
  if (locked) capture.scheduler().LoadSchedule();
}

OfflineSchedule::~OfflineSchedule() {
  capture.scheduler().UnlockScheduleFile();
}

bool OfflineSchedule::Locked() {
  if (!locked)
    std::fprintf(stderr, "%s: %s is locked by another process; try again\n", kName, SchedulePath().c_str());
  return locked;
}

}  // namespace pelkan::cli
