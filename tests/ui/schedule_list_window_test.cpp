#include "ui/schedule_list_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_commands.h"
#include "app/scheduled_capture.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_file.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/guide_events.h"
#include "ui/qt_dispatcher.h"
#include "ui/schedule_edit_dialog.h"

namespace pelkan::ui {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03

MjdTime At(int h, int m, int s = 0, uint32_t day = kDay) {
  return MjdTime{day, static_cast<uint32_t>(h * 3600 + m * 60 + s)};
}

QString U(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Runs `act` on the edit dialog as soon as it is open (the dialog runs modally inside the click
// that opens it), once.
class DialogProbe {
 public:
  explicit DialogProbe(std::function<void(ScheduleEditDialog*)> act) : act_(std::move(act)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<ScheduleEditDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      timer_.stop();
      act_(dialog);
    });
    timer_.start();
  }
  bool fired() const { return !timer_.isActive(); }

 private:
  QTimer timer_;
  std::function<void(ScheduleEditDialog*)> act_;
};

template <typename T>
T* Child(QObject* w, const char* name) {
  T* c = w->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(c, nullptr) << name;
  return c;
}

class ScheduleListWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-list-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    capture_.scheduler().SetDefaultDirectory(platform::Utf8ToSjis(dir_));
    window_ = std::make_unique<ScheduleListWindow>(capture_, nullptr, &messages_);
    window_->show();
    list_ = Child<QTableWidget>(window_.get(), "scheduleList");
  }
  void TearDown() override {
    probes_.clear();
    window_.reset();
    std::filesystem::remove_all(dir_);
  }
  // Runs what the scheduler posted (list changes, ticks).
  static void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }
  QString Cell(int row, int column) const {
    const QTableWidgetItem* item = list_->item(row, column);
    return item == nullptr ? QString() : item->text();
  }
  void Click(const char* button) {
    QTest::mouseClick(Child<QPushButton>(window_.get(), button), Qt::LeftButton);
  }
  RecordingScheduler& scheduler() { return capture_.scheduler(); }
  static ScheduleItem ByTime(MjdTime start, uint32_t duration) {
    ScheduleItem item{};
    item.flags = SI_BY_TIME;
    item.start_day = start.date;
    item.start_second = start.seconds;
    item.duration = duration;
    return item;
  }

  DialogProbe& WhenDialogOpens(std::function<void(ScheduleEditDialog*)> act) {
    probes_.push_back(std::make_unique<DialogProbe>(std::move(act)));
    return *probes_.back();
  }

  std::vector<std::unique_ptr<DialogProbe>> probes_;
  std::string dir_;
  QObject context_;
  QtDispatcher dispatcher_{&context_};
  ScheduledCapture capture_{[this](std::function<void()> work) { dispatcher_.Post(std::move(work)); }};
  testing::RecordingMessages messages_;
  std::unique_ptr<ScheduleListWindow> window_;
  QTableWidget* list_ = nullptr;
};

