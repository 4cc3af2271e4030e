#include "ui/tool_window_factory.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/qt_text.h"

namespace pelkan::ui {

namespace {

// A tool window with a title and a line saying what will appear in it.
ToolWindow* Placeholder(const QString& object_name, const QString& title, const QString& text,
                        QWidget* owner) {
  auto* window = new ToolWindow(owner);
  window->setObjectName(object_name);
  window->setWindowTitle(title);
  auto* layout = new QVBoxLayout(window);
  auto* label = new QLabel(text, window);
  label->setObjectName(object_name + QStringLiteral("Text"));
  label->setAlignment(Qt::AlignCenter);
  layout->addWidget(label);
  window->resize(380, 180);
  return window;
}

}  // namespace

ToolWindow* CreateFilterToolWindow(DesktopContext& /*context*/, QWidget* owner) {
  return Placeholder(QStringLiteral("filterWindow"), U8("フィルタリング"), U8("(サービスの一覧は準備中です)"),
                     owner);
}

ToolWindow* CreateScheduleToolWindow(DesktopContext& /*context*/, QWidget* owner) {
  return Placeholder(QStringLiteral("scheduleWindow"), U8("録画予約"), U8("(録画予約の一覧は準備中です)"),
                     owner);
}

}  // namespace pelkan::ui
