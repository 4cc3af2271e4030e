#pragma once

#include <QWidget>

class QTableView;

namespace pelkan::ui {

// Where a window stands, in the measure the settings store: the frame's top-left corner and the
// client size. A coordinate below -29999 means "none" (place it where the system likes); a size
// of 0 means "the window's own size".
struct WindowPlacement {
  int x = -30000;
  int y = -30000;
  int width = 0;
  int height = 0;
};

// What every tool window (channel, filtering, reservation list) shares: a separate top-level tool
// window owned by the main window, placed from its stored keys, hidden (never destroyed) by its
// close box, not closed by Esc, and saved with the same measure it was restored with so that the
// position and size do not creep from run to run. Esc in it stays in it: the owner's Esc shortcut
// (which Qt keeps working in a floating tool window) does not see it. Screen readers see it as a window.
class ToolWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ToolWindow(QWidget* parent = nullptr);

  // Moves and sizes the window as stored. A position of "none" leaves the window at its first-start
  // position and size, whatever size is stored.
  void RestorePlacement(const WindowPlacement& placement);
  // The placement to store; the same measure RestorePlacement takes. A window that was neither
  // placed from its keys nor shown in this run has no position of its own: it gives back the
  // placement it was restored with.
  WindowPlacement SavedPlacement() const;
  // The settings changed (the options dialog, or a tool window that switched something on).
  virtual void OnSettingsChanged() {}

 Q_SIGNALS:
  // The window changed the settings itself; the other windows are told through OnSettingsChanged.
  void settingsChanged();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Widens the window's first-start size so that every column of `list` shows without scrolling,
  // with room for a vertical scroll bar. `list` is an item of the window's own layout. Call once the
  // columns have their widths, before placement.
  void WidenToShowColumns(QTableView* list);

 private:
  WindowPlacement restored_;
  bool placed_ = false;
};

}  // namespace pelkan::ui
