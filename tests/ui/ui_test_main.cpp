// Runs the window tests inside one QApplication; without a display they use the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

// The offscreen platform warns about every window operation it cannot do; those say nothing here.
QtMessageHandler g_previous = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.startsWith(QStringLiteral("This plugin does not support"))) return;
  if (g_previous) g_previous(type, context, text);
}

}  // namespace

// Qt, GLib, libdbus (the accessibility bridge) and libxcb (a real display) are not built with
// ThreadSanitizer: their thread pools, file-info threads, slice allocator, bus and display
// connections synchronise in code the tool cannot see, so the memory and thread calls made from
// inside them are not checked. Read by ThreadSanitizer builds only.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libQt6DBus.so.6\n"
         "called_from_lib:libQt6XcbQpa.so.6\n"
         "called_from_lib:libxcb.so.1\n"
         "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libdbus-1.so.3\n";
}

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  g_previous = qInstallMessageHandler(FilterMessages);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
