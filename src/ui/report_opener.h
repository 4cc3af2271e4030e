#pragma once

#include <functional>
#include <string>

namespace pelkan::ui {

// Opens a recording's report (NAME.ts.err, a UTF-8 file-system path) with the desktop's viewer
// for text files. UI thread.
void OpenReport(const std::string& path);

// Replaces what OpenReport does (tests record the path instead); nullptr restores the desktop's
// viewer.
void SetReportOpener(std::function<void(const std::string&)> opener);

}  // namespace pelkan::ui