TEST_F(ScheduleListWindowTest, RowsShowTheReservationTexts) {
  ScheduleItem daily = ByTime(At(21, 0), 1800);
  daily.flags |= SI_DAILY | SI_SERVICE_LIMIT | SI_FILE_NAME;
  SetText(daily.service_id_text, "1024");
  ScheduleItem event{};
  event.flags = SI_BY_EVENT;
  event.service_id = 0x400;
  event.event_id = 0x1234;
  scheduler().StoreItem(event, -1);
  scheduler().StoreItem(daily, -1);
  Settle();

  EXPECT_EQ(window_->windowTitle(), U("録画予約"));
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "reservationsRadio")->text(), U("録画予約(2件)"));
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "finishedRadio")->text(), U("録画終了(0件)"));
  const char* headers[] = {"タイプ", "開始日時", "録画時間", "詳細", "ファイル名"};
  const int widths[] = {100, 200, 120, 250, 250};
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(list_->horizontalHeaderItem(c)->text(), U(headers[c]));
    EXPECT_GE(list_->columnWidth(c), widths[c]);
  }
  ASSERT_EQ(list_->rowCount(), 2);
  EXPECT_EQ(Cell(0, 0), U("日付"));
  EXPECT_EQ(Cell(0, 1), U("2008年03月03日(月) 21時00分00秒"));
  EXPECT_EQ(Cell(0, 2), U("00 時間 30 分 00 秒"));
  EXPECT_EQ(Cell(0, 3), U("[毎日][サービスID=1024][ファイル名指定]"));
  EXPECT_EQ(Cell(1, 0), U("イベント"));
  EXPECT_EQ(Cell(1, 1), U("不明(ID=0000:0000:0400:1234)"));
  EXPECT_EQ(Cell(1, 2), U("不明"));
  EXPECT_EQ(Cell(1, 3), QString());
  EXPECT_EQ(Cell(1, 4), QString());  // the event is not known yet
  // 変更 and 削除 need a selection.
  EXPECT_FALSE(Child<QPushButton>(window_.get(), "changeButton")->isEnabled());
  list_->selectRow(1);
  EXPECT_TRUE(Child<QPushButton>(window_.get(), "changeButton")->isEnabled());
  // The selection follows its reservation when the list changes.
  scheduler().StoreItem(ByTime(At(20, 0), 60), -1);
  Settle();
  ASSERT_EQ(list_->rowCount(), 3);
  EXPECT_EQ(list_->currentRow(), 2);
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "reservationsRadio")->text(), U("録画予約(3件)"));

  EXPECT_FALSE(window_->close());  // closing hides
  EXPECT_FALSE(window_->isVisible());
}

// An event whose length the broadcast leaves undetermined reads "未定" in the list and in the edit
// dialog, with how long it is followed in the tool tip; other lengths read as before.
TEST_F(ScheduleListWindowTest, AnUndeterminedLengthReadsUndecided) {
  capture_.scheduler().SetFollowLimit(150 * 60);
  struct Case {
    const char* name;
    uint32_t flags;
    uint32_t duration;
    const char* cell;
    bool tip;
  };
  const Case cases[] = {
      {"undetermined event", SI_BY_EVENT, kMaxRecordSeconds, "未定", true},
      {"event of an hour", SI_BY_EVENT, 3600, "01 時間 00 分 00 秒", false},
      {"date-time of a day", SI_BY_TIME, kMaxRecordSeconds, "24 時間 00 分 00 秒", false},
  };
  const QString tip = U("長さ未定の番組: 放送が終わるまで録画します (最長で開始から 2時間30分)");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    while (!scheduler().Reservations().empty()) scheduler().RetireItem(SI_DELETED, 0);
    ScheduleItem item = ByTime(At(21, 0), c.duration);
    item.flags = c.flags;
    item.service_id = 0x400;
    item.event_id = 0x1234;
    SetText(item.directory, platform::Utf8ToSjis(dir_));
    ASSERT_EQ(scheduler().StoreItem(item, -1), 1);
    Settle();
    ASSERT_EQ(list_->rowCount(), 1);
    EXPECT_EQ(Cell(0, 2), U(c.cell));
    EXPECT_EQ(list_->item(0, 2)->toolTip(), c.tip ? tip : QString());
    // The edit dialog of 変更 shows the same, and キャンセル leaves the reservation as it was.
    QString shown, shown_tip;
    WhenDialogOpens([&](ScheduleEditDialog* d) {
      shown = Child<QTimeEdit>(d, "durationEdit")->text();
      shown_tip = Child<QTimeEdit>(d, "durationEdit")->toolTip();
      QTest::mouseClick(Child<QPushButton>(d, "cancelButton"), Qt::LeftButton);
    });
    list_->selectRow(0);
    Click("changeButton");
    Settle();
    if (c.tip) {
      EXPECT_EQ(shown, U("未定"));
      EXPECT_EQ(shown_tip, tip);
    } else {
      EXPECT_NE(shown, U("未定"));
      EXPECT_EQ(shown_tip, QString());
    }
    ASSERT_EQ(scheduler().Reservations().size(), 1u);
    EXPECT_EQ(scheduler().Reservations()[0].duration, c.duration);
  }
}

