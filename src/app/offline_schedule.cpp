#include "app/offline_schedule.h"

#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "app/home_folder.h"
#include "guide/programme_resolver.h"
#include "schedule/schedule_file.h"
#include "platform/text_codec.h"

namespace pelkan {

Settings LoadedSettings(const std::string& path) {
  Settings settings;
  const std::string file = path.empty() ? SettingsPath() : path;
  const std::string folder = path.empty() ? HomeFolder() : std::filesystem::path(path).parent_path().string();
  LoadSettings(file, platform::Utf8ToSjisExact(folder).value_or(std::string()), &settings);
  return settings;
}

RecordingScheduler::PlannedList PlannedListOfFile(const std::string& schedule_path, const std::string& guide_path) {
  RecordingScheduler::PlannedList planned;
  planned.items = LoadScheduleFile(schedule_path.empty() ? SchedulePath() : schedule_path);
  return ProgrammeResolver(guide_path.empty() ? GuidePath() : guide_path).Resolve(std::move(planned));
}

OfflineSchedule::OfflineSchedule(ScheduledCapture::ConfirmFn confirm, bool change, TellFn tell_fn,
                                 uint32_t lock_wait_ms, const Files& files)
    : path(files.schedule.empty() ? SchedulePath() : files.schedule),
      settings(LoadedSettings(files.settings)),
      capture([](std::function<void()>) {}, std::move(confirm)),
      tell(std::move(tell_fn)) {
  if (!tell) tell = [](const std::string&) {};
  capture.SetKeptAsideListener(
      [this](const std::string& path, const std::string& kept_as) { tell(KeptAsideText(path, kept_as)); });
  capture.ApplySettings(settings);
  capture.scheduler().LoadSchedule(path);
  if (!change) return;
  locked = capture.scheduler().LockScheduleFile(lock_wait_ms);
  if (locked) capture.scheduler().LoadSchedule();
}

OfflineSchedule::~OfflineSchedule() {
  capture.scheduler().UnlockScheduleFile();
}

std::string OfflineSchedule::LockedText() const {
  return path + " is locked by another process; try again";
}

bool OfflineSchedule::Locked() {
  if (!locked) tell(LockedText());
  return locked;
}

}  // namespace pelkan
