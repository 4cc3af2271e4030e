// The programme guide window in the desktop program: filled from the virtual tuner, a programme
// reserved by event through the search, the accessibility interface and the popup, the
// reservation recorded with the virtual clock; the switch notice; the keyboard and the live view.
#include "ui/guide_window.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QFrame>
#include <QPaintEvent>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <utility>

#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "guide/broadcast_text.h"
#include "guide/guide_collector.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_file.h"
#include "streamgen/broadcast_generator.h"
#include "tests/support/loopback_udp.h"
#include "tests/ui/ui_test_support.h"
#include "ts/ts_processor.h"
#include "ui/guide_grid.h"
#include "ui/qt_text.h"
#include "ui/rule_edit_dialog.h"
#include "ui/schedule_edit_dialog.h"

namespace pelkan::ui {
namespace {

using streamgen::BroadcastGenerator;
using streamgen::GeneratorOptions;
using streamgen::ProgrammeInfo;
using testing::OnModal;

// The item of an accessible interface's children whose name is `text`.
QAccessibleInterface* ChildNamed(QAccessibleInterface* parent, const QString& text) {
  for (int i = 0; parent != nullptr && i < parent->childCount(); ++i) {
    QAccessibleInterface* c = parent->child(i);
    if (c != nullptr && c->text(QAccessible::Name) == text) return c;
  }
  return nullptr;
}

// The popup menu that is open, once it is.
QMenu* OpenMenu() {
  QMenu* menu = nullptr;
  testing::WaitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); });
  return menu;
}

// Clicks the item `text` of the open popup menu, as the user does; false when there is none.
bool ClickMenuItem(const QString& text) {
  QMenu* menu = OpenMenu();
  if (menu == nullptr) return false;
  for (QAction* a : menu->actions()) {
    if (a->text() == text && a->isEnabled()) {
      QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
      return true;
    }
  }
  menu->close();
  return false;
}

class GuideWindowTest : public ::testing::Test, public testing::DesktopFixture {
 public:
  void WriteSettings(int decode_psi, int proc_epg) {
    Settings s = DefaultSettings(dir.string());
    s.decode_psi = decode_psi;
    s.proc_epg = proc_epg;
    ASSERT_TRUE(SaveSettings(settings_path(), s));
  }
  // The virtual tuner only, its broadcast clock starting at `start`, `speed` times real time.
  void UseVirtualTuner(MjdTime start, uint32_t speed) {
    options.make_device = [start, speed](const Settings&) {
      usb::DriverConfig config;
      config.use_libusb = false;
      config.virtual_start = start;
      config.virtual_speed = speed;
      return std::make_unique<core::CDTV_EzUSBFX2>(config);
    };
  }
  // Fills epg.sqlite with `seconds` of a generated broadcast that starts at `start`.
  void FillGuide(MjdTime start, double seconds) {
    GeneratorOptions o;
    o.bit_rate = 4'000'000;
    o.start_time = start;
    BroadcastGenerator g(o);
    GuideCollector collector((dir / "epg.sqlite").string());
    TsProcessor processor;
    processor.SetDecodePsi(1);
    processor.SetProcessEpg(1);
    processor.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
    CaptureStats stats;
    std::vector<uint8_t> chunk(188 * 4000);
    for (double done = 0; done < seconds; done += static_cast<double>(chunk.size()) * 8 / o.bit_rate) {
      g.Read(chunk.data(), chunk.size());
      processor.Feed(chunk.data(), static_cast<int>(chunk.size()), stats);
    }
    collector.Flush();
  }
  GuideWindow* Guide() { return static_cast<GuideWindow*>(program_->window().guideWindow()); }
  template <typename T>
  T* InGuide(const char* name) {
    return Guide()->findChild<T*>(QString::fromLatin1(name));
  }
  GuideGrid* Grid() { return InGuide<GuideGrid>("grid"); }
  // The name of a programme's service as the guide has it (Shift-JIS).
  std::string ServiceNameOf(const GuideEvent& e) {
    for (const auto& c : Guide()->model().columns()) {
      if (c.service.service_id == e.key.service_id) return c.service.name;
    }
    return {};
  }
  void OpenGuide() {
    program_->window().findChild<QAction*>(QStringLiteral("guideAction"))->trigger();
    ASSERT_TRUE(Guide()->isVisible());
    (void)QTest::qWaitForWindowExposed(Guide());
  }
  // True when every service of `mux` has programmes to the end of the eighth day.
  bool Filled(const streamgen::MultiplexInfo& mux) {
    const GuideGridModel& m = Guide()->model();
    if (m.columns().size() != mux.services.size()) return false;
    for (const auto& c : m.columns()) {
      if (c.events.empty() || c.events.back().start < Grid()->origin() + 7 * 86400 + 20 * 3600) return false;
    }
    return true;
  }
};

