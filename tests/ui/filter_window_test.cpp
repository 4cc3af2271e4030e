// The filtering window bound to its model, fed as the processing thread would feed it.
#include "ui/filter_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "info/programme_text.h"
#include "info/service_filter_window.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "ui/qt_dispatcher.h"
#include "ui/qt_text.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace pelkan::ui {
namespace {

constexpr uint32_t kDay = 61381;  // 2026-12-07, a Monday

ProgrammeEvent Event(uint16_t service_id, uint16_t event_id, uint32_t start, uint32_t duration,
                     const std::string& title_utf8, const std::string& description_utf8 = "") {
  ProgrammeEvent e{};
  e.kind = 1;
  e.version = 1;
  e.service_id = service_id;
  e.event_id = event_id;
  // As the broadcast's decoder gives them: symbols such as 🈑 in their cells of rows 85-94.
  const std::string title = platform::Utf8ToBroadcast(title_utf8).value_or("");
  const std::string description = platform::Utf8ToBroadcast(description_utf8).value_or("");
  std::memcpy(e.title, title.data(), std::min(title.size(), sizeof e.title - 1));
  std::memcpy(e.description, description.data(), std::min(description.size(), sizeof e.description - 1));
  e.start_day = kDay;
  e.start_second = start;
  e.end_day = kDay;
  e.end_second = start + duration;
  e.duration = duration;
  e.video_component_type = 0xB3;
  e.audio_component_type = 3;
  return e;
}

// The model, the window and what the model hands to the application and the scheduler.
struct Harness {
  struct Reservation {
    bool by_time;
    uint16_t network_id, stream_id, service_id, event_id;
    MjdTime start;
    uint32_t duration;
    std::string title;
  };

  Harness() {
    model.SetFilterCallback([this](std::span<const uint16_t> services, std::span<const uint16_t> pids) {
      filters.push_back({{services.begin(), services.end()}, {pids.begin(), pids.end()}});
    });
    model.SetReserveCallbacks(
        [this](uint16_t sid, const MjdTime& start, uint32_t duration, std::string_view title) {
          reservations.push_back({true, 0, 0, sid, 0, start, duration, std::string(title)});
          return true;
        },
        [this](uint16_t nid, uint16_t tsid, uint16_t sid, uint16_t eid, std::string_view title) {
          reservations.push_back({false, nid, tsid, sid, eid, {}, 0, std::string(title)});
          return true;
        });
    window.resize(700, 260);
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  ~Harness() { QToolTip::hideText(); }

  // Runs the model's posted updates.
  void Pump() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }
  // Three services with components, names and (for the first two) programmes.
  void FillThreeServices() {
    model.OnStreamReset();
    model.OnServiceEntry(1024, 0x1F0);
    model.OnServiceEntry(1025, 0x1F1);
    model.OnServiceEntry(1026, 0x1F2);
    const ComponentEntry a[] = {{0x02, 0x111}, {0x0F, 0x112}};
    const ComponentEntry b[] = {{0x02, 0x121}, {0x0F, 0x112}, {0x0D, 0x130}};
    const ComponentEntry c[] = {{0x02, 0x131}};
    model.OnComponentList(1024, a);
    model.OnComponentList(1025, b);
    model.OnComponentList(1026, c);
    model.OnServiceName(1024, platform::Utf8ToSjis("ＮＨＫ総合"));
    model.OnServiceName(1025, platform::Utf8ToSjis("Ｅテレ"));
    model.OnServiceName(1026, platform::Utf8ToSjis("テスト３"));
    Pump();
    programmes[1024] = {Event(1024, 7, 21 * 3600, 3240, "ニュース７", "今日の出来事"),
                        Event(1024, 8, 21 * 3600 + 3240, 1800, "天気")};
    programmes[1025] = {Event(1025, 21, 20 * 3600 + 1800, 3600, "きょうの料理")};
    Refresh(21 * 3600 + 600);
  }
  void Refresh(uint32_t second) {
    model.RefreshProgrammes(
        MjdTime{kDay, second}, [this](uint16_t sid, const MjdTime& t, ProgrammeEvent* out, bool) {
          for (const ProgrammeEvent& e : programmes[sid]) {
            if (e.start_day == t.date && e.start_second <= t.seconds && t.seconds < e.end_second) {
              *out = e;
              return true;
            }
          }
          return false;
        });
    Pump();
  }

