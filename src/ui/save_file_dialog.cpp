#include "ui/save_file_dialog.h"

#include <QDir>
#include <QFileDialog>

#include "ui/qt_text.h"

namespace pelkan::ui {

bool SaveFileDialog::AskSavePath(std::string* path) {
  QFileDialog dialog(parent_.data(), U8("録画ファイルの保存"));
  dialog.setObjectName(QStringLiteral("saveFileDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(QStringLiteral("TS Stream (*.ts)"));
  dialog.setDefaultSuffix(QStringLiteral("ts"));
  dialog.setWindowModality(Qt::ApplicationModal);
  if (folder_) {
    const QString folder = QString::fromStdString(folder_());
    if (!folder.isEmpty() && QDir(folder).exists()) dialog.setDirectory(folder);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  *path = dialog.selectedFiles().first().toStdString();
  return !path->empty();
}

}  // namespace pelkan::ui
