#include "ui/qt_dispatcher.h"

#include <QMetaObject>

namespace pelkan::ui {

QtDispatcher::QtDispatcher(QObject* context) : context_(context) {}

void QtDispatcher::Post(std::function<void()> task) {
  QObject* context = context_.data();
  if (context == nullptr) return;
  QMetaObject::invokeMethod(
      context, [task = std::move(task)]() { task(); }, Qt::QueuedConnection);
}

}  // namespace pelkan::ui