TEST_F(GuideWindowTest, FillsFromTheTunerReservesByEventAndTheReservationRecordsTheProgramme) {
  WriteSettings(1, 1);
  const MjdTime start{MjdFromDate(2026, 12, 7), 20 * 3600 + 58 * 60};
  constexpr uint32_t kSpeed = 4;
  UseVirtualTuner(start, kSpeed);
  Start();
  OpenGuide();
  EXPECT_FALSE(InGuide<QFrame>("noticeFrame")->isVisible());
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();

  // The whole eight days of every service, within the minute of broadcast the cycle takes.
  GeneratorOptions o;
  o.start_time = start;
  const BroadcastGenerator reference(o);
  const streamgen::MultiplexInfo& mux = reference.Multiplex(0);
  ASSERT_TRUE(testing::WaitFor([&] { return Filled(mux); }, 90000 / kSpeed + 20000))
      << Guide()->model().columns().size() << " services";
  for (size_t c = 0; c < mux.services.size(); ++c) {
    EXPECT_EQ(BroadcastTextUtf8(Guide()->model().columns()[c].service.name), mux.services[c].name);
  }

  // A programme starting at least 40 s of broadcast from now (its recording is prepared 30 s ahead).
  MjdTime from{program_->app().stats().clock_date.load(), program_->app().stats().clock_time.load()};
  ASSERT_NE(from.date, 0u);
  AddSeconds(&from, 40);
  const uint16_t sid = mux.services[0].service_id;
  const std::vector<ProgrammeInfo> coming = reference.ScheduleAt(0, sid, from, {from.date + 1, 0}, start);
  ASSERT_FALSE(coming.empty());
  const ProgrammeInfo& programme = coming.front();

  // Found through the search field: its result line takes the grid to it.
  QLineEdit* search = InGuide<QLineEdit>("searchEdit");
  search->setText(QString::fromStdString(programme.title));
  QTest::keyClick(search, Qt::Key_Return);
  auto* results = InGuide<QListWidget>("resultsList");
  const GuideEventKey key{mux.original_network_id, mux.transport_stream_id, sid, programme.event_id};
  int row = -1;
  for (int i = 0; i < results->count(); ++i) {
    const QString line = results->item(i)->text();
    if (line.contains(QString::fromStdString(mux.services[0].name)) &&
        line.contains(QString::fromStdString(guide_text::ClockText(ToGuideTime(programme.start)))) &&
        line.startsWith(FromSjis(guide_text::DayText(programme.start.date))))
      row = i;
  }
  ASSERT_GE(row, 0) << results->count() << " results";
  results->setCurrentRow(row);
  ASSERT_TRUE(Grid()->current());
  EXPECT_EQ(Guide()->model().event(*Grid()->current()).key, key);
  EXPECT_TRUE(
      InGuide<QPlainTextEdit>("detailText")->toPlainText().contains(QString::fromStdString(programme.title)));

  // The popup through the accessibility interface: the grid's focused child, its show-menu action,
  // then the press action of its "予約", which reserves the event at once.
  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(Grid());
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->text(QAccessible::Name), U8("番組表"));
  QAccessibleInterface* cell = grid->focusChild();
  ASSERT_NE(cell, nullptr);
  EXPECT_TRUE(cell->text(QAccessible::Name).contains(QString::fromStdString(programme.title)));
  EXPECT_GE(grid->indexOfChild(cell), 0);
  cell->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
  QMenu* menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  QAccessibleInterface* item = ChildNamed(QAccessible::queryAccessibleInterface(menu), U8("予約"));
  ASSERT_NE(item, nullptr);
  item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  ASSERT_TRUE(testing::WaitFor([&] { return !program_->schedule().scheduler().Reservations().empty(); }));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no dialog";
  EXPECT_TRUE(results->item(row)->text().startsWith(U8("予 "))) << results->item(row)->text().toStdString();

  // schedule.ini gets the service and the event id as the desktop program writes its changes.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const auto items = LoadScheduleFile(schedule_path());
        return items.size() == 1 && items[0].service_id == sid && items[0].event_id == programme.event_id;
      },
      10000));
  const auto items = LoadScheduleFile(schedule_path());
  EXPECT_NE(items[0].flags & SI_BY_EVENT, 0u);
  EXPECT_EQ(items[0].network_id, key.original_network_id);
  EXPECT_EQ(items[0].stream_id, key.transport_stream_id);
  // The programme is marked.
  EXPECT_TRUE(Grid()->IsReserved(Guide()->model().event(*Grid()->current())));
  EXPECT_TRUE(grid->focusChild()->text(QAccessible::Name).contains(FromSjis(guide_text::kReserved)));

  // The virtual clock reaches the programme: the scheduler records it, by its event.
  RecordingScheduler& scheduler = program_->schedule().scheduler();
  std::string path;
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        path = scheduler.ActiveOutputPath();
        return !path.empty();
      },
      400000 / kSpeed))
      << Messages();
  const auto active = scheduler.ActiveItem();
  ASSERT_TRUE(active);
  EXPECT_EQ(active->event_id, programme.event_id);
  EXPECT_EQ(active->service_id, sid);
  EXPECT_EQ(active->start_day, programme.start.date);
  EXPECT_EQ(active->start_second, programme.start.seconds);
  ASSERT_TRUE(testing::WaitFor([&] { return std::filesystem::file_size(path) > 4'000'000; }, 20000));
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  EXPECT_FALSE(program_->app().IsConnected());
  EXPECT_EQ(program_->app().stats().fifo_overflows.load(), 0u);
  EXPECT_TRUE(Close());
}

