#include "ui/desktop_context.h"

#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "guide/guide_grid_model.h"
#include "platform/clock.h"

namespace pelkan::ui {

GuideTime DesktopNow(const DesktopContext& context) {
  const CaptureStats& stats = context.app.stats();
  const CaptureStats::ClockReading clock = stats.ReadClock(platform::TickCount());
  return GuideNow(context.app.IsConnected() ? clock.date : 0, clock.seconds, clock.age_ms,
                  ToGuideTime(JapanTimeNow()));
}

}  // namespace pelkan::ui
