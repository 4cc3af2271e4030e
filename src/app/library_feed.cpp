#include "app/library_feed.h"

#include <cstring>

#include "app/scheduled_capture.h"
#include "core/capture_app.h"
#include "core/settings.h"
#include "hooks/recording_outcome.h"
#include "hooks/wake_alarm_keeper.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_item.h"

namespace pelkan {

std::vector<PlannedRecording> PlannedRecordingsOf(const RecordingScheduler::PlannedList& planned,
                                                  const std::string& default_folder) {
  std::vector<PlannedRecording> out;
  for (size_t i = 0; i < planned.items.size() && i < planned.lines.size(); ++i) {
    const ScheduleItem& item = planned.items[i];
    const PlanLine& line = planned.lines[i];
    const uint32_t state = ItemState(item);
    if ((state != ST_WAITING && state != ST_RECORDING) ||
        (line.verdict != PlanVerdict::kWhole && line.verdict != PlanVerdict::kPart))
      continue;
    PlannedRecording p;
    p.start = hooks::EpochOfJapanInstant(line.start);
    p.seconds = line.end - line.start;
    p.folder = platform::SjisToUtf8(GetText(item.directory));
    if (p.folder.empty()) p.folder = default_folder;
    // A date-time reservation limited to a service names it in its text, not in service_id.
    p.service_id = RecordedServiceId(item).value_or(0);
    p.title = platform::BroadcastToUtf8(GetText(item.title));
    out.push_back(std::move(p));
  }
  return out;
}

LibraryFeed::LibraryFeed(const std::string& path, const Settings& settings, LogFn log, NoticeFn notice)
    : settings_(settings), log_(std::move(log)), notice_(std::move(notice)) {
  std::string replaced, error;
  library_ = RecordingLibrary::Open(path, &replaced, &error);
  if (!library_) log_("recordings catalogue: " + error);
  if (!replaced.empty()) notice_(platform::SjisToUtf8(replaced));
}

LibraryFeed::~LibraryFeed() = default;

void LibraryFeed::Wire(CaptureApp* app, ScheduledCapture* schedule) {
  if (!library_) return;
  if (app != nullptr) {
    app->manual().AddEndListener([this](const std::string& path, const RecordingSummary& summary) {
      open_.erase(path);
      writing_->Drop(path);
      library_->Complete(hooks::OutcomeOfManualRecording(path, summary), path, ::time(nullptr));
    });
  }
  if (schedule != nullptr) {
    schedule->AddReservationEndedListener([this, schedule](const FinishedRecording& ended) {
      const std::string name = platform::BroadcastToUtf8(schedule->ServiceName(ended.item.service_id));
      const hooks::RecordingOutcome outcome = hooks::OutcomeOfReservation(ended, name);
      if (outcome.file.empty()) return;  // missed: nothing was recorded
      open_.erase(outcome.file);
      writing_->Drop(outcome.file);
      library_->Complete(outcome, outcome.file, ::time(nullptr));
    });
  }
}

std::optional<int64_t> LibraryFeed::Opened(const std::string& file, const ScheduleItem* item, int64_t now) {
  LibraryEntry e;
  e.file = file;
  e.created = now;
  e.start = now;
  e.kind = "manual";
  if (item != nullptr) {
    e.kind = item->rule_id != 0 ? "rule" : "reservation";
    e.rule_id = item->rule_id;
    e.service_id = item->service_id;
    e.reservation = platform::BroadcastToUtf8(GetText(item->title));
    e.title = e.reservation;
    e.plain_title = platform::BroadcastToUtf8(GetText(item->title), platform::SymbolForm::kPlain);
    if ((item->flags & SI_BY_EVENT) != 0) {
      e.network_id = item->network_id;
      e.stream_id = item->stream_id;
      e.event_id = item->event_id;
    }
  }
  const std::optional<int64_t> id = library_->Begin(e);
  if (!id) log_("recordings catalogue: " + file + " cannot be catalogued");
  return id;
}

void LibraryFeed::DescribeManual(CaptureApp& app) {
  if (manual_.id == 0 || manual_.titled) return;
  const std::vector<std::pair<uint16_t, std::string>> services = app.Services();
  if (services.empty()) return;
  const uint16_t service_id = services.front().first;
  const std::string name = platform::BroadcastToUtf8(services.front().second);
  std::string title, plain;
  if (const MjdTime now = app.SampleCapture().broadcast_time; now.date != 0) {
    if (const std::optional<ProgrammeEvent> ev = app.LookupProgrammeAt(service_id, now, 0)) {
      const std::string_view text(ev->title, strnlen(ev->title, sizeof ev->title));
      title = platform::BroadcastToUtf8(text);
      plain = platform::BroadcastToUtf8(text, platform::SymbolForm::kPlain);
    }
  }
  if (title.empty() && (name.empty() || name == manual_.service_name)) return;
  if (!library_->Describe(manual_.id, title, plain, service_id, name)) return;
  manual_.service_name = name;
  manual_.titled = !title.empty();
}

void LibraryFeed::Follow(CaptureApp* app, ScheduledCapture* schedule, int64_t now_epoch) {
  if (!library_) return;
  std::set<std::string> open;
  if (app != nullptr && app->manual().IsRecording()) {
    const std::string path = app->manual().Path();
    open.insert(path);
    if (!open_.contains(path)) {
      manual_ = Manual{};
      manual_.id = Opened(path, nullptr, now_epoch).value_or(0);
    }
    if (now_epoch != manual_.looked) {
      manual_.looked = now_epoch;
      DescribeManual(*app);
    }
  }
  if (schedule != nullptr) {
    const std::vector<std::string> paths = schedule->scheduler().ActiveOutputPaths();
    const std::optional<ScheduleItem> item = paths.empty() ? std::nullopt : schedule->scheduler().ActiveItem();
    for (const std::string& path : paths) {
      open.insert(path);
      if (!open_.contains(path)) Opened(path, item ? &*item : nullptr, now_epoch);
    }
    Housekeep(*schedule, !open.empty(), now_epoch);
  }
  open_ = std::move(open);
  writing_->Set(open_);
}

void LibraryFeed::Housekeep(ScheduledCapture& schedule, bool recording, int64_t now) {
  if (settings_.auto_delete == 0 || now - last_look_ < kPlanLookSeconds) return;
  last_look_ = now;
  const std::string folder = platform::SjisToUtf8(schedule.scheduler().DefaultDirectory());
  const std::vector<PlannedRecording> planned = PlannedRecordingsOf(schedule.scheduler().PlannedReservations(), folder);
  std::string key;
  bool starting = false;
  for (const PlannedRecording& p : planned) {
    key += std::to_string(p.start) + "+" + std::to_string(p.seconds) + ":" + p.folder + "\n";
    starting = starting || (p.start > now && p.start - now <= kBeforeStartSeconds);
  }
  const bool changed = key != plan_key_;
  const bool due = now - last_housekeeping_ >= kHousekeepingSeconds && (recording || starting);
  if (!changed && !due) return;
  plan_key_ = std::move(key);
  last_housekeeping_ = now;
  HousekeepingRules rules;
  rules.auto_delete = true;
  rules.keep_days = settings_.keep_days;
  const std::vector<DiskPlan> plans = PlanDisk(*library_, {folder}, planned, rules, now, access_);
  for (const std::string& text : CarryOutDiskPlan(*library_, plans, log_)) {
    log_("housekeeping: " + text);
    notice_(text);
  }
}

}  // namespace pelkan