// "オンにする" used to be refused while connected: it switches the tables on for the running capture,
// whose guide then fills, and pelkan.ini keeps them.
TEST_F(GuideWindowTest, OffSwitchesAreToldAndSwitchedOnWhileConnected) {
  WriteSettings(0, 0);
  UseVirtualTuner({MjdFromDate(2026, 12, 7), 20 * 3600 + 58 * 60}, 4);
  Start();
  OpenGuide();
  auto* notice = InGuide<QFrame>("noticeFrame");
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(InGuide<QLabel>("noticeLabel")->text(), FromSjis(guide_text::kNoticeGuide));
  ToolWindow* filter = program_->window().filterWindow();
  filter->show();
  auto* filter_notice = filter->findChild<QFrame*>(QStringLiteral("noticeFrame"));
  ASSERT_NE(filter_notice, nullptr);
  EXPECT_TRUE(filter_notice->isVisible());
  EXPECT_EQ(filter->findChild<QLabel*>(QStringLiteral("noticeLabel"))->text(),
            FromSjis(guide_text::kNoticeFilter));

  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  QTest::mouseClick(InGuide<QPushButton>("switchOnButton"), Qt::LeftButton);
  EXPECT_EQ(Messages(), "");
  EXPECT_FALSE(notice->isVisible());
  EXPECT_FALSE(filter_notice->isVisible());
  EXPECT_EQ(program_->app().settings().decode_psi, 1);
  EXPECT_EQ(program_->app().settings().proc_epg, 1);
  EXPECT_TRUE(testing::WaitFor([&] { return !Guide()->model().columns().empty(); }, 60000))
      << "the running capture fills the guide";
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(Close());
  ASSERT_TRUE(program_->Finish());
  Settings saved;
  WindowLayout places;
  LoadSettings(settings_path(), dir.string(), &saved, &places);
  EXPECT_EQ(saved.decode_psi, 1);
  EXPECT_EQ(saved.proc_epg, 1);
  EXPECT_EQ(places.guide.show, 1);
  EXPECT_GT(places.guide.width, 0);
}

// A new home's pelkan.ini is written with the guide's switches on; a file of an older version that
// lacks them keeps them off.
TEST_F(GuideWindowTest, ANewHomeStartsWithTheGuideOnAndAFileWithoutTheKeysKeepsThemOff) {
  const struct {
    const char* file;  // nullptr: none
    int switches;
  } cases[] = {{nullptr, 1}, {"[Pelkan_Q]\nREC_TIME=5\n", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "new home");
    std::filesystem::remove(settings_path());
    if (c.file != nullptr) std::ofstream(settings_path()) << c.file;
    Start();
    EXPECT_EQ(program_->app().settings().decode_psi, c.switches);
    EXPECT_EQ(program_->app().settings().proc_epg, c.switches);
    ASSERT_TRUE(Close());
    ASSERT_TRUE(program_->Finish());
    Stop();
    std::ifstream in(settings_path());
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string& line : {std::string("[Pelkan_Q_PSI]"), "DECODE_PSI=" + std::to_string(c.switches),
                                    "PROC_EPG=" + std::to_string(c.switches)})
      EXPECT_NE(text.find(line), std::string::npos) << text;
  }
}

// While the capture cannot write the guide (another program holds the file's lock from before the
// capture opened it), the window says so under the grid; once the lock is gone the guide fills and
// the line goes.
TEST_F(GuideWindowTest, AGuideThatCannotBeWrittenIsToldUntilItIsWritten) {
  WriteSettings(1, 1);
  const std::string path = (dir / "epg.sqlite").string();
  ASSERT_TRUE(GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, nullptr));
  sqlite3* blocker = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &blocker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  UseVirtualTuner({MjdFromDate(2026, 12, 7), 20 * 3600 + 58 * 60}, 4);
  Start();
  OpenGuide();
  auto* label = InGuide<QLabel>("statusLabel");
  EXPECT_TRUE(label->text().isEmpty());
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
  ASSERT_TRUE(program_->app().IsConnected()) << Messages();
  EXPECT_TRUE(testing::WaitFor([&] { return label->text() == FromSjis(guide_text::kNotWritten); }, 30000))
      << label->text().toStdString();
  sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(blocker);
  EXPECT_TRUE(testing::WaitFor([&] { return label->text().isEmpty() && !Guide()->model().columns().empty(); },
                               30000))
      << label->text().toStdString();
  QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
}

