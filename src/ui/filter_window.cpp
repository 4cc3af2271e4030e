#include "ui/filter_window.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QMenu>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>

#include "info/programme_text.h"
#include "ui/qt_text.h"
#include "ui_filter_window.h"

namespace pelkan::ui {
namespace {

constexpr int kColumnCount = 5;
constexpr int kServiceColumn = 0;
constexpr int kPmtColumn = 3;
// Room beside a cell's text (its margins and the grid line).
constexpr int kCellPadding = 14;

// The tool tip's colours and widest extent. The style applies to the tool tips of this window's
// widgets only (a tool tip takes the style of the widget it is shown for).
const char* const kToolTipStyle =
    "QToolTip { color: black; background-color: rgb(255, 255, 200); border: 1px solid #808080;"
    " max-width: 500px; }";

// Room for the tool tip label's frame and margins inside its widest extent.
constexpr int kToolTipFrame = 16;

// The row tool tip as rich text (a broadcast text is never taken for markup): line breaks and runs
// of blanks stay as they are, and lines wider than `max_width` in `font` are broken where the text
// allows it, so that the tip is as wide as its widest line and never wider than the limit.
QString ToolTipHtml(QString plain, const QFont& font, int max_width) {
  // A programme without a description ends the text with a line break; no empty line is shown.
  while (plain.endsWith(QLatin1Char('\n'))) plain.chop(1);
  QStringList lines;
  for (const QString& line : plain.split(QLatin1Char('\n'))) {
    QTextLayout layout(line, font);
    layout.beginLayout();
    bool any = false;
    for (QTextLine piece = layout.createLine(); piece.isValid(); piece = layout.createLine()) {
      piece.setLineWidth(max_width);
      QString text = line.mid(piece.textStart(), piece.textLength());
      if (piece.textStart() + piece.textLength() < line.size()) {
        while (text.endsWith(QLatin1Char(' '))) text.chop(1);
      }
      lines << text;
      any = true;
    }
    layout.endLayout();
    if (!any) lines << QString();
  }
  return QStringLiteral("<p style=\"white-space:pre\">") + lines.join(QLatin1Char('\n')).toHtmlEscaped() +
         QStringLiteral("</p>");
}

}  // namespace

FilterWindow::FilterWindow(ServiceFilterWindow& model, QWidget* parent)
    : ToolWindow(parent), model_(model), ui_(std::make_unique<Ui::FilterWindow>()) {
  ui_->setupUi(this);
  setStyleSheet(U8(kToolTipStyle));

  QTableWidget* list = ui_->serviceList;
  QHeaderView* header = list->horizontalHeader();
  for (int column = 0; column < kColumnCount; ++column) {
    auto* item = new QTableWidgetItem(FromSjis(ColumnHeaderText(column)));
    item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->setHorizontalHeaderItem(column, item);
  }
  for (int column = 0; column < kColumnCount; ++column) {
    header->resizeSection(column, std::max(kColumnWidths[column], header->sectionSizeHint(column)));
  }
  // The PMT PID has a fixed form; its column always shows it whole, whatever the font.
  const int pmt_width = list->fontMetrics().horizontalAdvance(FromSjis(PmtPidText(0xFFFF))) + kCellPadding;
  header->resizeSection(kPmtColumn, std::max(header->sectionSize(kPmtColumn), pmt_width));
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  // Compact rows, as in a report list.
  QHeaderView* rows = list->verticalHeader();
  rows->setMinimumSectionSize(1);
  rows->setDefaultSectionSize(list->fontMetrics().height() + 6);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  list->viewport()->installEventFilter(this);
  WidenToShowColumns(list);

  popup_ = new QMenu(this);
  popup_->setObjectName(QStringLiteral("programmePopup"));
  QMenu* current = popup_->addMenu(FromSjis(ProgrammeMenuTitle(false)));
  current->setObjectName(QStringLiteral("currentProgrammeMenu"));
  current->addAction(ui_->currentByTimeAction);
  current->addAction(ui_->currentByEventAction);
  QMenu* next = popup_->addMenu(FromSjis(ProgrammeMenuTitle(true)));
  next->setObjectName(QStringLiteral("nextProgrammeMenu"));
  next->addAction(ui_->nextByTimeAction);
  next->addAction(ui_->nextByEventAction);

  ui_->noticeFrame->hide();
  connect(ui_->switchOnButton, &QPushButton::clicked, this, [this] {
    if (!switch_on_ || !switch_on_()) return;
    OnSettingsChanged();
    Q_EMIT settingsChanged();
  });
  connect(ui_->filterButton, &QPushButton::toggled, this, &FilterWindow::OnFilterToggled);
  connect(list, &QTableWidget::itemChanged, this, &FilterWindow::OnItemChanged);
  connect(list, &QWidget::customContextMenuRequested, this, &FilterWindow::OnContextMenu);
  connect(list->verticalScrollBar(), &QScrollBar::valueChanged, this, &FilterWindow::RefreshToolTip);
  connect(ui_->currentByTimeAction, &QAction::triggered, this, &FilterWindow::ReserveCurrentByTime);
  connect(ui_->currentByEventAction, &QAction::triggered, this, &FilterWindow::ReserveCurrentByEvent);
  connect(ui_->nextByTimeAction, &QAction::triggered, this, &FilterWindow::ReserveNextByTime);
  connect(ui_->nextByEventAction, &QAction::triggered, this, &FilterWindow::ReserveNextByEvent);

  // As at start-up: both controls disabled until a capture starts. The model does not replay rows
  // it already has, so the window is made before the first connect.
  std::lock_guard lock(model_.Mutex());
  model_.SetView(this);
  model_.SetControlsEnabled(false);
}

FilterWindow::~FilterWindow() {
  model_.SetView(nullptr);
}

void FilterWindow::SetSwitchNotice(std::function<std::string_view()> notice,
                                   std::function<bool()> switch_on) {
  notice_ = std::move(notice);
  switch_on_ = std::move(switch_on);
  OnSettingsChanged();
}

void FilterWindow::OnSettingsChanged() {
  const std::string_view notice = notice_ ? notice_() : std::string_view();
  ui_->noticeLabel->setText(FromSjis(notice));
  ui_->noticeFrame->setVisible(!notice.empty());
}

void FilterWindow::ShowFilterState(bool active, bool switch_enabled, bool list_enabled) {
  ui_->filterButton->setChecked(active);
  ui_->filterButton->setEnabled(switch_enabled);
  ui_->serviceList->setEnabled(list_enabled);
}

void FilterWindow::ClearRows() {
  applying_ = true;
  ui_->serviceList->setRowCount(0);
  applying_ = false;
  RefreshToolTip();
}

void FilterWindow::AddRow(uint16_t row, uint16_t /*service_id*/, std::string_view service_text) {
  QTableWidget* list = ui_->serviceList;
  applying_ = true;
  list->insertRow(row);
  for (int column = 0; column < kColumnCount; ++column) {
    auto* item = new QTableWidgetItem();
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (column == kServiceColumn) {
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(Qt::Checked);
      item->setText(FromBroadcastSjis(service_text));
    }
    list->setItem(row, column, item);
  }
  applying_ = false;
  RefreshToolTip();
}

void FilterWindow::SetCell(uint16_t row, int column, std::string_view text) {
  QTableWidgetItem* item = ui_->serviceList->item(row, column);
  if (item == nullptr) return;
  applying_ = true;
  item->setText(FromBroadcastSjis(text));
  applying_ = false;
  RefreshToolTip();
}

void FilterWindow::ShowRowChecked(uint16_t row, bool checked) {
  QTableWidgetItem* item = ui_->serviceList->item(row, kServiceColumn);
  if (item == nullptr) return;
  applying_ = true;
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  applying_ = false;
}

void FilterWindow::OnFilterToggled(bool checked) {
  // Every way of pressing the switch (a click, the keyboard, an accessibility "Toggle") changes its
  // check state; the model's own ShowFilterState already matches the model and does nothing here.
  if (checked != model_.FilterActive()) model_.ToggleFilter(false);
}

void FilterWindow::OnItemChanged(QTableWidgetItem* item) {
  if (applying_ || item->column() != kServiceColumn) return;
  const bool checked = item->checkState() == Qt::Checked;
  const int row = item->row();
  if (!model_.SetRowChecked(static_cast<uint16_t>(row), checked)) {
    // Refused (the filter is on): the box shows the model's state again.
    const std::optional<bool> kept = model_.RowChecked(static_cast<uint16_t>(row));
    ShowRowChecked(static_cast<uint16_t>(row), kept.value_or(true));
  }
}

void FilterWindow::OnContextMenu(const QPoint& pos) {
  QTableWidget* list = ui_->serviceList;
  if (!list->selectionModel()->hasSelection()) return;
  popup_->exec(list->viewport()->mapToGlobal(pos));
}

void FilterWindow::Reserve(ProgrammeSlot which, ReserveBy how) {
  // The selection is read when the item is chosen: rows may have gone while the menu was open.
  const QModelIndexList selected = ui_->serviceList->selectionModel()->selectedRows();
  if (selected.isEmpty()) return;
  int row = selected.front().row();
  for (const QModelIndex& index : selected) row = std::min(row, index.row());
  // Nothing happens for a programme not known yet; the result (added or not) is not shown here.
  model_.ReserveProgramme(static_cast<uint16_t>(row), which, how);
}

void FilterWindow::ReserveCurrentByTime() {
  Reserve(ProgrammeSlot::kCurrent, ReserveBy::kTime);
}

void FilterWindow::ReserveCurrentByEvent() {
  Reserve(ProgrammeSlot::kCurrent, ReserveBy::kEventId);
}

void FilterWindow::ReserveNextByTime() {
  Reserve(ProgrammeSlot::kNext, ReserveBy::kTime);
}

void FilterWindow::ReserveNextByEvent() {
  Reserve(ProgrammeSlot::kNext, ReserveBy::kEventId);
}

bool FilterWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->serviceList->viewport() && event->type() == QEvent::ToolTip) {
    ShowToolTipAt(static_cast<QHelpEvent*>(event)->pos());
    return true;
  }
  return ToolWindow::eventFilter(watched, event);
}

