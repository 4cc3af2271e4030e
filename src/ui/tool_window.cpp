#include "ui/tool_window.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace pelkan::ui {

namespace {
constexpr int kNoPosition = -29999;
}

ToolWindow::ToolWindow(QWidget* parent) : QWidget(parent, Qt::Tool) {}

void ToolWindow::RestorePlacement(const WindowPlacement& placement) {
  if (placement.width > 0 && placement.height > 0) resize(placement.width, placement.height);
  if (placement.x >= kNoPosition && placement.y >= kNoPosition) move(placement.x, placement.y);
}

WindowPlacement ToolWindow::SavedPlacement() const {
  // pos() is the frame's corner, as move() takes it; size() the client size, as resize() takes it.
  WindowPlacement p;
  p.x = pos().x();
  p.y = pos().y();
  p.width = width();
  p.height = height();
  return p;
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
  QWidget::showEvent(event);
  Q_EMIT visibilityChanged(true);
}

void ToolWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  Q_EMIT visibilityChanged(false);
}

}  // namespace pelkan::ui
