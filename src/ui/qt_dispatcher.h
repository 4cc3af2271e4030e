#pragma once

#include <QObject>
#include <QPointer>

#include "core/dispatcher.h"

namespace pelkan::ui {

// The desktop program's Dispatcher: every posted task runs on the thread of `context` (the UI
// thread) through a queued call, in posting order. Tasks posted after the context object is gone
// are dropped by Qt.
class QtDispatcher final : public Dispatcher {
 public:
  explicit QtDispatcher(QObject* context);
  void Post(std::function<void()> task) override;

 private:
  QPointer<QObject> context_;
};

}  // namespace pelkan::ui
