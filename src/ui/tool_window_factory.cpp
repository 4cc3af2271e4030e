#include "ui/tool_window_factory.h"

#include <QPointer>

#include "core/capture_app.h"
#include "info/service_filter_window.h"
#include "schedule/schedule_edit_form.h"
#include "ui/desktop_context.h"
#include "ui/filter_window.h"
#include "ui/schedule_list_window.h"

namespace pelkan::ui {

ToolWindow* CreateFilterToolWindow(DesktopContext& context, QWidget* owner) {
  auto* window = new FilterWindow(context.services, owner);
  return window;
}

ToolWindow* CreateScheduleToolWindow(DesktopContext& context, QWidget* owner) {
  CaptureApp* app = &context.app;
  auto* window = new ScheduleListWindow(
      context.schedule, [app] { return ReadDeviceChannels(app->device()); }, &context.messages, owner);
  // The filtering window's popup reserves programmes through this window's edit dialog.
  QPointer<ScheduleListWindow> target(window);
  context.services.SetReserveCallbacks(
      [target](uint16_t service_id, const MjdTime& start, uint32_t duration, std::string_view title) {
        return target && target->ReserveProgrammeByTime(service_id, start, duration, title);
      },
      [target](uint16_t network_id, uint16_t stream_id, uint16_t service_id, uint16_t event_id,
               std::string_view title) {
        return target && target->ReserveProgrammeByEvent(network_id, stream_id, service_id, event_id, title);
      });
  return window;
}

}  // namespace pelkan::ui
