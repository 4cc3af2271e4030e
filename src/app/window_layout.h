#pragma once

#include <cstdint>
#include <span>

namespace pelkan {

// Where a window stood when the program last ended: its position (kNone and below: none, the
// system places it), its size (0: its own) and whether it was shown. A window that keeps no size
// or no visibility in the file leaves those at their defaults.
struct StoredWindow {
  static constexpr int32_t kNone = -30000;
  int32_t show = 0;
  int32_t x = kNone;
  int32_t y = kNone;
  int32_t width = 0;
  int32_t height = 0;

  bool HasPosition() const { return x > kNone && y > kNone; }
};

// The windows' places, kept in pelkan.ini beside the settings but apart from them: the desktop
// program reads them at start and writes them at exit; nothing below the windows needs them.
struct WindowLayout {
  StoredWindow main;      // the main window's position
  StoredWindow channel;   // the channel window: shown and position
  StoredWindow filter;    // the filtering window
  StoredWindow schedule;  // the reservation list window
  StoredWindow guide;     // the programme guide window
  StoredWindow rule;      // the automatic reservation window
  StoredWindow library;   // the recordings window ("録画済み")
};

// One key of a window's place: its name, the window and field it holds, and the settings key
// (SettingKeys()) it stands before in the file, whose section it shares. Its default is that of a
// new StoredWindow.
struct WindowKey {
  const char* name;
  StoredWindow WindowLayout::*window;
  int32_t StoredWindow::*field;
  const char* before;
};

// Every key of the windows' places, in the order of the file.
std::span<const WindowKey> WindowKeys();

}  // namespace pelkan