TEST_F(GuideWindowTest, KeyboardMovesBetweenProgrammesAndNewDataLeavesTheViewAlone) {
  const MjdTime now = JapanTimeNow();
  FillGuide(now, 40.0);
  WriteSettings(1, 1);
  Start();
  OpenGuide();
  // The window chose its programme at opening, no later than this.
  const MjdTime opened = JapanTimeNow();
  GuideGrid* grid = Grid();
  // The window replaces its model at every reload.
  auto m = [this]() -> const GuideGridModel& { return Guide()->model(); };
  ASSERT_EQ(m().columns().size(), 3u);
  ASSERT_TRUE(grid->hasFocus());
  ASSERT_TRUE(grid->current());
  // The programme on air in the first service is current, the current time is in view.
  const GuideEvent on_air = m().event(*grid->current());
  EXPECT_LE(on_air.start, ToGuideTime(opened));
  EXPECT_EQ(grid->current()->column, 0u);
  EXPECT_LE(grid->TopTime(), ToGuideTime(opened));

  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_EQ(grid->current()->index, m().Find(on_air.key)->index + 1);
  QTest::keyClick(grid, Qt::Key_Right);
  EXPECT_EQ(grid->current()->column, 1u);
  const GuideEvent right = m().event(*grid->current());
  EXPECT_TRUE(InGuide<QPlainTextEdit>("detailText")->toPlainText().contains(FromBroadcastSjis(right.title)));
  QTest::keyClick(grid, Qt::Key_Left);
  EXPECT_EQ(grid->current()->column, 0u);
  QTest::keyClick(grid, Qt::Key_PageDown);
  QTest::keyClick(grid, Qt::Key_PageDown);
  const GuideTime top = grid->TopTime();
  const GuideEventKey current = m().event(*grid->current()).key;

  // A new version renames the current programme and another service comes: after the refresh
  // the view and the current programme stay.
  {
    std::string error;
    auto writer =
        GuideStore::Open((dir / "epg.sqlite").string(), GuideStore::Access::kWrite, false, nullptr, &error);
    ASSERT_TRUE(writer) << error;
    GuideEventUpdate u;
    u.event = *writer->Find(current);
    u.event.title = platform::Utf8ToSjis("臨時ニュース");
    u.kind = EVENT_KIND_PF_ACTUAL;
    u.basic = true;
    GuideEventUpdate other = u;
    other.event.key = {0x7FE8, 0x7FE8, 999, 1};
    other.kind = EVENT_KIND_SCHEDULE_ACTUAL;
    ASSERT_TRUE(writer->Begin());
    // Two versions in turn: whichever version the broadcast's own present/following stored for this
    // programme (it may be the one on air now), the second of them is a new one.
    for (const uint8_t version : {30, 31}) {
      u.version = version;
      ASSERT_TRUE(writer->ApplyEvent(u));
    }
    ASSERT_TRUE(writer->ApplyEvent(other));
    ASSERT_TRUE(writer->Commit());
  }
  ASSERT_TRUE(
      testing::WaitFor([&] { return m().columns().size() == 4; }, 3 * GuideWindow::kRefreshMs + 1000));
  EXPECT_EQ(grid->TopTime(), top);
  ASSERT_TRUE(grid->current());
  EXPECT_EQ(m().event(*grid->current()).key, current);
  EXPECT_EQ(platform::SjisToUtf8(m().event(*grid->current()).title), "臨時ニュース");

  // Day buttons go to midnight of their day and follow the view.
  auto* third = InGuide<QToolButton>("dayButton2");
  QTest::mouseClick(third, Qt::LeftButton);
  EXPECT_EQ(grid->TopTime(), grid->origin() + 2 * 86400);
  EXPECT_TRUE(third->isChecked());
  EXPECT_EQ(third->accessibleName(),
            FromSjis(guide_text::DayText(static_cast<uint32_t>(grid->origin() / 86400 + 2))));
}

// A guide that was still empty when the window opened (or a grid that never had the focus) left
// nothing selected, and the detail pane empty; three services took 420 pixels of a wide window and
// left a blank band beside them.
TEST_F(GuideWindowTest, OpensWithTheProgrammeOnAirSelectedAndColumnsFillingTheWidth) {
  WriteSettings(1, 1);
  Start();
  OpenGuide();
  Guide()->resize(1000, 600);
  ASSERT_TRUE(Guide()->model().empty());
  const MjdTime now = JapanTimeNow();
  FillGuide(now, 40.0);
  auto m = [this]() -> const GuideGridModel& { return Guide()->model(); };
  ASSERT_TRUE(testing::WaitFor([&] { return m().columns().size() == 3; }, 3 * GuideWindow::kRefreshMs + 1000));
  GuideGrid* grid = Grid();
  ASSERT_TRUE(grid->current()) << "a programme is selected";
  EXPECT_EQ(grid->current()->column, 0u);
  if (const auto on_air = m().At(0, ToGuideTime(JapanTimeNow()))) {
    EXPECT_EQ(*grid->current(), *on_air);
  }
  const QString detail = InGuide<QPlainTextEdit>("detailText")->toPlainText();
  EXPECT_TRUE(detail.contains(FromBroadcastSjis(m().event(*grid->current()).title))) << detail.toStdString();

  // The three columns share the width of the view: the last one ends at its right edge.
  const auto [first, last] = m().Overlapping(2, grid->TopTime(), grid->TopTime() + 86400);
  ASSERT_LT(first, last);
  const QRect box = grid->BoxRect({2, first});
  EXPECT_GT(box.right(), grid->viewport()->width() - 12) << box.right() << " of " << grid->viewport()->width();
  EXPECT_LE(box.right(), grid->viewport()->width());
  EXPECT_EQ(grid->horizontalScrollBar()->maximum(), 0);
  // In a narrow view the columns keep a readable width and scroll instead.
  Guide()->resize(300, 600);
  QApplication::processEvents();
  const QRect narrow = grid->BoxRect({2, first});
  EXPECT_GE(narrow.width(), 100);
  if (narrow.right() + grid->horizontalScrollBar()->value() > grid->viewport()->width()) {
    EXPECT_GT(grid->horizontalScrollBar()->maximum(), 0);
  }
}

