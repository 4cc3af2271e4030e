#pragma once

#include "ui/desktop_context.h"
#include "ui/tool_window.h"

namespace pelkan::ui {

// The filtering window ("フィルタリング"), the reservation list window ("録画予約"), the rule
// window and the programme guide, owned by `owner` (the main window) and created hidden. The main
// window makes them only through these functions, so a window class is swapped here alone.
ToolWindow* CreateFilterToolWindow(DesktopContext& context, QWidget* owner);
ToolWindow* CreateScheduleToolWindow(DesktopContext& context, QWidget* owner);
// The automatic reservation window ("自動予約") over context.rules_path.
ToolWindow* CreateRuleToolWindow(DesktopContext& context, QWidget* owner);
// The programme guide ("番組表"), reserving through the reservation list window's edit dialog and
// making rules through the rule window's dialog.
// The recordings window ("録画済み") over context.library_path, shown (and raised) by the link of
// `schedule_window`'s finished view.
ToolWindow* CreateRecordingsToolWindow(DesktopContext& context, QWidget* owner, ToolWindow* schedule_window);
ToolWindow* CreateGuideToolWindow(DesktopContext& context, QWidget* owner, ToolWindow* schedule_window,
                                  ToolWindow* rule_window);

}  // namespace pelkan::ui
