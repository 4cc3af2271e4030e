#include "ui/schedule_list_window.h"

#include <QColor>
#include <QHeaderView>
#include <QTableWidgetItem>
#include <algorithm>

#include "app/rule_files.h"
#include "app/scheduled_capture.h"
#include "core/status_text.h"
#include "guide/guide_coverage.h"
#include "platform/broadcast_text.h"
#include "schedule/recording_scheduler.h"
#include "schedule/reservation_match.h"
#include "schedule/schedule_texts.h"
#include "ui/message_box_messages.h"
#include "ui/qt_text.h"
#include "ui/report_opener.h"
#include "ui/schedule_edit_dialog.h"
#include "ui_schedule_list_window.h"

namespace pelkan::ui {
namespace {

// Column widths of タイプ, 開始日時, 録画時間, 詳細, ファイル名, 録画結果 (the finished view's
// totals of each recording), 録画予定 (the reservation view's plan), 番組名 and サービス; shown in
// the order タイプ, 開始日時, 録画時間, 詳細, 番組名, サービス, 録画予定, ファイル名, 録画結果. A column
// grows when its texts need more (the last one shown fills the rest of the list).
constexpr int kColumns = 9;
constexpr int kDurationColumn = 2;
constexpr int kDetailColumn = 3;
constexpr int kFileNameColumn = 4;
constexpr int kResultColumn = 5;
constexpr int kPlanColumn = 6;
constexpr int kProgrammeColumn = 7;
constexpr int kServiceColumn = 8;
constexpr int kColumnWidths[kColumns] = {100, 200, 120, 250, 250, 250, 120, 200, 120};

// How often the plan column is brought up to date between list changes (followed times move).
constexpr int kPlanRefreshMs = 5000;

// The background of a row that will lose time: yellow when it records in part, red when it
// records nothing (light enough that the black text stays readable); none for the rest.
std::optional<QColor> PlanBackground(PlanVerdict verdict) {
  switch (verdict) {
    case PlanVerdict::kPart:
      return QColor(0xFF, 0xF0, 0x90);
    case PlanVerdict::kNone:
      return QColor(0xFF, 0xB8, 0xB8);
    case PlanVerdict::kWhole:
    case PlanVerdict::kUnknown:
      break;
  }
  return std::nullopt;
}

QString JoinLines(const QString& a, const QString& b) {
  if (a.isEmpty()) return b;
  if (b.isEmpty()) return a;
  return a + QLatin1Char('\n') + b;
}

}  // namespace

ScheduleListWindow::ScheduleListWindow(ScheduledCapture& capture, ChannelSource channels,
                                       UserMessages* messages, QWidget* parent)
    : ToolWindow(parent),
      ui_(std::make_unique<Ui::ScheduleListWindow>()),
      capture_(capture),
      channels_(std::move(channels)),
      own_messages_(messages == nullptr ? std::make_unique<MessageBoxMessages>(this) : nullptr),
      messages_(messages != nullptr ? messages : own_messages_.get()),
      editor_(capture.scheduler(), *this),
      guide_(std::make_unique<ProgrammeResolver>(std::string())),
      rules_(std::make_unique<RuleNames>(std::string())) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("scheduleListWindow"));
  QHeaderView* header = ui_->scheduleList->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  for (int c = 0; c < kColumns; ++c) ui_->scheduleList->setColumnWidth(c, kColumnWidths[c]);
  ui_->scheduleList->setColumnHidden(kResultColumn, true);  // the reservation view comes first
  for (const int c : {kProgrammeColumn, kServiceColumn, kPlanColumn})
    header->moveSection(header->visualIndex(c), header->visualIndex(kFileNameColumn));
  WidenToShowColumns(ui_->scheduleList);
  plan_refresh_.setObjectName(QStringLiteral("planRefreshTimer"));
  plan_refresh_.setInterval(kPlanRefreshMs);
  connect(&plan_refresh_, &QTimer::timeout, this, &ScheduleListWindow::UpdatePlan);

  connect(ui_->addButton, &QPushButton::clicked, this, &ScheduleListWindow::addReservation);
  connect(ui_->changeButton, &QPushButton::clicked, this, &ScheduleListWindow::changeReservation);
  connect(ui_->deleteButton, &QPushButton::clicked, this, &ScheduleListWindow::deleteReservation);
  connect(ui_->clearFinishedButton, &QPushButton::clicked, this, &ScheduleListWindow::clearFinished);
  connect(ui_->openReportButton, &QPushButton::clicked, this, &ScheduleListWindow::openReport);
  connect(ui_->recordingsButton, &QPushButton::clicked, this, &ScheduleListWindow::recordingsRequested);
  connect(ui_->scheduleList, &QTableWidget::cellDoubleClicked, this, &ScheduleListWindow::openReport);
  connect(ui_->reservationsRadio, &QRadioButton::toggled, this, &ScheduleListWindow::viewChanged);
  connect(ui_->scheduleList, &QTableWidget::itemSelectionChanged, this, &ScheduleListWindow::updateButtons);

  capture_.SetScheduleChangedListener([this] { Rebuild(); });
  capture_.SetConfirm([this] { return ConfirmOverlap(); });
  Rebuild();
}