  QTableWidget* List() { return window.findChild<QTableWidget*>(QStringLiteral("serviceList")); }
  QPushButton* Button() { return window.findChild<QPushButton*>(QStringLiteral("filterButton")); }
  QString Cell(int row, int column) { return List()->item(row, column)->text(); }
  QPoint RowCentre(int row) {
    QTableWidget* list = List();
    return QPoint(list->viewport()->width() / 3, list->rowViewportPosition(row) + list->rowHeight(row) / 2);
  }
  // The user toggles the check box of `row` with the keyboard.
  void ToggleCheck(int row) {
    List()->setFocus();
    List()->setCurrentCell(row, 0);
    QTest::keyClick(List(), Qt::Key_Space);
  }
  void HoverRow(const QPoint& viewport_pos) {
    QWidget* viewport = List()->viewport();
    QHelpEvent help(QEvent::ToolTip, viewport_pos, viewport->mapToGlobal(viewport_pos));
    QApplication::sendEvent(viewport, &help);
  }
  // The model's tool tip as shown: without the blank end a programme without description leaves.
  QString ShownToolTip(int row) {
    QString text = FromBroadcastSjis(model.RowToolTip(static_cast<uint16_t>(row)));
    while (text.endsWith('\n')) text.chop(1);
    return text;
  }
  static bool ToolTipGoes() {
    return QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000);
  }
  static QString ToolTipPlainText() {
    QTextDocument doc;
    doc.setHtml(QToolTip::text());
    return doc.toPlainText();
  }

  QObject context;
  QtDispatcher dispatcher{&context};
  ServiceFilterWindow model{dispatcher};
  FilterWindow window{model};
  std::map<uint16_t, std::vector<ProgrammeEvent>> programmes;
  std::vector<std::pair<std::vector<uint16_t>, std::vector<uint16_t>>> filters;
  std::vector<Reservation> reservations;
};

TEST(FilterWindow, ListShowsTheServicesCheckedInOrderWithTheModelsTexts) {
  Harness h;
  EXPECT_EQ(h.window.windowTitle(), U8("フィルタリング"));
  QTableWidget* list = h.List();
  ASSERT_NE(list, nullptr);
  ASSERT_NE(h.Button(), nullptr);
  EXPECT_EQ(h.Button()->text(), U8("フィルタ実行"));
  EXPECT_TRUE(h.Button()->isCheckable());
  EXPECT_TRUE(list->showGrid());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  const char* headers[] = {"サービスID", "チャンネル名", "現在の番組", "PMT", "構成PID"};
  ASSERT_EQ(list->columnCount(), 5);
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(list->horizontalHeaderItem(c)->text(), U8(headers[c]));
    EXPECT_GE(list->columnWidth(c), FilterWindow::kColumnWidths[c]);
  }
  EXPECT_EQ(list->columnWidth(2), 200);
  EXPECT_EQ(list->columnWidth(4), 200);
  // Not capturing yet: both controls are disabled.
  EXPECT_FALSE(h.Button()->isEnabled());
  EXPECT_FALSE(list->isEnabled());

  h.FillThreeServices();
  ASSERT_EQ(list->rowCount(), 3);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(list->item(r, 0)->checkState(), Qt::Checked) << r;
  EXPECT_EQ(h.Cell(0, 0), "1024");
  EXPECT_EQ(h.Cell(2, 0), "1026");
  EXPECT_EQ(h.Cell(1, 1), U8("Ｅテレ"));
  EXPECT_EQ(h.Cell(0, 2), U8("21:00 - 21:54 ニュース７"));
  EXPECT_EQ(h.Cell(2, 2), "");
  EXPECT_EQ(h.Cell(1, 3), "0x01F1");
  EXPECT_EQ(h.Cell(1, 4), "0x0121(m2v) 0x0112(aac) 0x0130(dat) ");

  // A known service in a later PAT keeps its row; a new one is appended.
  h.model.OnServiceEntry(1025, 0x1F1);
  h.model.OnServiceEntry(1040, 0x1F8);
  h.Pump();
  ASSERT_EQ(list->rowCount(), 4);
  EXPECT_EQ(h.Cell(3, 0), "1040");
  EXPECT_EQ(h.Cell(3, 3), "0x01F8");

  // Capturing enables both; the window keeps filling the window when resized.
  h.model.SetControlsEnabled(true);
  EXPECT_TRUE(h.Button()->isEnabled());
  EXPECT_TRUE(list->isEnabled());
  for (const QSize size : {QSize(500, 300), QSize(900, 500)}) {
    h.window.resize(size);
    QCoreApplication::processEvents();
    const QRect g = list->geometry();
    EXPECT_EQ(h.window.width() - g.right() - 1, g.left()) << "right margin";
    EXPECT_EQ(h.window.height() - g.bottom() - 1, g.left()) << "bottom margin";
  }

  // Closing hides the window; shown again, its rows are still there.
  EXPECT_FALSE(h.window.close());
  EXPECT_FALSE(h.window.isVisible());
  h.window.show();
  EXPECT_EQ(list->rowCount(), 4);
}

