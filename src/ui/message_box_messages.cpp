#include "ui/message_box_messages.h"

#include <QMessageBox>

#include "ui/qt_text.h"

namespace pelkan::ui {

void MessageBoxMessages::Notify(const std::string& text, const std::string& caption) {
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