ScheduleListWindow::~ScheduleListWindow() {
  capture_.SetScheduleChangedListener(nullptr);
  capture_.SetConfirm(nullptr);
}

bool ScheduleListWindow::ReserveProgrammeByTime(uint16_t service_id, const MjdTime& start, uint32_t duration,
                                                std::string_view title) {
  return editor_.ReserveByTime(service_id, &start, duration, title) == 1;
}

bool ScheduleListWindow::ReserveProgrammeByEvent(uint16_t network_id, uint16_t stream_id, uint16_t service_id,
                                                 uint16_t event_id, std::string_view title) {
  return editor_.ReserveByEvent(network_id, stream_id, service_id, event_id, title) == 1;
}

bool ScheduleListWindow::ConfirmOverlap() {
  if (agreed_) {
    agreed_ = false;
    return true;
  }
  return messages_->Ask(OverlapQuestionText(), OverlapCaption());
}

void ScheduleListWindow::ReadProgrammesFrom(const std::string& guide_path, const std::string& rules_path) {
  guide_ = std::make_unique<ProgrammeResolver>(guide_path);
  rules_ = std::make_unique<RuleNames>(rules_path);
  Rebuild();
}

void ScheduleListWindow::ReadProgrammesFrom(RuleFiles& files, const std::string& rules_path) {
  guide_ = std::make_unique<ProgrammeResolver>(
      [&files](const std::function<void(GuideReader&)>& use) { files.LendGuide(use); });
  rules_ = std::make_unique<RuleNames>(rules_path);
  Rebuild();
}

bool ScheduleListWindow::ShowingReservations() const {
  return ui_->reservationsRadio->isChecked();
}

void ScheduleListWindow::Rebuild() {
  RecordingScheduler& s = capture_.scheduler();
  const std::vector<ScheduleItem> reservations = s.Reservations();
  const std::vector<FinishedRecording> finished = s.FinishedRecordings();
  ui_->reservationsRadio->setText(FromSjis(ListChoiceText(false, reservations.size())));
  ui_->finishedRadio->setText(FromSjis(ListChoiceText(true, finished.size())));

  // The selection follows its reservation through the rebuild.
  std::optional<ScheduleItem> selected;
  if (const ScheduleItem* item = SelectedReservation()) selected = *item;
  shown_.clear();
  shown_summaries_.clear();
  if (ShowingReservations()) {
    shown_ = reservations;
    shown_summaries_.resize(shown_.size());
  } else {
    for (const FinishedRecording& f : finished) {
      shown_.push_back(f.item);
      shown_summaries_.push_back(f.summary);
    }
  }
  // The programmes as the guide tells them: an event reservation's time and title.
  std::vector<ResolvedProgramme> programmes;
  shown_stale_.clear();
  for (ScheduleItem& item : shown_) {
    programmes.push_back(guide_->OfReservation(item));
    shown_stale_.push_back(ShowingReservations() && programmes.back().stale);
    item = guide_->WithGuideTime(item);
  }
  QTableWidget* list = ui_->scheduleList;
  list->setColumnHidden(kResultColumn, ShowingReservations());
  list->setColumnHidden(kPlanColumn, !ShowingReservations());
  list->setRowCount(0);
  list->setRowCount(static_cast<int>(shown_.size()));
  for (size_t i = 0; i < shown_.size(); ++i) {
    const ScheduleItem& item = shown_[i];
    const std::string cells[kColumns] = {
        ItemTypeText(item),
        ItemStartText(item),
        ItemDurationText(item),
        std::string(),
        ItemFileNameText(item),
        shown_summaries_[i] ? FormatRecordingTotals(*shown_summaries_[i]) : std::string(),
        std::string(),
        ProgrammeNameText(item, programmes[i]),
        ServiceNameText(item, programmes[i])};
    for (int c = 0; c < kColumns; ++c) {
      // The file name, the programme's and the service's names are broadcast text.
      const bool broadcast = c == kFileNameColumn || c == kProgrammeColumn || c == kServiceColumn;
      auto* cell = new QTableWidgetItem(c == kDetailColumn ? QString::fromStdString(rules_->DetailText(item))
                                        : broadcast        ? FromBroadcastSjis(cells[c])
                                                           : FromSjis(cells[c]));
      cell->setData(Qt::UserRole, static_cast<int>(i));
      if (c == kDurationColumn) cell->setToolTip(LengthToolTip(item));
      list->setItem(static_cast<int>(i), c, cell);
    }
  }
  shown_plan_.clear();
  UpdatePlan();
  // The last column shown fills the rest: ファイル名 in the reservation view, 録画結果 in the finished one.
  const int last = ShowingReservations() ? kFileNameColumn : kResultColumn;
  for (int c = 0; c < kColumns; ++c) {
    if (c == last || list->isColumnHidden(c)) continue;
    list->resizeColumnToContents(c);
    list->setColumnWidth(c, std::max(list->columnWidth(c) + 8, kColumnWidths[c]));
  }
  if (selected && ShowingReservations()) {
    const int row = FindReservation(shown_, *selected);
    if (row >= 0) list->selectRow(row);
  }
  updateButtons();
}

