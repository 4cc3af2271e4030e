#pragma once

#include <QPoint>
#include <QPointer>
#include <functional>
#include <memory>
#include <string_view>

#include "info/service_filter_view.h"
#include "info/service_filter_window.h"
#include "ui/tool_window.h"

class QMenu;
class QTableWidgetItem;

namespace Ui {
class FilterWindow;
}

namespace pelkan::ui {

// The filtering window ("フィルタリング"): the services of the received stream with their name,
// current programme, PMT PID and components, a check box per service, the filter switch, a tool
// tip with the current and next programme of the row under the pointer, and a popup menu that
// reserves the current or next programme of the selected row.
//
// It only binds widgets to the ServiceFilterWindow model: the model decides the rows, texts, check
// rules and filter state and calls this window (its view) on the UI thread; the window turns
// clicks into model operations. Reservations go to the model's reservation callbacks
// (ServiceFilterWindow::SetReserveCallbacks). The model must use a dispatcher that runs on this
// window's (UI) thread and must outlive the window: a main window that keeps the model as a
// member deletes this (child) window itself, before its members go. The window attaches itself as
// the model's view and disables the model's controls (as at start-up), so make it before the first
// connect. UI thread only.
class FilterWindow final : public ToolWindow, public ServiceFilterView {
  Q_OBJECT

 public:
  explicit FilterWindow(ServiceFilterWindow& model, QWidget* parent = nullptr);
  ~FilterWindow() override;

  // ServiceFilterView: called by the model on the UI thread with its lock held.
  void ShowFilterState(bool active, bool switch_enabled, bool list_enabled) override;
  void ClearRows() override;
  void AddRow(uint16_t row, uint16_t service_id, std::string_view service_text) override;
  void SetCell(uint16_t row, int column, std::string_view text) override;
  void ShowRowChecked(uint16_t row, bool checked) override;

  // The notice that says which switch the window needs (empty: none; Shift-JIS) and the action of
  // its "オンにする" button (true when switched on). Without them the notice stays hidden.
  void SetSwitchNotice(std::function<std::string_view()> notice, std::function<bool()> switch_on);
  void OnSettingsChanged() override;

  // Column widths in pixels, widened where the header text (or the PMT PID) needs more.
  static constexpr int kColumnWidths[5] = {60, 100, 200, 50, 200};
  // How long a tool tip stays up, and its widest extent in pixels.
  static constexpr int kToolTipMs = 30000;
  static constexpr int kToolTipMaxWidth = 500;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private Q_SLOTS:
  void OnFilterToggled(bool checked);
  void OnItemChanged(QTableWidgetItem* item);
  void OnContextMenu(const QPoint& pos);
  void ReserveCurrentByTime();
  void ReserveCurrentByEvent();
  void ReserveNextByTime();
  void ReserveNextByEvent();

 private:
  // Shows the tool tip of the row at `viewport_pos` (viewport coordinates), or hides it when there
  // is no row there.
  void ShowToolTipAt(const QPoint& viewport_pos);
  // Rebuilds an open tool tip for the row now under the pointer (after scrolling or new texts).
  void RefreshToolTip();
  // Reserves a programme of the first selected row; nothing without a selection.
  void Reserve(ProgrammeSlot which, ReserveBy how);

  ServiceFilterWindow& model_;
  std::unique_ptr<Ui::FilterWindow> ui_;
  QMenu* popup_ = nullptr;
  std::function<std::string_view()> notice_;
  std::function<bool()> switch_on_;
  // True while the model's updates are applied, so that they are not taken for the user's.
  bool applying_ = false;
  // Where the open tool tip was asked for (viewport coordinates); valid while tip_open_.
  QPoint tip_pos_;
  bool tip_open_ = false;
};

}  // namespace pelkan::ui
