#pragma once

#include "ui/desktop_context.h"
#include "ui/tool_window.h"

namespace pelkan::ui {

// The filtering window ("フィルタリング") and the reservation list window ("録画予約"), owned by
// `owner` (the main window) and created hidden. The main window makes them only through these two
// functions, so a window class is swapped here alone.
ToolWindow* CreateFilterToolWindow(DesktopContext& context, QWidget* owner);
ToolWindow* CreateScheduleToolWindow(DesktopContext& context, QWidget* owner);

}  // namespace pelkan::ui
