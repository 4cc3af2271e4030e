#pragma once

#include <QObject>
#include <QPointer>

#include "platform/dispatcher.h"

namespace pelkan::ui {

class QueuedTasks;

// The desktop program's Dispatcher: every posted task runs on the thread of `context` (the UI
// thread), in posting order. The tasks wait in a queue under a standard mutex, and a queued call
// without data of its own tells the UI thread to run the next one: the hand-over from the posting
// thread is a lock that thread checkers see. Tasks posted after the context object is gone are
// dropped.
class QtDispatcher final : public Dispatcher {
 public:
  explicit QtDispatcher(QObject* context);
  void Post(std::function<void()> task) override;
  // One precise timer of the context's thread, armed for the first task due, queues each task
  // when it is due.
  void PostAfter(uint32_t delay_ms, std::function<void()> task) override;

  // True while the calling thread runs a posted task of any QtDispatcher: the work comes from the
  // background (the capture, the scheduler, a timer's hand-over), not from the user's own action.
  static bool RunningPostedTask();

 private:
  // A child of the context, so it lives on its thread and goes with it.
  QPointer<QueuedTasks> tasks_;
};

}  // namespace pelkan::ui