TEST(FilterWindow, RowsAndToolTipsShowTheBroadcastsSymbols) {
  Harness h;
  h.FillThreeServices();
  h.model.SetControlsEnabled(true);
  h.programmes[1026] = {Event(1026, 30, 21 * 3600, 1800, "🈟ドラマ「山﨑家」🈑🈓", "☀のち☂　①")};
  h.Refresh(21 * 3600 + 600);
  EXPECT_EQ(h.Cell(2, 2), U8("21:00 - 21:30 🈟ドラマ「山﨑家」🈑🈓"));
  h.HoverRow(h.RowCentre(2));
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_TRUE(Harness::ToolTipPlainText().contains(U8("\n🈟ドラマ「山﨑家」🈑🈓\n☀のち☂　①")))
      << Harness::ToolTipPlainText().toStdString();
}

TEST(FilterWindow, CheckBoxesAndTheSwitchDriveTheFilterAndFreezeTheList) {
  Harness h;
  h.FillThreeServices();
  h.model.SetControlsEnabled(true);
  h.filters.clear();  // the stream reset's "filter off"
  QTableWidget* list = h.List();

  h.ToggleCheck(1);
  EXPECT_EQ(list->item(1, 0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(h.model.RowChecked(1), false);
  EXPECT_EQ(h.model.RowChecked(0), true);

  QTest::mouseClick(h.Button(), Qt::LeftButton);
  ASSERT_EQ(h.filters.size(), 1u);
  EXPECT_EQ(h.filters[0].first, (std::vector<uint16_t>{1025}));
  // 0x0112 is shared with a kept service and stays.
  EXPECT_EQ(h.filters[0].second, (std::vector<uint16_t>{0x121, 0x130}));
  EXPECT_TRUE(h.Button()->isChecked());
  EXPECT_TRUE(h.Button()->isEnabled());
  EXPECT_FALSE(list->isEnabled());
  EXPECT_TRUE(h.model.FilterActive());
  // The check boxes are frozen while the filter is on, also when changed behind the user's back.
  list->item(0, 0)->setCheckState(Qt::Unchecked);
  EXPECT_EQ(list->item(0, 0)->checkState(), Qt::Checked);
  EXPECT_EQ(h.model.RowChecked(0), true);

  QTest::mouseClick(h.Button(), Qt::LeftButton);
  ASSERT_EQ(h.filters.size(), 2u);
  EXPECT_TRUE(h.filters[1].first.empty());
  EXPECT_TRUE(h.filters[1].second.empty());
  EXPECT_FALSE(h.Button()->isChecked());
  EXPECT_TRUE(list->isEnabled());
  EXPECT_EQ(list->item(1, 0)->checkState(), Qt::Unchecked);

  // All rows checked: the switch clears the processor's filter, yet stays on with the list frozen.
  h.ToggleCheck(1);
  QTest::mouseClick(h.Button(), Qt::LeftButton);
  ASSERT_EQ(h.filters.size(), 3u);
  EXPECT_TRUE(h.filters[2].first.empty() && h.filters[2].second.empty());
  EXPECT_TRUE(h.Button()->isChecked());
  EXPECT_FALSE(list->isEnabled());

  // A new stream switches the filter off and empties the list.
  h.model.OnStreamReset();
  h.Pump();
  EXPECT_EQ(list->rowCount(), 0);
  EXPECT_FALSE(h.Button()->isChecked());
  EXPECT_TRUE(list->isEnabled());

  // Disconnect: both disabled, the switch off.
  QTest::mouseClick(h.Button(), Qt::LeftButton);
  h.model.SetControlsEnabled(false);
  h.model.ToggleFilter(true);
  EXPECT_FALSE(h.Button()->isEnabled());
  EXPECT_FALSE(h.Button()->isChecked());
  EXPECT_FALSE(list->isEnabled());
}

TEST(FilterWindow, ToolTipShowsTheRowUnderThePointerAlsoAfterScrolling) {
  Harness h;
  h.FillThreeServices();
  h.model.SetControlsEnabled(true);

  h.HoverRow(h.RowCentre(0));
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(Harness::ToolTipPlainText(), h.ShownToolTip(0));
  EXPECT_TRUE(Harness::ToolTipPlainText().startsWith(
      U8("ＮＨＫ総合(1024)\n\n現在の番組>> 2026/12/07(月) 21:00 - 21:54 映像(D3 1080i,16:9) "
         "音声(ステレオ)\nニュース７\n今日の出来事\n\n次の番組>> 2026/12/07(月) 21:54 - 22:24")))
      << Harness::ToolTipPlainText().toStdString();

  // Black on RGB(255, 255, 200), at most 500 pixels wide even for a long description.
  QLabel* tip = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->inherits("QTipLabel") && w->isVisible()) tip = qobject_cast<QLabel*>(w);
  }
  ASSERT_NE(tip, nullptr);
  const QImage image = tip->grab().toImage();
  EXPECT_EQ(image.pixelColor(3, 3), QColor(255, 255, 200));
  EXPECT_EQ(tip->palette().color(QPalette::WindowText), QColor(Qt::black));
  h.programmes[1025] = {Event(1025, 22, 20 * 3600 + 1800, 3600, "きょうの料理",
                              std::string(60, 'x') + " " + std::string(60, 'y'))};
  h.Refresh(21 * 3600 + 700);
  h.HoverRow(h.RowCentre(1));
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_TRUE(Harness::ToolTipPlainText().contains(QString(60, 'y')));
  EXPECT_LE(tip->width(), FilterWindow::kToolTipMaxWidth);
  EXPECT_GT(tip->width(), 200);

  // A row without a current programme shows only its name and id, even with a next one known.
  h.HoverRow(h.RowCentre(2));
  EXPECT_EQ(Harness::ToolTipPlainText(), U8("テスト３(1026)"));
  // Broadcast texts are shown as they are, never as markup.
  h.model.OnServiceName(1026, "<b>T&amp;</b>");
  h.Pump();
  h.HoverRow(h.RowCentre(2));
  EXPECT_EQ(Harness::ToolTipPlainText(), "<b>T&amp;</b>(1026)");

  // Below the last row: no tip.
  QTableWidget* list = h.List();
  h.HoverRow(QPoint(10, list->rowViewportPosition(2) + list->rowHeight(2) + 5));
  EXPECT_TRUE(Harness::ToolTipGoes());

  // Many rows: scrolling under an open tip changes it to the row now under the pointer.
  for (uint16_t sid = 2000; sid < 2040; ++sid) h.model.OnServiceEntry(sid, 0x1000 + sid);
  h.Pump();
  ASSERT_EQ(list->rowCount(), 43);
  const QPoint at = h.RowCentre(1);
  h.HoverRow(at);
  EXPECT_TRUE(Harness::ToolTipPlainText().startsWith(U8("Ｅテレ(1025)")));
  list->verticalScrollBar()->setValue(list->verticalScrollBar()->value() + 5);
  QCoreApplication::processEvents();
  const int row_now = list->rowAt(at.y());
  ASSERT_GT(row_now, 1);
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(Harness::ToolTipPlainText(), h.ShownToolTip(row_now));

  // The wheel closes the tip; the next one is of the row under the pointer then.
  QWheelEvent wheel(QPointF(at), QPointF(list->viewport()->mapToGlobal(at)), QPoint(), QPoint(0, -120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(list->viewport(), &wheel);
  QCoreApplication::processEvents();
  const int row_after_wheel = list->rowAt(at.y());
  ASSERT_GT(row_after_wheel, row_now);
  h.HoverRow(at);
  EXPECT_EQ(Harness::ToolTipPlainText(), h.ShownToolTip(row_after_wheel));

  // A stream reset under an open tip closes it.
  h.model.OnStreamReset();
  h.Pump();
  EXPECT_TRUE(Harness::ToolTipGoes());
}

// Opens the list's popup menu at `pos` and, while it is open, runs `inside` with it (null when no
// menu opened), then closes it.
void WithPopup(Harness& h, const QPoint& pos, const std::function<void(QMenu*)>& inside) {
  bool ran = false;
  QTimer::singleShot(100, [&] {
    ran = true;
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    inside(menu);
    if (menu != nullptr && menu->isVisible()) menu->close();
  });
  QWidget* viewport = h.List()->viewport();
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
  QApplication::sendEvent(viewport, &event);
  (void)QTest::qWaitFor([&] { return ran; }, 2000);
  ASSERT_TRUE(ran);
}

QAction* MenuItem(QMenu* menu, const QString& sub, const QString& item) {
  for (QAction* a : menu->actions()) {
    if (a->menu() == nullptr || a->text() != sub) continue;
    for (QAction* b : a->menu()->actions())
      if (b->text() == item) return b;
  }
  return nullptr;
}

TEST(FilterWindow, PopupReservesTheProgrammeOfTheSelectedRow) {
  Harness h;
  h.FillThreeServices();
  h.model.SetControlsEnabled(true);
  QTableWidget* list = h.List();

  // No row selected: no menu.
  list->clearSelection();
  WithPopup(h, h.RowCentre(0), [](QMenu* menu) { EXPECT_EQ(menu, nullptr); });

  list->selectRow(0);
  WithPopup(h, h.RowCentre(0), [](QMenu* menu) {
    ASSERT_NE(menu, nullptr);
    QStringList top;
    for (QAction* a : menu->actions()) top << a->text();
    EXPECT_EQ(top, (QStringList{U8("現在の番組"), U8("次の番組")}));
    for (const char* sub : {"現在の番組", "次の番組"}) {
      EXPECT_NE(MenuItem(menu, U8(sub), U8("日時指定で録画予約")), nullptr) << sub;
      EXPECT_NE(MenuItem(menu, U8(sub), U8("イベントID指定で録画予約")), nullptr) << sub;
    }
    MenuItem(menu, U8("現在の番組"), U8("日時指定で録画予約"))->trigger();
  });
  ASSERT_EQ(h.reservations.size(), 1u);
  const Harness::Reservation& r = h.reservations[0];
  EXPECT_TRUE(r.by_time);
  EXPECT_EQ(r.service_id, 1024);
  EXPECT_EQ(r.start.date, kDay);
  EXPECT_EQ(r.start.seconds, 21u * 3600);
  EXPECT_EQ(r.duration, 3240u);
  EXPECT_EQ(platform::SjisToUtf8(r.title), "ニュース７");

  WithPopup(h, h.RowCentre(0), [](QMenu* menu) {
    ASSERT_NE(menu, nullptr);
    MenuItem(menu, U8("次の番組"), U8("イベントID指定で録画予約"))->trigger();
  });
  ASSERT_EQ(h.reservations.size(), 2u);
  EXPECT_FALSE(h.reservations[1].by_time);
  EXPECT_EQ(h.reservations[1].network_id, 0);
  EXPECT_EQ(h.reservations[1].stream_id, 0);
  EXPECT_EQ(h.reservations[1].service_id, 1024);
  EXPECT_EQ(h.reservations[1].event_id, 8);
  EXPECT_EQ(platform::SjisToUtf8(h.reservations[1].title), "天気");

  // Row 1 has no next programme, row 2 no programme at all: nothing happens.
  list->selectRow(1);
  WithPopup(h, h.RowCentre(1), [](QMenu* menu) {
    ASSERT_NE(menu, nullptr);
    MenuItem(menu, U8("次の番組"), U8("日時指定で録画予約"))->trigger();
  });
  list->selectRow(2);
  WithPopup(h, h.RowCentre(2), [](QMenu* menu) {
    ASSERT_NE(menu, nullptr);
    MenuItem(menu, U8("現在の番組"), U8("イベントID指定で録画予約"))->trigger();
  });
  EXPECT_EQ(h.reservations.size(), 2u);

  // The rows went while the menu was open: the choice finds no selected row and does nothing.
  list->selectRow(0);
  WithPopup(h, h.RowCentre(0), [&h](QMenu* menu) {
    ASSERT_NE(menu, nullptr);
    h.model.OnStreamReset();
    h.Pump();
    MenuItem(menu, U8("現在の番組"), U8("日時指定で録画予約"))->trigger();
  });
  EXPECT_EQ(h.reservations.size(), 2u);
}

}  // namespace
}  // namespace pelkan::ui
