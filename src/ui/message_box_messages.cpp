#include "ui/message_box_messages.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>

#include "ui/qt_dispatcher.h"
#include "ui/qt_text.h"

namespace pelkan::ui {

// Told when the watched window becomes active; the held notices are shown from the event loop, not
// inside the activation's event delivery.
class MessageBoxMessages::ActivationWatch final : public QObject {
 public:
  explicit ActivationWatch(MessageBoxMessages* owner) : owner_(owner) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::WindowActivate) {
      QTimer::singleShot(0, this, [this] { owner_->ShowHeld(); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  MessageBoxMessages* owner_;
};

MessageBoxMessages::MessageBoxMessages(QWidget* parent)
    : parent_(parent), watch_(std::make_unique<ActivationWatch>(this)) {}

MessageBoxMessages::~MessageBoxMessages() {
  if (watched_) watched_->removeEventFilter(watch_.get());
}

void MessageBoxMessages::SetParent(QWidget* parent) {
  parent_ = parent;
}

void MessageBoxMessages::Notify(const std::string& text, const std::string& caption) {
  if (parent_ == nullptr || !QtDispatcher::RunningPostedTask() || QApplication::activeWindow() != nullptr) {
    Show(text, caption);
    return;
  }
  held_.emplace_back(text, caption);
  QWidget* window = parent_->window();
  if (watched_ != window) {
    if (watched_) watched_->removeEventFilter(watch_.get());
    watched_ = window;
    window->installEventFilter(watch_.get());
  }
}

void MessageBoxMessages::ShowHeld() {
  // A notice that comes while one of these boxes is open shows at once (the program is active).
  while (!held_.empty()) {
    const std::pair<std::string, std::string> notice = std::move(held_.front());
    held_.pop_front();
    Show(notice.first, notice.second);
  }
}

void MessageBoxMessages::Show(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, FromSjis(caption), FromSjis(text), QMessageBox::Ok, parent_.data());
  box.setObjectName(QStringLiteral("messageBox"));
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

bool MessageBoxMessages::Ask(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Question, FromSjis(caption), FromSjis(text),
                  QMessageBox::Yes | QMessageBox::No, parent_.data());
  box.setObjectName(QStringLiteral("questionBox"));
  box.setWindowModality(Qt::ApplicationModal);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace pelkan::ui