void FilterWindow::ShowToolTipAt(const QPoint& viewport_pos) {
  QTableWidget* list = ui_->serviceList;
  QWidget* viewport = list->viewport();
  const int row = list->rowAt(viewport_pos.y());
  const std::string text = row >= 0 ? model_.RowToolTip(static_cast<uint16_t>(row)) : std::string();
  if (text.empty()) {
    if (tip_open_) QToolTip::hideText();
    tip_open_ = false;
    return;
  }
  // The tip stays while the pointer is inside its row and goes when it leaves.
  const QRect row_rect(0, list->rowViewportPosition(row), viewport->width(), list->rowHeight(row));
  QToolTip::showText(viewport->mapToGlobal(viewport_pos),
                     ToolTipHtml(FromBroadcastSjis(text), QToolTip::font(), kToolTipMaxWidth - kToolTipFrame),
                     viewport, row_rect, kToolTipMs);
  tip_pos_ = viewport_pos;
  tip_open_ = true;
}

void FilterWindow::RefreshToolTip() {
  if (!tip_open_) return;
  if (!QToolTip::isVisible()) {
    tip_open_ = false;
    return;
  }
  // The pointer has not moved while the tip is up (moving it out of the row closes the tip), so the
  // row now under it is the row at the same place.
  ShowToolTipAt(tip_pos_);
}

}  // namespace pelkan::ui