TEST_F(ScheduleListWindowTest, AddChangeAndDelete) {
  WhenDialogOpens([](ScheduleEditDialog* d) { Child<QPushButton>(d, "okButton")->click(); });
  Click("addButton");
  Settle();
  ASSERT_EQ(scheduler().Reservations().size(), 1u);
  const ScheduleItem added = scheduler().Reservations()[0];
  EXPECT_EQ(added.duration, 1800u);
  EXPECT_EQ(GetText(added.extension), ".ts");
  EXPECT_EQ(platform::SjisToUtf8(GetText(added.directory)), dir_);
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 0), U("日付"));

  // 変更 without touching anything keeps the reservation as it was.
  list_->selectRow(0);
  WhenDialogOpens([](ScheduleEditDialog* d) { Child<QPushButton>(d, "okButton")->click(); });
  Click("changeButton");
  Settle();
  ASSERT_EQ(scheduler().Reservations().size(), 1u);
  EXPECT_EQ(FormatSchedule(scheduler().Reservations()), FormatSchedule({added}));

  list_->selectRow(0);
  WhenDialogOpens([](ScheduleEditDialog* d) {
    Child<QComboBox>(d, "afterEndCombo")->setCurrentIndex(1);
    Child<QTimeEdit>(d, "durationEdit")->setTime(QTime(0, 10));
    Child<QPushButton>(d, "okButton")->click();
  });
  Click("changeButton");
  Settle();
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 2), U("00 時間 10 分 00 秒"));
  EXPECT_EQ(Cell(0, 3), U("[毎日]"));

  // キャンセル changes nothing.
  list_->selectRow(0);
  WhenDialogOpens([](ScheduleEditDialog* d) {
    Child<QTimeEdit>(d, "durationEdit")->setTime(QTime(0, 20));
    Child<QPushButton>(d, "cancelButton")->click();
  });
  Click("changeButton");
  Settle();
  EXPECT_EQ(Cell(0, 2), U("00 時間 10 分 00 秒"));

  // 削除 of a daily reservation continues with the next day's.
  const uint32_t day = scheduler().Reservations()[0].start_day;
  list_->selectRow(0);
  Click("deleteButton");
  Settle();
  ASSERT_EQ(scheduler().Reservations().size(), 1u);
  EXPECT_EQ(scheduler().Reservations()[0].start_day, day + 1);
  EXPECT_TRUE(scheduler().Finished().empty());
  EXPECT_TRUE(messages_.shown.empty());
}