// The "オンにする" button of the notices took half the window's width.
TEST_F(GuideWindowTest, NoticeButtonsKeepTheirNaturalWidth) {
  WriteSettings(0, 0);
  Start();
  OpenGuide();
  ToolWindow* filter = program_->window().filterWindow();
  filter->show();
  for (QWidget* window : {static_cast<QWidget*>(Guide()), static_cast<QWidget*>(filter)}) {
    SCOPED_TRACE(window->objectName().toStdString());
    window->resize(900, 600);
    QApplication::processEvents();
    auto* button = window->findChild<QPushButton*>(QStringLiteral("switchOnButton"));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isVisible());
    EXPECT_LE(button->width(), button->sizeHint().width() + 8) << button->width();
    EXPECT_GE(button->width(), button->sizeHint().width() - 8) << button->width();
    EXPECT_GT(window->findChild<QLabel*>(QStringLiteral("noticeLabel"))->width(), 900 / 2)
        << "the notice's text takes the room";
  }
}

// The popup offers "予約" (the programme reserved at once by its event, with the options' margins,
// the default folder and the title as its name) beside "予約の詳細..." (the edit dialog, which shows
// the programme above its controls and starts on OK); the search marks what is reserved, by hand
// (予) or by a rule (自).
TEST_F(GuideWindowTest, PopupReservesAtOnceOrThroughTheDialogThatShowsTheProgrammeFirst) {
  FillGuide(JapanTimeNow(), 40.0);
  WriteSettings(1, 1);
  Start();
  OpenGuide();
  RecordingScheduler& scheduler = program_->schedule().scheduler();
  scheduler.SetDefaultMargins(30, 60);
  GuideGrid* grid = Grid();
  ASSERT_TRUE(grid->current());
  QTest::keyClick(grid, Qt::Key_Down);
  const GuideEvent first = Guide()->model().event(*grid->current());
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->BoxRect(*grid->current()).center());
  ASSERT_TRUE(ClickMenuItem(U8("予約")));
  std::vector<ScheduleItem> items = scheduler.Reservations();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].flags & (SI_BY_EVENT | SI_SERVICE_LIMIT | SI_FILE_NAME), SI_BY_EVENT | SI_SERVICE_LIMIT);
  EXPECT_EQ(items[0].network_id, first.key.original_network_id);
  EXPECT_EQ(items[0].stream_id, first.key.transport_stream_id);
  EXPECT_EQ(items[0].service_id, first.key.service_id);
  EXPECT_EQ(items[0].event_id, first.key.event_id);
  EXPECT_EQ(items[0].margin_before, 30);
  EXPECT_EQ(items[0].margin_after, 60);
  EXPECT_EQ(items[0].priority, kDefaultPriority);
  EXPECT_EQ(GetText(items[0].directory), scheduler.DefaultDirectory());
  EXPECT_EQ(GetText(items[0].file_name), first.title);
  EXPECT_TRUE(grid->IsReserved(first));
  // Reserved once: the popup's "予約" is off for it.
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->BoxRect(*grid->current()).center());
  EXPECT_FALSE(ClickMenuItem(U8("予約")));

  // "予約の詳細...": the programme first, OK in focus, the start row labelled; OK stores it.
  QTest::keyClick(grid, Qt::Key_Down);
  const GuideEvent second = Guide()->model().event(*grid->current());
  bool seen = false;
  OnModal<ScheduleEditDialog>(Guide(), [&](ScheduleEditDialog* d) {
    seen = true;
    EXPECT_TRUE(d->findChild<QFrame*>("programmeFrame")->isVisible());
    EXPECT_EQ(d->findChild<QLabel*>("programmeTitleValue")->text(), FromBroadcastSjis(second.title));
    const QString line = d->findChild<QLabel*>("programmeLineValue")->text();
    for (const std::string& part : {platform::SjisToUtf8(ServiceNameOf(second)),
                                    guide_text::ClockText(second.start), guide_text::ClockText(second.End()),
                                    platform::SjisToUtf8(std::string(guide_text::GenreName(second.genre)))})
      EXPECT_TRUE(line.contains(QString::fromStdString(part))) << line.toStdString() << " / " << part;
    EXPECT_EQ(d->focusWidget(), d->findChild<QPushButton*>("okButton"));
    auto* start = d->findChild<QLabel*>("startLabel");
    EXPECT_EQ(start->text(), U8("開始日時"));
    EXPECT_EQ(start->buddy(), d->findChild<QWidget*>("dateEdit"));
    QTest::mouseClick(d->findChild<QPushButton*>("okButton"), Qt::LeftButton);
  });
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->BoxRect(*grid->current()).center());
  ASSERT_TRUE(ClickMenuItem(U8("予約の詳細...")));
  ASSERT_TRUE(testing::WaitFor([&] { return seen; }));
  items = scheduler.Reservations();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(grid->IsReserved(second));

  // A rule's reservation of a third programme; the search marks all three.
  QTest::keyClick(grid, Qt::Key_Down);
  const GuideEvent third = Guide()->model().event(*grid->current());
  ScheduleItem by_rule = items[0];
  by_rule.event_id = third.key.event_id;
  by_rule.rule_id = 7;
  ASSERT_EQ(scheduler.StoreItem(by_rule, -1), 1);
  // The window takes in reservations made elsewhere at its refresh.
  ASSERT_TRUE(testing::WaitFor([&] { return grid->IsReservedByRule(third); }, 3 * GuideWindow::kRefreshMs));
  QLineEdit* search = InGuide<QLineEdit>("searchEdit");
  auto* results = InGuide<QListWidget>("resultsList");
  const std::pair<GuideEvent, const char*> marked[] = {{first, "予 "}, {second, "予 "}, {third, "自 "}};
  for (const auto& [e, mark] : marked) {
    search->setText(FromBroadcastSjis(e.title));
    QTest::keyClick(search, Qt::Key_Return);
    bool found = false;
    for (int i = 0; i < results->count(); ++i) {
      const QString text = results->item(i)->text();
      if (text.contains(QString::fromStdString(guide_text::ClockText(e.start))) &&
          text.contains(FromBroadcastSjis(e.title)) && text.contains(FromBroadcastSjis(ServiceNameOf(e))))
        found = found || text.startsWith(U8(mark));
    }
    EXPECT_TRUE(found) << platform::SjisToUtf8(e.title) << " " << mark;
  }
}

