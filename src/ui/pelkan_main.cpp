// The desktop program: the main window over the capture application, from start to exit.
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/desktop_program.h"
#include "ui/main_window.h"

namespace {

// Without a display Qt would abort with its own message; say what to do instead.
bool HasDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

void PrintUsage() {
  std::printf(
      "Usage: pelkan [--home DIR] [--record] [Qt options]\n"
      "       pelkan --version\n"
      "The desktop program of Pelkan: capture, record and reserve ISDB broadcasts of USB tuners\n"
      "(a virtual tuner when none is attached).\n"
      "\n"
      "  --home DIR  keep pelkan.ini, schedule.ini, epg.sqlite and rules.sqlite in DIR\n"
      "              (default: $PELKAN_HOME, else $XDG_DATA_HOME/pelkan)\n"
      "  --record    once the window is shown, connect and start recording, as the\n"
      "              buttons 接続 and 録画 do\n"
      "  --version   print the version and exit\n"
      "  --help      print this help and exit\n"
      "\n"
      "Without a display, use the headless tool: pelkan-cli --help\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write fails with EFBIG (a recording stops as on a full disk) instead
  // of the signal ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  pelkan::ui::DesktopOptions options;
  bool record = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("pelkan %s\n", PELKAN_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--home") == 0 || std::strncmp(argv[i], "--home=", 7) == 0) {
      const char* dir = argv[i][6] == '=' ? argv[i] + 7 : (i + 1 < argc ? argv[++i] : "");
      if (*dir == '\0') {
        std::fprintf(stderr, "pelkan: --home needs a folder\n");
        return 2;
      }
      options.home_flag = dir;
    }
    if (std::strcmp(argv[i], "--record") == 0) record = true;
  }
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "pelkan: no display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "Run it on a desktop, or in a virtual display:  xvfb-run -a pelkan\n"
                 "or use the headless tool:  pelkan-cli --help\n");
    return 1;
  }
  QApplication qt(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pelkan"));
  QApplication::setApplicationVersion(QStringLiteral(PELKAN_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("pelkan"));
  if (pelkan::ui::InstallQtJapaneseTexts() == nullptr) {
    std::fprintf(stderr, "pelkan: Qt's Japanese translation (qtbase_ja.qm, package qt6-translations-l10n) "
                         "is not installed; Qt's own buttons and dialogs stay in English\n");
  }
  // The tool windows stay open until the main window's exit is accepted.
  QApplication::setQuitOnLastWindowClosed(false);
  int code = 0;
  {
    pelkan::ui::DesktopProgram program(options);
    QObject::connect(&program.window(), &pelkan::ui::MainWindow::exitAccepted, &qt, &QApplication::quit,
                     Qt::QueuedConnection);
    program.window().show();
    if (record) {
      // The two buttons pressed as the user presses them, once the window is up.
      QTimer::singleShot(0, &program.window(), [&program] {
        for (const char* name : {"connectButton", "recordButton"}) {
          auto* button = program.window().findChild<QPushButton*>(QString::fromLatin1(name));
          if (button == nullptr || !button->isEnabled() || button->isChecked()) return;
          button->click();
        }
      });
    }
    code = qt.exec();
    if (!program.Finish()) code = 1;
  }
  return code;
}