// A reservation made from a programme titled "[新]ドラマ[字]" (the broadcast's 90/75 and 90/54):
// the list and the dialog show its symbols, and the name comes back byte for byte.
TEST_F(ScheduleListWindowTest, NameFromATitleShowsItsSymbolsAndIsStoredAgainUnchanged) {
  const std::string title = "\xED\xE9" + platform::Utf8ToSjis("ドラマ") + "\xED\xD4";
  const MjdTime start = At(21, 0);
  scheduler().StoreItem(
      MakeTimeReservation(platform::Utf8ToSjis(dir_), 1024, &start, 1800, title, At(20, 0)), -1);
  Settle();
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 4), U("20080303-2100-🈟ドラマ🈑.ts"));
  const std::string stored = std::string(GetText(scheduler().Reservations()[0].file_name));

  list_->selectRow(0);
  QString shown;
  WhenDialogOpens([&shown](ScheduleEditDialog* d) {
    shown = Child<QLineEdit>(d, "fileNameEdit")->text();
    Child<QPushButton>(d, "okButton")->click();
  });
  Click("changeButton");
  Settle();
  EXPECT_EQ(shown, U("20080303-2100-🈟ドラマ🈑"));
  EXPECT_EQ(GetText(scheduler().Reservations()[0].file_name), stored);

  list_->selectRow(0);
  WhenDialogOpens([](ScheduleEditDialog* d) {
    QLineEdit* name = Child<QLineEdit>(d, "fileNameEdit");
    name->setText(name->text() + U("２"));
    Child<QPushButton>(d, "okButton")->click();
  });
  Click("changeButton");
  Settle();
  EXPECT_EQ(GetText(scheduler().Reservations()[0].file_name), stored + platform::Utf8ToSjis("２"));
  EXPECT_EQ(Cell(0, 4), U("20080303-2100-🈟ドラマ🈑２.ts"));
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(ScheduleListWindowTest, OverlapQuestionAnsweredNoAndYes) {
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  MjdTime before = now;
  AddSeconds(&before, -60);
  scheduler().StoreItem(ByTime(before, 3600), -1);
  for (bool answer : {false, true}) {
    messages_.answer = answer;
    WhenDialogOpens([](ScheduleEditDialog* d) { Child<QPushButton>(d, "okButton")->click(); });
    Click("addButton");
    Settle();
    ASSERT_EQ(messages_.shown.size(), answer ? 2u : 1u);
    EXPECT_EQ(messages_.shown.back().text,
              platform::Utf8ToSjis("録画予約時間が重複しています。\n重複予約を強行しますか？"));
    EXPECT_EQ(messages_.shown.back().caption, platform::Utf8ToSjis("録画予約"));
    EXPECT_EQ(scheduler().Reservations().size(), answer ? 2u : 1u);
  }
  EXPECT_EQ(list_->rowCount(), 2);
}

// The 録画予定 column on the real window: two reservations on different channel values collide,
// the higher priority takes the tuner and cuts the other's tail; a third on the first one's channel,
// wholly within the winner, records nothing. Rows that lose time are coloured and name the winner.
TEST_F(ScheduleListWindowTest, PlanColumnMarksWhatLosesTime) {
  const auto reservation = [](MjdTime start, uint32_t duration, uint8_t channel, uint8_t priority,
                              const char* title) {
    ScheduleItem item = ByTime(start, duration);
    item.flags |= SI_CHANNEL_VALUE;
    item.channel_value = channel;
    item.priority = priority;
    SetText(item.title, platform::Utf8ToSjis(title));
    return item;
  };
  ScheduleItem news = reservation(At(21, 20), 1800, 20, 5, "ニュース");
  news.margin_before = 60;
  scheduler().StoreItem(reservation(At(21, 0), 1800, 13, 3, "ドラマ"), -1);
  scheduler().StoreItem(news, -1);
  scheduler().StoreItem(reservation(At(21, 40), 600, 13, 1, "天気"), -1);
  scheduler().StoreItem(ByTime(At(23, 0), 600), -1);
  Settle();

  ASSERT_EQ(list_->rowCount(), 4);
  constexpr int kPlan = 6;
  EXPECT_EQ(list_->horizontalHeaderItem(kPlan)->text(), U("録画予定"));
  EXPECT_FALSE(list_->isColumnHidden(kPlan));
  // Shown before the file name, which still fills the rest of the list.
  EXPECT_EQ(list_->horizontalHeader()->visualIndex(kPlan) + 1, list_->horizontalHeader()->visualIndex(4));
  struct Row {
    const char* plan;
    std::optional<QColor> background;
    const char* tip;
  } const rows[] = {
      {"一部 (終了 11分早め)", QColor(0xFF, 0xF0, 0x90), "21:19:00-21:50:00 ニュース が録画"},
      {"全体", std::nullopt, ""},
      {"録画不可 (ニュース と重複)", QColor(0xFF, 0xB8, 0xB8), "21:19:00-21:50:00 ニュース が録画"},
      {"全体", std::nullopt, ""},
  };
  for (int r = 0; r < 4; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(Cell(r, kPlan), U(rows[r].plan));
    for (int c : {0, 4, kPlan}) {
      const QTableWidgetItem* cell = list_->item(r, c);
      ASSERT_NE(cell, nullptr);
      const QVariant background = cell->data(Qt::BackgroundRole);
      EXPECT_EQ(background.isValid(), rows[r].background.has_value());
      if (rows[r].background) {
        EXPECT_EQ(background.value<QColor>(), *rows[r].background);
        EXPECT_EQ(cell->data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::black));
      }
      EXPECT_EQ(cell->toolTip(), U(rows[r].tip));
    }
  }

  // The winner gone, the others record whole again; the finished view has no plan.
  ASSERT_EQ(scheduler().DeleteItem(1), 1);
  Settle();
  ASSERT_EQ(list_->rowCount(), 3);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(Cell(r, kPlan), U("全体")) << r;
    EXPECT_FALSE(list_->item(r, 0)->data(Qt::BackgroundRole).isValid()) << r;
    EXPECT_EQ(list_->item(r, 0)->toolTip(), QString()) << r;
  }
  Child<QRadioButton>(window_.get(), "finishedRadio")->click();
  Settle();
  EXPECT_TRUE(list_->isColumnHidden(kPlan));
}