// The desktop's player as the tests see it: the URLs it was asked to open.
class OpenedUrls : public QObject {
  Q_OBJECT

 public Q_SLOTS:
  void open(const QUrl& url) { urls.push_back(url.toString()); }

 public:
  QStringList urls;
};

// "視聴" of the popup opens the stream of a programme on air in the desktop's player; it is absent
// while the capture serves no HTTP and for a programme that is not on air.
TEST_F(GuideWindowTest, PopupWatchesAProgrammeOnAirOnlyWhileServing) {
  const MjdTime start = JapanTimeNow();
  FillGuide(start, 40.0);
  UseVirtualTuner(start, 1);
  const uint16_t port = pelkan::testing::FreeLoopbackTcpPort();
  Settings s = DefaultSettings(dir.string());
  s.decode_psi = 1;
  s.proc_epg = 1;
  s.http_enabled = 1;
  s.http_port = port;
  ASSERT_TRUE(SaveSettings(settings_path(), s));
  Start();
  OpenedUrls player;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &player, "open");
  OpenGuide();
  GuideGrid* grid = Grid();
  ASSERT_TRUE(grid->current());
  const GuideGridModel::Cell on_air = *grid->current();
  const GuideEvent programme = Guide()->model().event(on_air);
  ASSERT_LE(programme.start, ToGuideTime(start));
  const QString stream = QStringLiteral("http://127.0.0.1:%1/service/%2").arg(port).arg(programme.key.service_id);
  const struct {
    const char* name;
    bool serving;
    size_t later;  // programmes after the one on air
    QString url;   // opened by "視聴"; empty: absent
  } cases[] = {
      {"on air, no server", false, 0, {}},
      {"on air, served", true, 0, stream},
      {"the next programme, served", true, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.serving && !program_->app().IsHttpServing()) {
      QTest::mouseClick(Find<QPushButton>("connectButton"), Qt::LeftButton);
      ASSERT_TRUE(program_->app().IsHttpServing());
    }
    grid->SetCurrent(GuideGridModel::Cell{on_air.column, on_air.index + c.later}, true);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->BoxRect(*grid->current()).center());
    QMenu* menu = OpenMenu();
    ASSERT_NE(menu, nullptr);
    QAction* watch = nullptr;
    for (QAction* a : menu->actions()) {
      if (a->text() == U8("視聴")) watch = a;
    }
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(watch->isVisible(), !c.url.isEmpty());
    if (c.url.isEmpty()) {
      menu->close();
      continue;
    }
    player.urls.clear();
    ASSERT_TRUE(ClickMenuItem(U8("視聴")));
    EXPECT_EQ(player.urls, QStringList{c.url});
  }
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  program_->app().Disconnect();
}

// A grid shown with one programme of an hour from 21:00, scrolled to it.
struct OneProgrammeGrid {
  explicit OneProgrammeGrid(const char* title) {
    e.key = {1, 2, 1024, 7};
    e.start = GuideTime{MjdFromDate(2026, 12, 7)} * 86400 + 21 * 3600;
    e.duration = 3600;
    e.title = platform::Utf8ToSjis(title);
    model.Load({{1, 2, 1024, platform::Utf8ToSjis("テスト"), -1}}, {e});
    grid.resize(400, 600);
    grid.show();
    (void)QTest::qWaitForWindowExposed(&grid);
    grid.SetModel(&model, e.start / 86400 * 86400);
    grid.ScrollToTime(e.start - 600);
  }
  GuideEvent e;
  GuideGridModel model;
  GuideGrid grid;
};

