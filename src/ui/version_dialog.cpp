#include "ui/version_dialog.h"

#include <QIcon>

#include "ui/qt_text.h"
#include "ui_version_dialog.h"

namespace pelkan::ui {

VersionDialog::VersionDialog(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::VersionDialog>()) {
  ui_->setupUi(this);
  setWindowModality(Qt::ApplicationModal);
  ui_->iconLabel->setPixmap(QIcon(QStringLiteral(":/pelkan/pelkan.png")).pixmap(48, 48));
  ui_->nameValue->setText(QStringLiteral("Pelkan"));
  ui_->versionValue->setText(U8("バージョン ") + QStringLiteral(PELKAN_VERSION));
  ui_->noticeValue->setText(
      U8("USB デジタルチューナー (EZ-USB FX2) の TS キャプチャツール\n"
         "接続するチューナーがなければ仮想チューナーが使えます。"));
  connect(ui_->closeButton, &QPushButton::clicked, this, &QDialog::accept);
}

VersionDialog::~VersionDialog() = default;

}  // namespace pelkan::ui