// Without a capture the rows read by programme: an event the guide has shows its time, title and
// service, and its conflict with a date-time reservation on another channel; one the guide lacks
// says so; a service not heard from for days is marked; 詳細 tells the margins, priority and rule.
// The plan was followed every few seconds with the window closed too: closed, its timer stops, and
// showing it again brings the plan up to date at once.
TEST_F(ScheduleListWindowTest, AClosedListFollowsNoPlanAndCatchesUpWhenShown) {
  auto* timer = window_->findChild<QTimer*>(QStringLiteral("planRefreshTimer"));
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive());
  window_->hide();
  ScheduleItem item = ByTime(At(21, 0), 1800);
  item.flags |= SI_CHANNEL_VALUE;
  item.channel_value = 13;
  scheduler().StoreItem(item, -1);
  Settle();
  EXPECT_FALSE(timer->isActive());
  ASSERT_EQ(list_->rowCount(), 1);
  window_->show();
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(Cell(0, 6), U("全体"));
}

TEST_F(ScheduleListWindowTest, RowsReadByProgrammeFromTheGuide) {
  const std::string guide = dir_ + "/epg.sqlite";
  const GuideTime now = ToGuideTime(JapanTimeNow());
  ASSERT_TRUE(test::WriteGuideProgramme(guide, {0x7FE8, 0x7FE8, 1024, 0x1001}, "連続テレビ小説",
                                        ToGuideTime(At(20, 0)), 900, "NHK総合", now - 60));
  ASSERT_TRUE(test::WriteGuideProgramme(guide, {0x7FE8, 0x7FE8, 2048, 0x2001}, "映画", ToGuideTime(At(22, 0)), 900,
                                        nullptr, now - 3 * 86400));
  window_->ReadProgrammesFrom(guide, dir_ + "/rules.sqlite");
  const auto event = [](uint16_t service, uint16_t id) {
    ScheduleItem item{};
    item.flags = SI_BY_EVENT;
    item.service_id = service;
    item.event_id = id;
    return item;
  };
  ScheduleItem drama = event(1024, 0x1001);
  drama.rule_id = 7;
  ScheduleItem weather = ByTime(At(20, 5), 1500);
  weather.flags |= SI_CHANNEL_VALUE;
  weather.channel_value = 13;
  weather.priority = 5;
  weather.margin_after = 60;
  SetText(weather.title, platform::Utf8ToSjis("天気"));
  for (const ScheduleItem& item : {drama, weather, event(1024, 0x1234), event(2048, 0x2001)})
    scheduler().StoreItem(item, -1);
  Settle();

  constexpr int kProgramme = 7, kService = 8, kPlan = 6;
  EXPECT_EQ(list_->horizontalHeaderItem(kProgramme)->text(), U("番組名"));
  EXPECT_EQ(list_->horizontalHeaderItem(kService)->text(), U("サービス"));
  // After the specified four, before the plan and the file name.
  QHeaderView* header = list_->horizontalHeader();
  EXPECT_EQ(header->visualIndex(kProgramme), 4);
  EXPECT_EQ(header->visualIndex(kService), 5);
  EXPECT_EQ(header->visualIndex(kPlan), 6);
  struct Row {
    const char* start;
    const char* detail;
    const char* programme;
    const char* service;
    const char* plan;
  } const rows[] = {
      {"2008年03月03日(月) 20時05分00秒", "[チャンネル設定=13][マージン=5秒前/60秒後][優先度=5]", "天気", "", "全体"},
      {"2008年03月03日(月) 20時00分00秒", "[ルール: ルール不明(ID=7)]", "連続テレビ小説", "NHK総合", "一部 (終了 11分早め)"},
      {"不明(ID=0000:0000:0400:1234)", "", "番組表にない番組", "NHK総合", ""},
      {"2008年03月03日(月) 22時00分00秒", "", "映画", "2048", "全体 番組情報が古い"},
  };
  ASSERT_EQ(list_->rowCount(), 4);
  for (int r = 0; r < 4; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(Cell(r, 1), U(rows[r].start));
    EXPECT_EQ(Cell(r, 3), U(rows[r].detail));
    EXPECT_EQ(Cell(r, kProgramme), U(rows[r].programme));
    EXPECT_EQ(Cell(r, kService), U(rows[r].service));
    EXPECT_EQ(Cell(r, kPlan), U(rows[r].plan));
  }
}

