#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFontMetrics>
#include <QScrollBar>
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "guide/guide_grid_model.h"
#include "guide/reserved_programmes.h"

namespace pelkan::ui {

// The grid of the programme guide: the services as columns under their names, a vertical time axis
// of eight days from midnight of the current day, each programme a box with its start time and
// title coloured by genre, reserved programmes framed with a mark (red when the plan records them
// whole, amber when another reservation takes part of them, grey and dashed when it takes all),
// and a red line at the current time under the programmes' texts, with a wedge on the time axis.
// One programme is current (selected): the arrow keys move it between programmes, Page Up/Down
// scroll, Home goes to now; Enter, a double click, the context menu key or a right click ask for
// the reservation menu. Screen readers see the programmes in view as the grid's
// children, each with its text and the press (select) and show-menu actions. It shows a
// GuideGridModel it does not own. UI thread only.
class GuideGrid : public QAbstractScrollArea {
  Q_OBJECT

 public:
  using Cell = GuideGridModel::Cell;

  explicit GuideGrid(QWidget* parent = nullptr);
  ~GuideGrid() override;

  // Shows `model` (which must outlive the grid or be replaced) from `origin` (a midnight) for
  // GuideGridModel::kDays days, keeping the time and the service in view and the current
  // programme (by its ids) where the model still has them.
  void SetModel(const GuideGridModel* model, GuideTime origin);
  // The current time (the red line) and the reservations (the marks).
  void SetNow(GuideTime now);
  // False when the marks were already these (nothing is drawn again).
  bool SetReserved(const ReservedProgrammes& reserved);
  // The text shown when the model has no programme.
  void SetEmptyText(const QString& text) {
    empty_text_ = text;
    viewport()->update();
  }
  // The text of a service's column header tool tip (its schedule's completion).
  void SetHeaderToolTip(std::function<QString(const GuideService&)> text);
  // The tool tip of a programme box.
  void SetBoxToolTip(std::function<QString(const Cell&)> text);

  const GuideGridModel* model() const { return model_; }
  GuideTime origin() const { return origin_; }
  std::optional<Cell> current() const { return current_; }
  bool IsReserved(const GuideEvent& e) const { return reserved_.Contains(e); }
  bool IsReservedByRule(const GuideEvent& e) const { return reserved_.ByRule(e); }
  // The colour of the frame and mark of a reserved programme.
  static QColor ReservedColour(ReservedMark mark);
  // Makes `cell` current and, with `reveal`, scrolls it into view.
  void SetCurrent(std::optional<Cell> cell, bool reveal);
  // Scrolls so that `t` is at the top of the view.
  void ScrollToTime(GuideTime t);
  // The time at the top of the view.
  GuideTime TopTime() const;
  // The programmes whose boxes are in view, column by column.
  std::vector<Cell> VisibleCells() const;
  // The box of a programme in viewport coordinates.
  QRect BoxRect(const Cell& cell) const;
  // The programme under a point of the viewport.
  std::optional<Cell> CellAt(const QPoint& viewport_pos) const;
  // With nothing current: makes the programme on air (or the first) in the leftmost column in view
  // current, without scrolling.
  void SelectFirst();

  // Fill colour of a genre colour group (guide_text::GenreGroup), shared with the legend.
  static QColor GenreColour(int group);

 Q_SIGNALS:
  void currentChanged();
  // The user asks for the reservation menu of the current programme at `global_pos`.
  void menuRequested(const QPoint& global_pos);
  // The view scrolled (the window follows the day on view).
  void viewMoved();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool viewportEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void UpdateMetrics();
  void UpdateScrollBars();
  int Y(GuideTime t) const;  // content coordinate of a time
  // Half the height of the current time's wedge on the time axis, and the band of the viewport the
  // line and its wedge at `t` take.
  int NowWedge() const { return std::max(4, QFontMetrics(font()).height() / 3); }
  QRect NowStrip(GuideTime t) const {
    const int w = NowWedge() + 2;
    return QRect(0, header_h_ + Y(t) - verticalScrollBar()->value() - w, viewport()->width(), 2 * w + 1);
  }
  void RequestMenu();
  void NotifyAccessibility();

  const GuideGridModel* model_ = nullptr;
  GuideTime origin_ = 0;
  GuideTime now_ = -1;
  ReservedProgrammes reserved_;
  std::optional<Cell> current_;
  QString empty_text_;
  std::function<QString(const GuideService&)> header_tip_;
  std::function<QString(const Cell&)> box_tip_;
  // Metrics from the font: pixels per hour, narrowest column, header height, time axis width; the
  // columns share the width of the view, none narrower than the narrowest.
  double hour_px_ = 0;
  int min_column_w_ = 0;
  int column_w_ = 0;
  int header_h_ = 0;
  int axis_w_ = 0;
};

}  // namespace pelkan::ui
