#include "ui/tool_window_factory.h"

#include <QPointer>

#include "app/http_tokens.h"
#include "app/library_feed.h"
#include "app/scheduled_capture.h"
#include "app/watch_urls.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "core/device_channels.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "guide/programme_resolver.h"
#include "library/disk_housekeeping.h"
#include "guide/reserved_programmes.h"
#include "info/service_filter_window.h"
#include "output/http_stream_server.h"
#include "schedule/schedule_edit_form.h"
#include "ui/desktop_context.h"
#include "ui/filter_window.h"
#include "ui/guide_window.h"
#include "ui/recordings_window.h"
#include "ui/rule_list_window.h"
#include "ui/schedule_list_window.h"

namespace pelkan::ui {
namespace {

// The reservation callbacks of a programme popup: they open `window`'s edit dialog while it lives.
struct ReserveCallbacks {
  ReserveByTimeCallback by_time;
  ReserveByEventCallback by_event;
};
ReserveCallbacks ReserveThrough(ScheduleListWindow* window) {
  QPointer<ScheduleListWindow> target(window);
  return {[target](uint16_t service_id, const MjdTime& start, uint32_t duration, std::string_view title) {
            return target && target->ReserveProgrammeByTime(service_id, start, duration, title);
          },
          [target](uint16_t network_id, uint16_t stream_id, uint16_t service_id, uint16_t event_id,
                   std::string_view title) {
            return target &&
                   target->ReserveProgrammeByEvent(network_id, stream_id, service_id, event_id, title);
          }};
}

}  // namespace

ToolWindow* CreateFilterToolWindow(DesktopContext& context, QWidget* owner) {
  auto* window = new FilterWindow(context.services, owner);
  CaptureApp* app = &context.app;
  window->SetSwitchNotice(
      [app] {
        return guide_text::SwitchNotice(app->settings().decode_psi != 0, app->settings().proc_epg != 0,
                                        false);
      },
      [&context] {
        context.app.SwitchOnTableProcessing();
        return true;
      });
  return window;
}

ToolWindow* CreateScheduleToolWindow(DesktopContext& context, QWidget* owner) {
  CaptureApp* app = &context.app;
  auto* window = new ScheduleListWindow(
      context.schedule, [app] { return ReadDeviceChannels(app->device()); }, &context.messages, owner);
  // The guide through the session's shared connection: one owner of the file in the program.
  if (context.rule_files != nullptr) {
    window->ReadProgrammesFrom(*context.rule_files, context.rules_path);
  } else {
    window->ReadProgrammesFrom(context.guide_path, context.rules_path);
  }
  // The filtering window's popup reserves programmes through this window's edit dialog.
  ReserveCallbacks reserve = ReserveThrough(window);
  context.services.SetReserveCallbacks(std::move(reserve.by_time), std::move(reserve.by_event));
  return window;
}

ToolWindow* CreateRuleToolWindow(DesktopContext& context, QWidget* owner) {
  return new RuleListWindow(
      context.schedule.scheduler(), *context.rule_files, [&context] { return DesktopNow(context); },
      context.run_rules, context.messages, owner);
}

ToolWindow* CreateRecordingsToolWindow(DesktopContext& context, QWidget* owner, ToolWindow* schedule_window) {
  RecordingsWindowSources sources;
  sources.library_path = context.library_path;
  sources.rules_path = context.rules_path;
  Settings* settings = &context.settings;
  CaptureApp* app = &context.app;
  sources.player_command = [settings] { return platform::SjisToUtf8(settings->player_command); };
  sources.http_base = [app] {
    return app->IsHttpServing() ? HttpBaseUrl(platform::SjisToUtf8(app->settings().http_address), app->GetHttpPort())
                                : std::string();
  };
  const std::string tokens_path = context.http_tokens_path;
  sources.view_token = [app, tokens_path] {
    // Beyond loopback the server asks for the view token.
    const std::string address = platform::SjisToUtf8(app->settings().http_address);
    if (tokens_path.empty() || IsLoopbackAddress(address)) return std::string();
    std::string error;
    const std::optional<HttpTokens> tokens = LoadHttpTokens(tokens_path, &error);
    return tokens ? tokens->view : std::string();
  };
  ScheduledCapture* schedule = &context.schedule;
  sources.disk_status = [schedule](RecordingLibrary& library) {
    const std::string folder = platform::SjisToUtf8(schedule->scheduler().DefaultDirectory());
    HousekeepingRules rules;
    return DiskStatusLine(PlanDisk(library, {folder},
                                   PlannedRecordingsOf(schedule->scheduler().PlannedReservations(), folder), rules,
                                   ::time(nullptr), DiskAccess::System()));
  };
  auto* window = new RecordingsWindow(std::move(sources), &context.messages, owner);
  if (auto* list = qobject_cast<ScheduleListWindow*>(schedule_window)) {
    QObject::connect(list, &ScheduleListWindow::recordingsRequested, window, [window] {
      window->show();
      window->raise();
      window->activateWindow();
    });
  }
  return window;
}

ToolWindow* CreateGuideToolWindow(DesktopContext& context, QWidget* owner, ToolWindow* schedule_window,
                                  ToolWindow* rule_window) {
  ReserveCallbacks reserve = ReserveThrough(qobject_cast<ScheduleListWindow*>(schedule_window));
  GuideWindow::MakeRuleCallback make_rule;
  if (auto* rules = qobject_cast<RuleListWindow*>(rule_window)) {
    QPointer<RuleListWindow> target(rules);
    make_rule = [target](const ReservationRule& rule, std::optional<RuleAiring> airing) {
      if (target) target->AddRule(rule, airing);
    };
  }
  return new GuideWindow(context, std::move(reserve.by_time), std::move(reserve.by_event),
                         std::move(make_rule), owner);
}

}  // namespace pelkan::ui
