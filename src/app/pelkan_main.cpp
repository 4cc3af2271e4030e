// The desktop program's entry. Placeholder until the main window exists.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLabel label(QStringLiteral("Pelkan"));
  label.show();
  return app.exec();
}