void ScheduleListWindow::showEvent(QShowEvent* event) {
  ToolWindow::showEvent(event);
  UpdatePlan();
}

void ScheduleListWindow::UpdatePlan() {
  // A hidden list follows nothing (its timer stops); showing it brings the plan up to date.
  if (!isVisible()) return plan_refresh_.stop();
  if (!plan_refresh_.isActive()) plan_refresh_.start();
  if (!ShowingReservations()) return;
  RecordingScheduler& s = capture_.scheduler();
  // The plan is of the list as it is now; the rows show it as it was at the last rebuild, which
  // a change since then is about to replace (OnScheduleChanged): until then nothing is marked.
  RecordingScheduler::PlannedList planned = guide_->Resolve(s.PlannedReservations());
  std::vector<PlanLine> plan = std::move(planned.lines);
  const bool same_list = std::equal(planned.items.begin(), planned.items.end(), shown_.begin(), shown_.end(),
                                    [](const ScheduleItem& a, const ScheduleItem& b) { return IsSameReservation(a, b); });
  if (!same_list) plan.assign(shown_.size(), PlanLine{});
  const auto same = [](const PlanLine& a, const PlanLine& b) {
    return a.verdict == b.verdict && a.start == b.start && a.end == b.end && a.head_by == b.head_by &&
           a.tail_by == b.tail_by && a.by == b.by;
  };
  if (std::equal(plan.begin(), plan.end(), shown_plan_.begin(), shown_plan_.end(), same)) return;
  shown_plan_ = plan;
  QTableWidget* list = ui_->scheduleList;
  for (size_t i = 0; i < shown_.size() && static_cast<int>(i) < list->rowCount(); ++i) {
    const PlanLine& line = plan[i];
    const int row = static_cast<int>(i);
    // The winners' names are programme titles or file names: broadcast text.
    std::string text = PlanText(line, shown_);
    if (i < shown_stale_.size() && shown_stale_[i]) {
      if (!text.empty()) text += ' ';
      text += StaleGuideText();
    }
    if (QTableWidgetItem* cell = list->item(row, kPlanColumn)) cell->setText(FromBroadcastSjis(text));
    const std::optional<QColor> background = PlanBackground(line.verdict);
    const QString tip = background ? FromBroadcastSjis(PlanToolTip(line, shown_, plan)) : QString();
    for (int c = 0; c < kColumns; ++c) {
      QTableWidgetItem* cell = list->item(row, c);
      if (cell == nullptr) continue;
      cell->setData(Qt::BackgroundRole, background ? QVariant(*background) : QVariant());
      cell->setData(Qt::ForegroundRole, background ? QVariant(QColor(Qt::black)) : QVariant());
      cell->setToolTip(c == kDurationColumn ? JoinLines(LengthToolTip(shown_[i]), tip) : tip);
    }
  }
}

