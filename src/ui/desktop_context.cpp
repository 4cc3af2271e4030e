#include "ui/desktop_context.h"

#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "guide/guide_grid_model.h"
#include "platform/clock.h"

namespace pelkan::ui {

GuideTime DesktopNow(const DesktopContext& context) {
  const CaptureStats& stats = context.app.stats();
  const uint32_t date = stats.clock_date.load(std::memory_order_relaxed);
  const uint32_t seconds = stats.clock_time.load(std::memory_order_relaxed);
  const uint32_t age = platform::TickCount() - stats.clock_tick.load(std::memory_order_relaxed);
  return GuideNow(context.app.IsConnected() ? date : 0, seconds, age, ToGuideTime(JapanTimeNow()));
}

}  // namespace pelkan::ui
