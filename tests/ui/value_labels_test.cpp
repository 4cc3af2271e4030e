// The labels that show a value (named "...Value") in the desktop program's windows: a screen reader
// says what each value is, through its caption (a label whose buddy it is) or its own description.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSet>

#include "guide/guide_event.h"
#include "schedule/schedule_edit_item.h"
#include "tests/support/capture_fakes.h"
#include "tests/ui/ui_test_support.h"
#include "ui/desktop_program.h"
#include "ui/main_window.h"
#include "ui/schedule_edit_dialog.h"

namespace pelkan::ui {
namespace {

// The value labels of `window` that neither a caption nor a description tells.
QStringList Untold(QWidget* window) {
  const QList<QLabel*> labels = window->findChildren<QLabel*>();
  QSet<const QWidget*> captioned;
  for (const QLabel* l : labels) {
    if (l->buddy() != nullptr) captioned.insert(l->buddy());
  }
  QStringList untold;
  for (const QLabel* l : labels) {
    if (!l->objectName().endsWith(QStringLiteral("Value"))) continue;
    if (!captioned.contains(l) && l->accessibleDescription().isEmpty()) untold.push_back(l->objectName());
  }
  return untold;
}

TEST(ValueLabels, EveryValueIsToldByItsCaptionOrADescription) {
  testing::DesktopFixture f;
  f.Start();
  for (const char* action : {"scheduleAction", "ruleAction", "guideAction"})
    f.Find<QAction>(action)->trigger();
  pelkan::testing::RecordingMessages messages;
  ScheduleItem item = MakeEventReservation("/tmp", 4, 5, 1024, 1, "", UnpackMjdTime(LocalMjdTime()));
  ScheduleEditDialog edit(item, DeviceChannels{}, messages);
  GuideEvent programme;
  programme.key = {4, 5, 1024, 1};
  programme.title = "news";
  programme.start = 86400;
  programme.duration = 1800;
  edit.ShowProgramme(programme, "svc");

  std::vector<QWidget*> windows = {&f.program_->window(), &edit};
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && w != &f.program_->window()) windows.push_back(w);
  }
  ASSERT_GE(windows.size(), 5u) << "the main window, the edit dialog and the three tool windows";
  int values = 0;
  for (QWidget* w : windows) {
    SCOPED_TRACE(w->objectName().toStdString());
    EXPECT_EQ(Untold(w), QStringList());
    for (const QLabel* l : w->findChildren<QLabel*>())
      values += l->objectName().endsWith(QStringLiteral("Value"));
  }
  // The main window's seventeen (its figures, the recording, the sending, the watch link) and the
  // edit dialog's programme, its title and its line, at least.
  EXPECT_GE(values, 19);
  EXPECT_TRUE(f.Close());
}

}  // namespace
}  // namespace pelkan::ui