const ScheduleItem* ScheduleListWindow::SelectedReservation() const {
  if (!ShowingReservations()) return nullptr;
  const QList<QTableWidgetItem*> items = ui_->scheduleList->selectedItems();
  if (items.isEmpty()) return nullptr;
  const int row = items.first()->row();
  if (row < 0 || static_cast<size_t>(row) >= shown_.size()) return nullptr;
  return &shown_[static_cast<size_t>(row)];
}

QString ScheduleListWindow::LengthToolTip(const ScheduleItem& item) const {
  if (!HasUndeterminedLength(item)) return QString();
  return FromSjis(UndeterminedLengthToolTip(capture_.scheduler().FollowLimit()));
}

std::string ScheduleListWindow::SelectedReport() const {
  if (ShowingReservations()) return std::string();
  const QList<QTableWidgetItem*> items = ui_->scheduleList->selectedItems();
  if (items.isEmpty()) return std::string();
  const size_t row = static_cast<size_t>(items.first()->row());
  if (row >= shown_summaries_.size() || !shown_summaries_[row]) return std::string();
  return shown_summaries_[row]->report_path;
}

void ScheduleListWindow::updateButtons() {
  // 変更 and 削除 act on a reservation; the finished list has none to act on.
  const bool selected = SelectedReservation() != nullptr;
  ui_->changeButton->setEnabled(selected);
  ui_->deleteButton->setEnabled(selected);
  ui_->openReportButton->setEnabled(!SelectedReport().empty());
  // The finished view leads on to every recording ever made.
  ui_->recordingsButton->setVisible(!ShowingReservations());
}

void ScheduleListWindow::openReport() {
  OpenReport(SelectedReport());
}

void ScheduleListWindow::viewChanged() {
  ui_->scheduleList->clearSelection();
  Rebuild();
  // The finished view has one column more: the window grows to show it, if it must.
  if (!ShowingReservations()) WidenToShowColumns(ui_->scheduleList);
}

void ScheduleListWindow::addReservation() {
  editor_.ReserveByTime(0, nullptr, 0, std::nullopt);
}

void ScheduleListWindow::changeReservation() {
  const ScheduleItem* shown = SelectedReservation();
  if (shown == nullptr) return;
  const ScheduleItem item = *shown;
  if (editor_.ChangeReservation(item) == ReservationEditor::Change::kActive) {
    messages_->Notify(ActiveItemText(), std::string());
  }
}

void ScheduleListWindow::deleteReservation() {
  const ScheduleItem* shown = SelectedReservation();
  if (shown == nullptr) return;
  editor_.DeleteReservation(*shown);
}

void ScheduleListWindow::clearFinished() {
  capture_.scheduler().ClearFinished();
}

bool ScheduleListWindow::RunEditDialog(ScheduleItem* item) {
  ScheduleEditDialog dialog(*item, channels_ ? channels_() : DeviceChannels{}, *messages_, this);
  dialog.SetLengthToolTip(LengthToolTip(*item));
  // The programme first, as the guide has it.
  if (const ResolvedProgramme programme = guide_->OfReservation(*item); programme.in_guide)
    dialog.ShowProgramme(programme.event, programme.service_name);
  if (dialog.exec() != QDialog::Accepted) return false;
  const ScheduleItem edited = dialog.item();
  if (!AgreeToLosers(*item, edited)) return false;
  *item = edited;
  return true;
}

bool ScheduleListWindow::AgreeToLosers(const ScheduleItem& opened, const ScheduleItem& edited) {
  agreed_ = false;
  const RecordingScheduler::PlannedList planned = capture_.scheduler().PlannedReservations();
  const bool listed = FindReservation(planned.items, opened) >= 0;
  const std::vector<std::string> losers = guide_->Losers(planned, edited, listed ? &opened : nullptr);
  if (losers.empty()) return true;
  std::string text;
  for (const std::string& loser : losers) text += platform::BroadcastToPlainSjis(loser) + "\n";
  if (!messages_->Ask(text + OverlapQuestionText(), OverlapCaption())) return false;
  // The scheduler's own overlap question, asked as the edit is stored right after, is answered.
  agreed_ = true;
  QTimer::singleShot(0, this, [this] { agreed_ = false; });
  return true;
}

}  // namespace pelkan::ui