// An addition that makes a reservation on another channel lose time names it in the overlap
// question, asked once: no stores nothing, yes stores it.
TEST_F(ScheduleListWindowTest, TheQuestionNamesWhatAnotherLoses) {
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  MjdTime before = now;
  AddSeconds(&before, -60);
  ScheduleItem weather = ByTime(before, 3600);
  weather.flags |= SI_CHANNEL_VALUE;
  weather.channel_value = 13;
  weather.priority = 1;
  SetText(weather.title, platform::Utf8ToSjis("天気"));
  scheduler().StoreItem(weather, -1);
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02u:%02u", before.seconds / 3600, before.seconds % 3600 / 60);
  for (bool answer : {false, true}) {
    messages_.shown.clear();
    messages_.answer = answer;
    WhenDialogOpens([](ScheduleEditDialog* d) { Child<QPushButton>(d, "okButton")->click(); });
    Click("addButton");
    Settle();
    ASSERT_EQ(messages_.shown.size(), 1u) << "asked once";
    const std::string text = platform::SjisToUtf8(messages_.shown[0].text);
    EXPECT_EQ(text.find("この予約により " + std::string(clock) + " 天気 が一部録画になります (終了 60分早め)\n"
                        "録画予約時間が重複しています。\n重複予約を強行しますか？"),
              0u)
        << text;
    EXPECT_EQ(scheduler().Reservations().size(), answer ? 2u : 1u);
  }
}

TEST_F(ScheduleListWindowTest, FinishedViewAndClear) {
  scheduler().StoreItem(ByTime(At(21, 0), 600), -1);
  scheduler().StoreItem(ByTime(At(23, 0), 600), -1);
  scheduler().Tick(At(22, 0));  // 21:00 passed without a recording
  Settle();
  Child<QRadioButton>(window_.get(), "finishedRadio")->click();
  Settle();
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "reservationsRadio")->text(), U("録画予約(1件)"));
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "finishedRadio")->text(), U("録画終了(1件)"));
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 0), U("日付[ エラー ]"));
  EXPECT_EQ(Cell(0, 1), U("2008年03月03日(月) 21時00分00秒"));
  // The finished view has the column of the recordings' totals: nothing was recorded here.
  EXPECT_FALSE(list_->isColumnHidden(5));
  EXPECT_EQ(list_->horizontalHeaderItem(5)->text(), U("録画結果"));
  EXPECT_EQ(Cell(0, 5), QString());
  // 変更 and 削除 do not reach into the reservation list from here.
  list_->selectRow(0);
  EXPECT_FALSE(Child<QPushButton>(window_.get(), "changeButton")->isEnabled());
  EXPECT_FALSE(Child<QPushButton>(window_.get(), "deleteButton")->isEnabled());
  EXPECT_FALSE(Child<QPushButton>(window_.get(), "openReportButton")->isEnabled());
  Click("deleteButton");
  EXPECT_EQ(scheduler().Reservations().size(), 1u);

  Click("clearFinishedButton");
  Settle();
  EXPECT_EQ(list_->rowCount(), 0);
  EXPECT_EQ(Child<QRadioButton>(window_.get(), "finishedRadio")->text(), U("録画終了(0件)"));
  Child<QRadioButton>(window_.get(), "reservationsRadio")->click();
  Settle();
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 1), U("2008年03月03日(月) 23時00分00秒"));
  EXPECT_TRUE(list_->isColumnHidden(5));
}

