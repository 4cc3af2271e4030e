#include "ui/qt_dispatcher.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace pelkan::ui {

namespace {
// Posted tasks running on this thread, nested ones (a task's dialog delivering the next) included.
thread_local int g_running_tasks = 0;
}  // namespace

// The posted tasks of one dispatcher; RunNext runs on the thread of its parent. The delayed ones
// wait in order of their time under one timer, armed for the first of them: no timer object per
// task, and tasks due together are queued by one wake-up.
class QueuedTasks final : public QObject {
  Q_OBJECT

 public:
  using Clock = std::chrono::steady_clock;

  explicit QueuedTasks(QObject* parent) : QObject(parent), timer_(this) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &QueuedTasks::QueueDue);
  }

  // Any thread. A task due at the same time as others runs after those posted before it.
  void AddAfter(uint32_t delay_ms, std::function<void()> task) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto at = delayed_.emplace(Clock::now() + std::chrono::milliseconds(delay_ms), std::move(task));
      first = at == delayed_.begin();
    }
    if (!first) return;
    // A timer starts on its own thread: from elsewhere, this object's thread arms it.
    if (QThread::currentThread() == thread()) {
      Arm();
    } else {
      QMetaObject::invokeMethod(this, "Arm", Qt::QueuedConnection);
    }
  }

  // Starts the timer for the first delayed task; stops it when none waits.
  Q_INVOKABLE void Arm() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (delayed_.empty()) {
      timer_.stop();
      return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(delayed_.begin()->first - Clock::now());
    timer_.start(static_cast<int>(std::max<int64_t>(0, wait.count())));
  }

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
  // The timer's: the delayed tasks now due join the queue, in their order.
  void QueueDue() {
    std::vector<std::function<void()>> due;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto end = delayed_.upper_bound(Clock::now());
      for (auto it = delayed_.begin(); it != end; ++it) due.push_back(std::move(it->second));
      delayed_.erase(delayed_.begin(), end);
    }
    for (auto& task : due) Add(std::move(task));
    Arm();
  }

  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::multimap<Clock::time_point, std::function<void()>> delayed_;
  QTimer timer_;
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
  tasks->AddAfter(delay_ms, std::move(task));
}

}  // namespace pelkan::ui

#include "qt_dispatcher.moc"
