// The desktop program's start: Qt's own texts in Japanese, whatever the locale it starts in.
#include "ui/desktop_program.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>
#include <memory>

#include "ui/qt_text.h"

namespace pelkan::ui {
namespace {

// The save dialog read "Look in:", "File name:", "Save", "Cancel" and the overlap question "&Yes",
// "&No" in a program whose every own text is Japanese.
TEST(QtJapaneseTexts, StandardButtonsAndTheSaveDialogReadJapanese) {
  const QLocale started_in = QLocale();
  QLocale::setDefault(QLocale::c());
  std::unique_ptr<QTranslator> translator(InstallQtJapaneseTexts());
  ASSERT_NE(translator, nullptr) << "qtbase_ja.qm of the package qt6-translations-l10n is missing";

  QMessageBox question(QMessageBox::Question, QStringLiteral("pelkan"), QStringLiteral("?"),
                       QMessageBox::Yes | QMessageBox::No);
  QFileDialog save(nullptr, QStringLiteral("save"));
  save.setOption(QFileDialog::DontUseNativeDialog);
  save.setAcceptMode(QFileDialog::AcceptSave);
  auto* save_buttons = save.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  ASSERT_NE(save_buttons, nullptr);
  struct Case {
    const char* what;
    QString text;
    const char* japanese;
  };
  const Case cases[] = {
      {"Yes", question.button(QMessageBox::Yes)->text(), "はい"},
      {"No", question.button(QMessageBox::No)->text(), "いいえ"},
      {"Look in:", save.findChild<QLabel*>(QStringLiteral("lookInLabel"))->text(), "アドレス"},
      {"File name:", save.findChild<QLabel*>(QStringLiteral("fileNameLabel"))->text(), "ファイル名"},
      {"Save", save_buttons->button(QDialogButtonBox::Save)->text(), "保存"},
      {"Cancel", save_buttons->button(QDialogButtonBox::Cancel)->text(), "キャンセル"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.text.contains(U8(c.japanese))) << c.what << ": " << c.text.toStdString();
  }
  QCoreApplication::removeTranslator(translator.get());
  QLocale::setDefault(started_in);
}

}  // namespace
}  // namespace pelkan::ui
