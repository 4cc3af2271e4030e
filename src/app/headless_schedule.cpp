#include "app/headless_schedule.h"

#include <cstdio>
#include <string>

#include "app/settings.h"
#include "core/capture_app.h"
#include "platform/dispatcher.h"
#include "platform/text_codec.h"

namespace pelkan {

HeadlessSchedule::HeadlessSchedule(CaptureApp& app, Dispatcher& dispatcher, const Settings& settings,
                                   std::string schedule_path)
    : capture_(
          [&dispatcher](std::function<void()> work) { dispatcher.Post(std::move(work)); },
          [] {
            std::fprintf(stderr, "pelkan-cli: a repeated reservation overlaps another; stored anyway\n");
            return true;
          },
          [this](const RecordingFailure& f) {
            ++failures_;
            const std::string reason =
                platform::SjisToUtf8(RecordingFailureMessage(f)) + " (" + RecordingFailureReason(f) + ")";
            std::fprintf(stderr, "pelkan-cli: scheduled recording to %s %s: %s\n", f.path.c_str(),
                         f.reason == RecordingFailure::Reason::kOpenFailed ? "could not start" : "stopped",
                         reason.c_str());
          }),
      rules_(capture_, RulesPath(), GuidePath(),
             [](const std::string& text) { std::fprintf(stderr, "pelkan-cli: %s\n", text.c_str()); }) {
  capture_.SetKeptAsideListener([](const std::string& path, const std::string& kept_as) {
    std::fprintf(stderr, "pelkan-cli: %s\n", KeptAsideText(path, kept_as).c_str());
  });
  capture_.ApplySettings(settings);
  capture_.Begin(settings.rec_autopath, schedule_path);
  for (const std::string& w : capture_.scheduler().LoadWarnings())
    std::fprintf(stderr, "pelkan-cli: schedule.ini: %s: dropped, it can never be recorded\n", w.c_str());
  capture_.Attach(app);
}

HeadlessSchedule::~HeadlessSchedule() {
  Finish();
}

bool HeadlessSchedule::Finish() {
  if (finished_) return saved_;
  finished_ = true;
  saved_ = capture_.End();
  if (!saved_) std::fprintf(stderr, "pelkan-cli: cannot write the reservation file\n");
  return saved_;
}

void HeadlessSchedule::Poll() {
  // The rules judge what is past by the broadcast's own clock (the one the reservations are
  // recorded by), once the stream has told it.
  const MjdTime clock = capture_.SampleCapture().broadcast_time;
  if (clock.date != 0) {
    const std::optional<RuleRunResult> run = rules_.Poll(ToGuideTime(clock));
    if (run && (run->reserved > 0 || run->updated > 0 || run->removed > 0)) {
      std::fprintf(stderr, "pelkan-cli: rules: %d reserved, %d changed, %d removed\n", run->reserved, run->updated,
                   run->removed);
    }
  }
  const auto result = capture_.PollScheduleFile();
  if (!result) return;
  const bool failed = *result == RecordingScheduler::SyncResult::kFailed;
  if (failed && !write_failed_) std::fprintf(stderr, "pelkan-cli: cannot write the reservation file\n");
  write_failed_ = failed;
}

bool HeadlessSchedule::Save() {
  return capture_.scheduler().SaveSchedule();
}

}  // namespace pelkan
