#pragma once

#include "ui/desktop_context.h"
#include "ui/tool_window.h"

namespace pelkan::ui {

// The filtering window ("フィルタリング"), the reservation list window ("録画予約") and the
// programme guide, owned by `owner` (the main window) and created hidden. The main window makes them only
// through these two functions, so a window class is swapped here alone.
ToolWindow* CreateFilterToolWindow(DesktopContext& context, QWidget* owner);
ToolWindow* CreateScheduleToolWindow(DesktopContext& context, QWidget* owner);
// The programme guide ("番組表"), reserving through the reservation list window's edit dialog.
ToolWindow* CreateGuideToolWindow(DesktopContext& context, QWidget* owner, ToolWindow* schedule_window);

}  // namespace pelkan::ui
