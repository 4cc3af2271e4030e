#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "core/user_messages.h"

namespace pelkan::ui {

// UserMessages as application-modal message boxes over `parent`: Notify shows an OK box, Ask a
// Yes/No box. Texts and captions come in Shift-JIS and are shown converted.
// A notice that answers the user's own action (a refusal, a failed connect: called from the click,
// key, menu or accessibility action itself) shows at once, whichever window is active. A notice from
// the background (one a QtDispatcher task gives: a recording given up, a rule's news) that comes
// while none of the program's windows is active is held, and shown once `parent`'s window becomes
// active: it waits to be seen instead of a box sitting behind another program. Held notices show
// in the order they came. Questions always show at once.
class MessageBoxMessages final : public UserMessages {
 public:
  explicit MessageBoxMessages(QWidget* parent = nullptr);
  ~MessageBoxMessages() override;
  MessageBoxMessages(const MessageBoxMessages&) = delete;
  MessageBoxMessages& operator=(const MessageBoxMessages&) = delete;
  void SetParent(QWidget* parent);
  void Notify(const std::string& text, const std::string& caption) override;
  bool Ask(const std::string& text, const std::string& caption) override;
  // Notices waiting for the window to become active.
  size_t HeldCount() const { return held_.size(); }

 private:
  class ActivationWatch;
  void Show(const std::string& text, const std::string& caption);
  void ShowHeld();

  QPointer<QWidget> parent_;
  QPointer<QWidget> watched_;  // the window the watch is installed on
  std::deque<std::pair<std::string, std::string>> held_;
  std::unique_ptr<ActivationWatch> watch_;
};

}  // namespace pelkan::ui
