// The save-file dialog of 録画開始: its filter and suffix, and the user's path through it in the
// running program: a name typed in an existing folder records into that file, an existing file is
// replaced only when the user says so, and a cancel starts nothing.
#include "ui/save_file_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/settings.h"
#include "core/capture_app.h"
#include "tests/ui/ui_test_support.h"

namespace pelkan::ui {
namespace {

using testing::DialogAnswers;
using testing::Press;
using testing::Step;

// The user in the save dialog: goes to `dir` and types `name` (the answer then clicks 保存 or キャンセル).
std::function<void(QWidget*)> TypeName(const std::filesystem::path& dir, const char* name) {
  return [dir, name](QWidget* w) {
    auto* d = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(d, nullptr);
    d->setDirectory(QString::fromStdString(dir.string()));
    auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, QString::fromLatin1(name));
  };
}

TEST(SaveFileDialog, OffersTsFilesAndAddsTheSuffix) {
  char pattern[] = "/tmp/pelkan-save-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  const std::string before = std::filesystem::current_path().string();
  QWidget owner;
  SaveFileDialog provider(&owner);
  QStringList filters;
  QString suffix;
  Qt::WindowModality modality = Qt::NonModal;
  std::string path;
  {
    DialogAnswers answers({{[&](QWidget* w) {
                              auto* d = qobject_cast<QFileDialog*>(w);
                              filters = d->nameFilters();
                              suffix = d->defaultSuffix();
                              modality = d->windowModality();
                              TypeName(dir, "capture")(w);
                            },
                            Press::kOk}});
    ASSERT_TRUE(provider.AskSavePath(&path));
  }
  EXPECT_EQ(path, (dir / "capture.ts").string());
  EXPECT_EQ(filters, QStringList{QStringLiteral("TS Stream (*.ts)")});
  EXPECT_EQ(suffix.toStdString(), "ts");
  EXPECT_EQ(modality, Qt::ApplicationModal);
  EXPECT_EQ(std::filesystem::current_path().string(), before);

  DialogAnswers cancel({{nullptr, Press::kCancel}});
  EXPECT_FALSE(provider.AskSavePath(&path));
  std::filesystem::remove_all(dir);
}

// 録画開始 without automatic names, the user naming the file in the save dialog, which opens in
// the recording folder. A refusal to
// replace brings the dialog back; cancelling it then starts nothing ("開始に失敗しました").
TEST(SaveFileDialog, RecordStartRecordsIntoTheNamedFileAndAsksBeforeReplacing) {
  struct Case {
    const char* name;
    const char* typed;
    bool existing;             // x.ts is there before, holding "old"
    std::vector<Press> after;  // answers to what follows 保存 (the replace question, ...)
    std::vector<std::string> dialogs;
    bool records;
  };
  const std::vector<Case> cases = {
      {"a new name", "x", false, {}, {"QFileDialog"}, true},
      {"a new name with the suffix", "x.ts", false, {}, {"QFileDialog"}, true},
      {"an existing file replaced", "x", true, {Press::kOk}, {"QFileDialog", "QMessageBox"}, true},
      {"an existing file kept", "x.ts", true, {Press::kCancel, Press::kCancel, Press::kOk},
       {"QFileDialog", "QMessageBox", "QFileDialog", "QMessageBox"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::DesktopFixture f;
    f.options.messages = nullptr;  // the program's own boxes
    f.options.save_path = nullptr;  // and its own save dialog
    const std::filesystem::path folder = f.dir / "recordings";
    Settings settings = DefaultSettings(f.dir.string());
    settings.rec_autofilename = 0;
    settings.rec_autopath = folder.string();  // ASCII
    ASSERT_TRUE(SaveSettings(f.settings_path(), settings));
    std::filesystem::create_directory(folder);
    const std::filesystem::path file = folder / "x.ts";
    if (c.existing) std::ofstream(file) << "old";
    f.Start();
    QTest::mouseClick(f.Find<QPushButton>("connectButton"), Qt::LeftButton);
    ASSERT_TRUE(f.program_->app().IsConnected());

    // The dialog opens in the recording folder.
    QString opened;
    const auto name = TypeName(folder, c.typed);
    std::vector<Step> steps = {{[&opened, name](QWidget* w) {
                                  opened = qobject_cast<QFileDialog*>(w)->directory().absolutePath();
                                  name(w);
                                },
                                Press::kOk}};
    for (Press p : c.after) steps.push_back({nullptr, p});
    DialogAnswers answers(steps);
    QTest::mouseClick(f.Find<QPushButton>("recordButton"), Qt::LeftButton);
    ASSERT_TRUE(testing::WaitFor([] { return QApplication::activeModalWidget() == nullptr; }));
    EXPECT_EQ(answers.seen, c.dialogs);
    EXPECT_EQ(opened.toStdString(), folder.string());
    CaptureApp& app = f.program_->app();
    EXPECT_EQ(app.IsRecording(), c.records);
    if (c.records) {
      EXPECT_EQ(app.GetRecordingPath(), file.string());
      app.ToggleRecording(true);
      EXPECT_NE(std::filesystem::file_size(file), 3u);  // not the old contents
    } else {
      EXPECT_EQ(answers.box_texts.back(), QStringLiteral("pelkan: 開始に失敗しました"));
      std::ifstream in(file);
      std::string kept;
      in >> kept;
      EXPECT_EQ(kept, "old");
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "x"));
    app.Disconnect();
  }
}

}  // namespace
}  // namespace pelkan::ui
