#pragma once

#include <QPointer>
#include <QWidget>

#include "core/user_messages.h"

namespace pelkan::ui {

// UserMessages as application-modal message boxes over `parent`: Notify shows an OK box, Ask a
// Yes/No box. Texts and captions come in Shift-JIS and are shown converted.
class MessageBoxMessages final : public UserMessages {
 public:
  explicit MessageBoxMessages(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  void Notify(const std::string& text, const std::string& caption) override;
  bool Ask(const std::string& text, const std::string& caption) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace pelkan::ui