// The red line of the current time used to be drawn over the programmes' texts: it runs under them.
TEST(GuideGridPaint, NowLineRunsUnderTheProgrammeText) {
  OneProgrammeGrid shown("ＷＷＷＷＷＷＷＷ");
  const GuideEvent& e = shown.e;
  GuideGrid& grid = shown.grid;
  const QRect box = grid.BoxRect({0, 0});
  const int line = QFontMetrics(grid.font()).height();
  // The line through the middle of the title's first line (under the start time's).
  const int y = box.top() + 2 + line + line / 2;
  grid.SetNow(e.start + static_cast<GuideTime>(static_cast<double>(y - box.top()) * e.duration / box.height()));
  const QImage shot = grid.viewport()->grab().toImage();
  int red_rows = 0, crossed = 0;
  for (int row = box.top() + line; row < box.top() + 3 * line; ++row) {
    int red = 0, dark = 0;
    for (int x = box.left() + 4; x < box.right() - 4; ++x) {
      const QColor c = shot.pixelColor(x, row);
      red += c.red() > 180 && c.green() < 90 && c.blue() < 90;
      dark += c.red() < 90 && c.green() < 90 && c.blue() < 90;
    }
    if (red > box.width() / 4) {
      ++red_rows;
      crossed += dark > 0;
    }
  }
  EXPECT_GT(red_rows, 0) << "the line is drawn";
  EXPECT_EQ(crossed, red_rows) << "the title's strokes lie over the line on every row of it";
}

// Counts a widget's paints and keeps the last one's area.
struct PaintCounter : QObject {
  int paints = 0;
  QRect last;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      last = static_cast<QPaintEvent*>(event)->rect();
    }
    return false;
  }
};

// The open guide used to draw its whole grid again every time its clock moved a second: it draws
// only when the current time's line moves a pixel, and only the band the line leaves and enters.
TEST(GuideGridPaint, TheClockRepaintsOnlyWhenAndWhereTheNowLineMoves) {
  OneProgrammeGrid shown("ニュース");
  const GuideEvent& e = shown.e;
  GuideGrid& grid = shown.grid;
  grid.SetNow(e.start);
  QCoreApplication::processEvents();
  PaintCounter counter;
  grid.viewport()->installEventFilter(&counter);
  struct Step {
    GuideTime seconds;  // after the programme's start
    bool painted;
  };
  // The line moves 8 text lines an hour: a few seconds leave it on its pixel, ten minutes do not.
  for (const Step& step : {Step{1, false}, Step{2, false}, Step{600, true}, Step{601, false}}) {
    counter.paints = 0;
    grid.SetNow(e.start + step.seconds);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints > 0, step.painted) << step.seconds;
    if (step.painted) {
      EXPECT_LT(counter.last.height(), grid.viewport()->height() / 2) << step.seconds;
    }
  }
  grid.viewport()->removeEventFilter(&counter);
}