TEST_F(ScheduleListWindowTest, ActiveReservationIsNotEdited) {
  scheduler().StoreItem(ByTime(At(21, 0), 600), -1);
  scheduler().Tick(At(20, 59, 40));  // being prepared
  Settle();
  ASSERT_EQ(list_->rowCount(), 1);
  EXPECT_EQ(Cell(0, 0), U("日付[ 録画準備中 ]"));
  DialogProbe& probe = WhenDialogOpens([](ScheduleEditDialog* d) { Child<QPushButton>(d, "cancelButton")->click(); });
  list_->selectRow(0);
  Click("changeButton");
  Settle();
  EXPECT_FALSE(probe.fired());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, platform::Utf8ToSjis("録画中のアイテムは編集できません。"));
  EXPECT_EQ(messages_.shown[0].caption, "");
  // 削除 cancels the preparation.
  list_->selectRow(0);
  Click("deleteButton");
  Settle();
  EXPECT_EQ(list_->rowCount(), 0);
  EXPECT_FALSE(scheduler().ActiveItem());
}

TEST_F(ScheduleListWindowTest, CommandLineAndDialogStoreTheSameFile) {
  std::filesystem::create_directories(dir_ + "/rec");
  const std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  std::vector<std::string> args = {
      "add",     "--start", "2030-03-03 21:00:00", "--minutes", "30",  "--service", "1024",
      "--daily", "--dir",   dir_ + "/rec",         "--file",    "番組"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  ::testing::internal::CaptureStdout();
  const int rc = cli::RunSchedule(static_cast<int>(argv.size()), argv.data());
  ::testing::internal::GetCapturedStdout();
  std::filesystem::current_path(old);
  ASSERT_EQ(rc, 0);

  const std::string folder = dir_ + "/rec";
  WhenDialogOpens([folder](ScheduleEditDialog* d) {
    Child<QDateEdit>(d, "dateEdit")->setDate(QDate(2030, 3, 3));
    Child<QTimeEdit>(d, "timeEdit")->setTime(QTime(21, 0));
    Child<QTimeEdit>(d, "durationEdit")->setTime(QTime(0, 30));
    Child<QCheckBox>(d, "serviceLimitCheck")->setChecked(true);
    Child<QLineEdit>(d, "serviceIdEdit")->setText("1024");
    Child<QComboBox>(d, "afterEndCombo")->setCurrentIndex(1);
    Child<QLineEdit>(d, "directoryEdit")->setText(QString::fromStdString(folder));
    Child<QCheckBox>(d, "fileNameCheck")->setChecked(true);
    Child<QLineEdit>(d, "fileNameEdit")->setText(U("番組"));
    Child<QPushButton>(d, "okButton")->click();
  });
  Click("addButton");
  ASSERT_TRUE(scheduler().SaveSchedule(dir_ + "/dialog.ini"));
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  const std::string from_cli = read(dir_ + "/schedule.ini");
  EXPECT_NE(from_cli.find("Ext=.ts\r\n"), std::string::npos);
  EXPECT_EQ(read(dir_ + "/dialog.ini"), from_cli);
}

}  // namespace
}  // namespace pelkan::ui
