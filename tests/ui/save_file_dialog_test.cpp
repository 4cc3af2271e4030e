#include "ui/save_file_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QTimer>
#include <filesystem>

namespace pelkan::ui {
namespace {

TEST(SaveFileDialog, OffersTsFilesAndAddsTheSuffix) {
  char pattern[] = "/tmp/pelkan-save-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  const std::string before = std::filesystem::current_path().string();
  QWidget owner;
  SaveFileDialog provider(&owner);
  QStringList filters;
  QString suffix;
  Qt::WindowModality modality = Qt::NonModal;
  QTimer::singleShot(0, [&] {
    auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    filters = d->nameFilters();
    suffix = d->defaultSuffix();
    modality = d->windowModality();
    d->setDirectory(QString::fromStdString(dir.string()));
    d->selectFile(QStringLiteral("capture"));
    QMetaObject::invokeMethod(d, "accept");
  });
  std::string path;
  ASSERT_TRUE(provider.AskSavePath(&path));
  EXPECT_EQ(path, (dir / "capture.ts").string());
  EXPECT_EQ(filters, QStringList{QStringLiteral("TS Stream (*.ts)")});
  EXPECT_EQ(suffix.toStdString(), "ts");
  EXPECT_EQ(modality, Qt::ApplicationModal);
  EXPECT_EQ(std::filesystem::current_path().string(), before);

  QTimer::singleShot(0, [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->reject(); });
  EXPECT_FALSE(provider.AskSavePath(&path));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan::ui