// Screenshots at the scale the run is made at (ui_screenshots_1x / _2x), into PELKAN_SCREENSHOT_DIR.
TEST(GuideScreenshots, GuideWindowWithAToolTip) {
  const char* out = std::getenv("PELKAN_SCREENSHOT_DIR");
  if (out == nullptr || *out == '\0') GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR is not set";
  struct Fixture : GuideWindowTest {
    void TestBody() override {}
  } f;
  const MjdTime now = JapanTimeNow();
  f.FillGuide(now, 40.0);
  f.WriteSettings(1, 1);
  f.Start();
  f.OpenGuide();
  GuideWindow* guide = f.Guide();
  guide->move(30, 30);
  guide->resize(900, 600);  // 1800 x 1200 pixels at 200 %: within the virtual screen
  f.InGuide<QLineEdit>("searchEdit")->setText(U8("ドラマ"));
  QTest::keyClick(f.InGuide<QLineEdit>("searchEdit"), Qt::Key_Return);
  GuideGrid* grid = f.Grid();
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Down);
  QTest::keyClick(grid, Qt::Key_Right);
  // A reserved programme, as the list window stores one: its event and service.
  const GuideEvent chosen = guide->model().event(*grid->current());
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  item.service_id = chosen.key.service_id;
  item.event_id = chosen.key.event_id;
  SetText(item.directory, f.dir.string());
  SetText(item.service_id_text, std::to_string(chosen.key.service_id));
  ASSERT_EQ(f.program_->schedule().scheduler().StoreItem(item, -1), 1);
  // A whole-stream reservation on another channel, of a higher priority, from the middle of that
  // programme for two hours: the programme is recorded in part (amber), and a reservation on a
  // third channel of a programme of another service within those hours not at all (grey dashes).
  // Both event reservations as the capture resolves them: with their programmes' times.
  const auto resolve = [](ScheduleItem* reservation, const GuideEvent& e) {
    reservation->start_day = static_cast<uint32_t>(e.start / 86400);
    reservation->start_second = static_cast<uint32_t>(e.start % 86400);
    reservation->duration = e.duration;
  };
  ASSERT_EQ(f.program_->schedule().scheduler().DeleteItem(0), 1);
  resolve(&item, chosen);
  ASSERT_EQ(f.program_->schedule().scheduler().StoreItem(item, -1), 1);
  ScheduleItem high{};
  high.flags = SI_BY_TIME | SI_CHANNEL_VALUE;
  high.channel_value = 5;
  high.priority = 5;
  const GuideTime high_start = chosen.start + chosen.duration / 2;
  high.start_day = static_cast<uint32_t>(high_start / 86400);
  high.start_second = static_cast<uint32_t>(high_start % 86400);
  high.duration = 7200;
  SetText(high.directory, f.dir.string());
  ASSERT_EQ(f.program_->schedule().scheduler().StoreItem(high, -1), 1);
  const GuideGridModel& model = guide->model();
  for (size_t c = 0; c < model.columns().size(); ++c) {
    const GuideEvent& first = model.columns()[c].events.front();
    if (first.key.service_id == chosen.key.service_id) continue;
    const auto [from, to] = model.Overlapping(c, high_start + 600, high_start + 7200);
    bool stored = false;
    for (size_t i = from; i < to && !stored; ++i) {
      const GuideEvent& e = model.columns()[c].events[i];
      if (e.start < high_start + 600 || !e.HasEnd() || e.End() > high_start + 7200) continue;
      ScheduleItem lost = item;
      lost.flags |= SI_CHANNEL_VALUE;
      lost.channel_value = 7;
      lost.priority = 1;
      lost.service_id = e.key.service_id;
      lost.event_id = e.key.event_id;
      SetText(lost.service_id_text, std::to_string(e.key.service_id));
      resolve(&lost, e);
      stored = f.program_->schedule().scheduler().StoreItem(lost, -1) == 1;
    }
    if (stored) break;
  }
  QTest::keyClick(grid, Qt::Key_Down);
  QTest::qWait(GuideWindow::kRefreshMs + 300);
  // The tool tip of the programme under the pointer, then the window and the tip from the screen.
  const QRect box = grid->BoxRect(*grid->current());
  const QPoint pos = box.center();
  QCursor::setPos(grid->viewport()->mapToGlobal(pos));  // the tip stays while the pointer is in the box
  QHelpEvent help(QEvent::ToolTip, pos, grid->viewport()->mapToGlobal(pos));
  QApplication::sendEvent(grid->viewport(), &help);
  QTest::qWait(500);
  QRect area = guide->frameGeometry();
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->inherits("QTipLabel") && w->isVisible()) area |= w->geometry();
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  std::filesystem::create_directories(out);
  ASSERT_TRUE(shot.save(QString::fromUtf8(out) + QStringLiteral("/guide_window.png"), "PNG"));
}

// Screenshots of the guide's popup, the edit dialog with its programme and the rule dialog with
// "この曜日・時間帯だけ", at the scale the run is made at (@2x at 200 %), into PELKAN_SCREENSHOT_DIR.
TEST(GuideScreenshots, PopupEditDialogWithItsProgrammeAndRuleDialogWithTheAiring) {
  const char* out = std::getenv("PELKAN_SCREENSHOT_DIR");
  if (out == nullptr || *out == '\0') GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR is not set";
  const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR") == QStringLiteral("2") ? QStringLiteral("@2x") : QString();
  const auto path = [&](const char* name) { return QString::fromUtf8(out) + QLatin1Char('/') + QLatin1String(name) + scale + QStringLiteral(".png"); };
  std::filesystem::create_directories(out);
  struct Fixture : GuideWindowTest {
    void TestBody() override {}
  } f;
  f.FillGuide(JapanTimeNow(), 40.0);
  f.WriteSettings(1, 1);
  f.Start();
  f.OpenGuide();
  GuideWindow* guide = f.Guide();
  guide->move(30, 30);
  guide->resize(900, 600);
  GuideGrid* grid = f.Grid();
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Down);
  QTest::keyClick(grid, Qt::Key_Right);
  QTest::qWait(300);
  const QPoint at = grid->BoxRect(*grid->current()).center();
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
  QMenu* menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  QTest::qWait(300);
  const QRect area = guide->frameGeometry() | menu->geometry();
  ASSERT_TRUE(QGuiApplication::primaryScreen()
                  ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                  .save(path("guide_popup"), "PNG"));
  menu->close();

  bool seen = false;
  OnModal<ScheduleEditDialog>(guide, [&](ScheduleEditDialog* d) {
    QTest::qWait(200);
    seen = d->grab().save(path("schedule_edit_programme"), "PNG");
    QTest::mouseClick(d->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
  });
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
  ASSERT_TRUE(ClickMenuItem(U8("予約の詳細...")));
  ASSERT_TRUE(testing::WaitFor([&] { return seen; }));

  seen = false;
  OnModal<RuleEditDialog>(guide, [&](RuleEditDialog* d) {
    QTest::mouseClick(d->findChild<QCheckBox*>("airingCheck"), Qt::LeftButton);
    QTest::qWait(RuleEditDialog::kRefreshDelayMs + 300);
    seen = d->grab().save(path("rule_edit_airing"), "PNG");
    QTest::mouseClick(d->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
  });
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
  ASSERT_TRUE(ClickMenuItem(U8("この番組で自動予約を作成")));
  ASSERT_TRUE(testing::WaitFor([&] { return seen; }));
}

}  // namespace
}  // namespace pelkan::ui

#include "guide_window_test.moc"
