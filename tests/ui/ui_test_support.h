#pragma once

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

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

  // Starts the program, shows its main window and waits until it is exposed.
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

// Waits (running the event loop) until `done` or `ms` have passed; returns `done()`.
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

}  // namespace pelkan::ui::testing
