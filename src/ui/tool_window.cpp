#include "ui/tool_window.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <algorithm>

namespace pelkan::ui {

namespace {
constexpr int kNoPosition = -29999;

// A tool window is a window to assistive technology too (a plain QWidget would be a panel).
QAccessibleInterface* ToolWindowAccessible(const QString& class_name, QObject* object) {
  if (class_name != QLatin1String(ToolWindow::staticMetaObject.className()) || !object->isWidgetType())
    return nullptr;
  return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}
}  // namespace

ToolWindow::ToolWindow(QWidget* parent) : QWidget(parent, Qt::Tool) {
  static const bool installed = [] {
    QAccessible::installFactory(ToolWindowAccessible);
    return true;
  }();
  (void)installed;
}

void ToolWindow::RestorePlacement(const WindowPlacement& placement) {
  restored_ = placement;
  if (placement.x < kNoPosition || placement.y < kNoPosition) return;
  if (placement.width > 0 && placement.height > 0) resize(placement.width, placement.height);
  move(placement.x, placement.y);
  placed_ = true;
}

WindowPlacement ToolWindow::SavedPlacement() const {
  if (!placed_) return restored_;
  // pos() is the frame's corner, as move() takes it; size() the client size, as resize() takes it.
  WindowPlacement p;
  p.x = pos().x();
  p.y = pos().y();
  p.width = width();
  p.height = height();
  return p;
}

bool ToolWindow::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
      static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
    // Taken as a key press of this window (its field may clear itself, the window ignores it),
    // never as the main window's shortcut, which would end the program.
    event->accept();
    return true;
  }
  return QWidget::event(event);
}

void ToolWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

void ToolWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void ToolWindow::showEvent(QShowEvent* event) {
  placed_ = true;
  QWidget::showEvent(event);
}

void ToolWindow::WidenToShowColumns(QTableView* list) {
  // The list stands in the window's layout, with the layout's margins beside it.
  const QMargins margins = layout() != nullptr ? layout()->contentsMargins() : QMargins();
  const int around = margins.left() + margins.right();
  const int bar = list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list->verticalScrollBar());
  const QHeaderView* rows = list->verticalHeader();
  const int row_header = rows->isHidden() ? 0 : rows->sizeHint().width();
  const int needed = around + 2 * list->frameWidth() + row_header + list->horizontalHeader()->length() + bar;
  if (needed > width()) resize(needed, height());
}

}  // namespace pelkan::ui
