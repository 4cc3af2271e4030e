#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/save_path_provider.h"
#include "tests/support/capture_fakes.h"
#include "ui/desktop_program.h"
#include "ui/main_window.h"

namespace pelkan::ui::testing {

// Answers the save-file dialog: the path given, or a cancel when it is empty.
class FakeSavePath : public SavePathProvider {
 public:
  std::string answer;
  int asked = 0;
  bool AskSavePath(std::string* path) override {
    ++asked;
    if (answer.empty()) return false;
    *path = answer;
    return true;
  }
};

// A desktop program in a temporary folder (pelkan.ini and schedule.ini there), its messages
// recorded, the save dialog answered by a double and the virtual tuner as the only device.
class DesktopFixture {
 public:
  DesktopFixture();
  ~DesktopFixture();

  // Starts the program, shows its main window and waits until it is exposed and its tool windows
  // are made.
  DesktopProgram& Start();
  // Closes the main window like the close box; true when the exit was accepted.
  bool Close();
  // Drops the program (after Close and Finish, or to end a test early).
  void Stop() { program_.reset(); }

  template <typename T>
  T* Find(const char* name) {
    return program_->window().findChild<T*>(QString::fromLatin1(name));
  }
  // The text of the label / button named `name` in UTF-8.
  std::string Text(const char* name);
  // The recorded messages as "caption|text" in UTF-8.
  std::string Messages() const;

  std::filesystem::path dir;
  std::string settings_path() const { return (dir / "pelkan.ini").string(); }
  std::string schedule_path() const { return (dir / "schedule.ini").string(); }
  pelkan::testing::RecordingMessages messages;
  FakeSavePath save_path;
  DesktopOptions options;
  std::unique_ptr<DesktopProgram> program_;
};

// Runs `act` once on the modal dialog of type T when it is open.
template <typename T>
void OnModal(QObject* owner, std::function<void(T*)> act) {
  auto* timer = new QTimer(owner);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, owner, [timer, act] {
    auto* d = qobject_cast<T*>(QApplication::activeModalWidget());
    if (d == nullptr) return;
    timer->stop();
    timer->deleteLater();
    act(d);
  });
  timer->start();
}

// How the user ends a dialog: its OK (はい, 保存, 閉じる) or キャンセル (いいえ) clicked with the
// mouse, or Enter or Esc pressed in its focused control.
enum class Press { kOk, kCancel, kEnter, kEscape };

// The button of dialog `d` the user clicks to answer yes or no; null when it has none.
QAbstractButton* AnswerButton(QWidget* d, bool yes);
// Ends `d` as `press` says.
void Answer(QWidget* d, Press press);

// One modal dialog the user meets: what is typed into it, and how it is answered.
struct Step {
  std::function<void(QWidget*)> fill;
  Press press = Press::kOk;
};

// Answers the modal dialogs as they open, one step each in order (a dialog that stays open after
// its answer, behind a box, counts again once it is back on top), and notes each one's class and,
// for a message box, its text.
class DialogAnswers {
 public:
  explicit DialogAnswers(std::vector<Step> steps);
  std::vector<std::string> seen;   // class names
  std::vector<QString> box_texts;  // "caption: text" of the message boxes

 private:
  void Poll();
  std::vector<Step> steps_;
  size_t next_ = 0;
  QPointer<QWidget> last_;
  QTimer timer_;
};

// Waits (running the event loop) until `done` or `ms` have passed; returns `done()`.
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

}  // namespace pelkan::ui::testing
