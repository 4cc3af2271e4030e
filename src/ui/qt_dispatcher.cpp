#include "ui/qt_dispatcher.h"

#include <QMetaObject>
#include <QTimer>
#include <QThread>
#include <deque>
#include <mutex>
#include <utility>

namespace pelkan::ui {

namespace {
// Posted tasks running on this thread, nested ones (a task's dialog delivering the next) included.
thread_local int g_running_tasks = 0;
}  // namespace

// The posted tasks of one dispatcher; RunNext runs on the thread of its parent.
class QueuedTasks final : public QObject {
  Q_OBJECT

 public:
  explicit QueuedTasks(QObject* parent) : QObject(parent) {}

  // Any thread. One queued call per task, as a queued call of the task itself would be: a task
  // that opens a dialog does not hold up the ones behind it, whose calls the dialog's event loop
  // delivers.
  void Add(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(this, "RunNext", Qt::QueuedConnection);
  }

  // Runs the oldest task, outside the lock.
  Q_INVOKABLE void RunNext() {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    ++g_running_tasks;
    struct Done {
      ~Done() { --g_running_tasks; }
    } done;
    task();
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

QtDispatcher::QtDispatcher(QObject* context) : tasks_(new QueuedTasks(context)) {}

bool QtDispatcher::RunningPostedTask() {
  return g_running_tasks > 0;
}

void QtDispatcher::Post(std::function<void()> task) {
  QueuedTasks* tasks = tasks_.data();
  if (tasks == nullptr) return;
  tasks->Add(std::move(task));
}

void QtDispatcher::PostAfter(uint32_t delay_ms, std::function<void()> task) {
  QueuedTasks* tasks = tasks_.data();
  if (tasks == nullptr) return;
  auto queue = [tasks, task = std::move(task)]() mutable { tasks->Add(std::move(task)); };
  if (QThread::currentThread() == tasks->thread()) {
    QTimer::singleShot(static_cast<int>(delay_ms), Qt::PreciseTimer, tasks, std::move(queue));
    return;
  }
  // A timer starts on its own thread: from elsewhere, the context's thread starts it.
  QMetaObject::invokeMethod(
      tasks,
      [tasks, delay_ms, queue = std::move(queue)]() mutable {
        QTimer::singleShot(static_cast<int>(delay_ms), Qt::PreciseTimer, tasks, std::move(queue));
      },
      Qt::QueuedConnection);
}

}  // namespace pelkan::ui

#include "qt_dispatcher.moc"
