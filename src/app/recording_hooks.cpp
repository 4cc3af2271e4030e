#include "app/recording_hooks.h"

#include <time.h>

#include <cstdio>
#include <fstream>

#include "app/home_folder.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "output/file_recorder.h"
#include "hooks/command_line.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"

namespace pelkan {

RecordingHooks::RecordingHooks(LogFn log, std::string last_values_path, const Settings& settings)
    : log_(log), last_values_path_(std::move(last_values_path)), settings_(settings), runner_(log), notifier_(log) {}

RecordingHooks::~RecordingHooks() = default;

const std::vector<std::string>& RecordingHooks::Command() {
  runner_.SetLimitMs(static_cast<uint32_t>(settings_.rec_end_command_limit) * 60 * 1000);
  const std::string text = platform::SjisToUtf8(settings_.rec_end_command);
  if (text != command_text_) {
    command_text_ = text;
    hooks::CommandLine parsed = hooks::ParseCommandLine(text);
    if (!parsed.error.empty()) log_("REC_END_COMMAND is not run: " + parsed.error);
    argv_ = std::move(parsed.argv);
  }
  return argv_;
}

void RecordingHooks::Wire(CaptureApp* app, ScheduledCapture* schedule) {
  if (app != nullptr) {
    app->manual().AddEndListener([this](const std::string& path, const RecordingSummary& summary) {
      OnRecordingEnded(hooks::OutcomeOfManualRecording(path, summary));
    });
  }
  if (schedule != nullptr) {
    schedule->AddReservationEndedListener([this, schedule](const FinishedRecording& ended) {
      const std::string name = platform::BroadcastToUtf8(schedule->ServiceName(ended.item.service_id));
      OnRecordingEnded(hooks::OutcomeOfReservation(ended, name));
    });
  }
}

void RecordingHooks::OnRecordingEnded(const hooks::RecordingOutcome& outcome) {
  std::vector<std::string> env = hooks::OutcomeEnvironment(outcome);
  if (!last_values_path_.empty()) {
    std::ofstream out(last_values_path_, std::ios::binary | std::ios::trunc);
    for (const std::string& line : env) out << line << '\n';
  }
  if (const std::vector<std::string>& argv = Command(); !argv.empty()) {
    const std::string what = outcome.file.empty() ? outcome.title : outcome.file;
    runner_.Run(argv, std::move(env), "REC_END_COMMAND (" + outcome.result + ", " + what + ")");
  }
  if (auto n = hooks::NotificationOf(outcome, settings_.notify_finished != 0)) notifier_.Notify(std::move(*n));
}

uint64_t ExpectedRecordingBytes(int64_t seconds, double rate) {
  constexpr uint64_t kKeptFree = 200ull << 20;
  return static_cast<uint64_t>(static_cast<double>(seconds > 0 ? seconds : 0) * rate) + kKeptFree;
}

void RecordingHooks::FollowPlan(ScheduledCapture& schedule, CaptureApp* app, int64_t now_epoch) {
  const RecordingScheduler::PlannedList planned = schedule.scheduler().PlannedReservations();
  if (settings_.wake_alarm != 0) {
    if (!wake_) {
      wake_ = std::make_unique<hooks::WakeAlarmKeeper>(log_, wake_access_ ? *wake_access_
                                                                           : hooks::WakeAlarmKeeper::SystemAccess());
    }
    wake_->Follow(hooks::NextPlannedStart(planned, now_epoch), int64_t{settings_.wake_lead} * 60);
  }
  // The first reservation to record within the look-ahead, once.
  for (size_t i = 0; i < planned.items.size() && i < planned.lines.size(); ++i) {
    const ScheduleItem& item = planned.items[i];
    const PlanLine& line = planned.lines[i];
    if (ItemState(item) != ST_WAITING || (line.verdict != PlanVerdict::kWhole && line.verdict != PlanVerdict::kPart))
      continue;
    const int64_t start = hooks::EpochOfJapanInstant(line.start);
    if (start <= now_epoch || start - now_epoch > kDiskLookAheadSeconds) continue;
    const std::string key = std::to_string(line.start) + ":" + std::string(GetText(item.title));
    if (key == disk_warned_for_) break;
    std::string folder = platform::SjisToUtf8(GetText(item.directory));
    if (folder.empty()) folder = platform::SjisToUtf8(schedule.scheduler().DefaultDirectory());
    const double measured = app != nullptr ? app->stats().transfer_rate.load(std::memory_order_relaxed) : 0.0;
    const uint64_t needed = ExpectedRecordingBytes(line.end - line.start, measured > 0 ? measured : kAssumedRate);
    uint64_t free_bytes = 0;
    const bool known = free_space_ ? free_space_(folder, &free_bytes) : FileRecorder::QueryFreeSpace(folder, &free_bytes);
    if (known && free_bytes < needed) {
      disk_warned_for_ = key;
      MjdTime at{static_cast<uint32_t>(line.start / 86400), static_cast<uint32_t>(line.start % 86400)};
      std::string title = platform::BroadcastToUtf8(GetText(item.title));
      if (title.empty()) title = folder;
      log_("the next reservation may not fit: " + std::to_string(needed >> 20) + " MiB needed, " +
           std::to_string(free_bytes >> 20) + " MiB free in " + folder);
      notifier_.Notify(hooks::LowDiskNotification(title, at, needed, free_bytes));
    }
    break;
  }
}

std::string LastRecordingValuesPath() {
  return JoinPath(HomeFolder(), kLastRecordingValuesName);
}

RecordingHooks::LogFn AppendingLog(std::string path) {
  auto mutex = std::make_shared<std::mutex>();
  return [path = std::move(path), mutex](const std::string& line) {
    std::lock_guard lock(*mutex);
    const time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    std::ofstream(path, std::ios::binary | std::ios::app) << stamp << line << '\n';
  };
}

}  // namespace pelkan
