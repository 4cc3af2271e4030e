#include "ui/guide_window.h"

#include <QButtonGroup>
#include <QDesktopServices>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QScrollBar>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <tuple>

#include "app/rule_window_rules.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "app/watch_urls.h"
#include "base/mjd_time.h"
#include "core/capture_app.h"
#include "guide/guide_coverage.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "guide/reserved_programmes.h"
#include "platform/clock.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "ui/guide_grid.h"
#include "ui/qt_text.h"
#include "ui_guide_window.h"

namespace pelkan::ui {
namespace {

constexpr int kSearchDelayMs = 300;

}  // namespace

GuideWindow::GuideWindow(DesktopContext& context, ReserveByTimeCallback by_time,
                         ReserveByEventCallback by_event, MakeRuleCallback make_rule, QWidget* parent)
    : ToolWindow(parent),
      ui_(std::make_unique<Ui::GuideWindow>()),
      context_(context),
      by_time_(std::move(by_time)),
      by_event_(std::move(by_event)),
      make_rule_(std::move(make_rule)) {
  ui_->setupUi(this);
  ui_->mainSplitter->setStretchFactor(0, 3);
  ui_->mainSplitter->setStretchFactor(1, 1);
  ui_->grid->SetEmptyText(FromSjis(guide_text::kEmpty));
  ui_->grid->SetHeaderToolTip([this](const GuideService& s) {
    return FromBroadcastSjis(s.name) + QLatin1Char('\n') +
           FromSjis(guide_text::CompletionText(s.complete_at)) + QLatin1Char('\n') +
           FromSjis(GuideCoverage::Of(s).Text(Now()));
  });
  ui_->grid->SetBoxToolTip([this](const GuideGrid::Cell& cell) {
    GuideEvent e = ui_->grid->model()->event(cell);
    if (store_) {
      if (auto whole = store_->Find(e.key)) e = std::move(*whole);
    }
    return FromBroadcastSjis(guide_text::DetailText(e, ServiceName(e.key), ui_->grid->IsReserved(e)));
  });

  auto* days = new QButtonGroup(this);
  for (int d = 0; d < GuideGridModel::kDays; ++d) {
    auto* button = new QToolButton(ui_->dayBar);
    button->setObjectName(QStringLiteral("dayButton%1").arg(d));
    button->setCheckable(true);
    button->setAutoRaise(false);
    ui_->dayLayout->addWidget(button);
    days->addButton(button, d);
    day_buttons_.push_back(button);
    connect(button, &QToolButton::clicked, this, [this, d] {
      if (origin_ >= 0) ui_->grid->ScrollToTime(origin_ + GuideTime{d} * 86400);
    });
  }
  for (int g = 0; g < guide_text::kGenreGroups; ++g) {
    auto* item = new QLabel(FromSjis(guide_text::GenreGroupName(g)), ui_->legendBar);
    item->setObjectName(QStringLiteral("legend%1").arg(g));
    item->setMargin(2);
    item->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    item->setAutoFillBackground(true);
    QPalette colours = item->palette();
    colours.setColor(QPalette::Window, GuideGrid::GenreColour(g));
    colours.setColor(QPalette::WindowText, Qt::black);
    item->setPalette(colours);
    ui_->legendItems->addWidget(item);
  }

  popup_ = new QMenu(this);
  popup_->setObjectName(QStringLiteral("programmePopup"));
  // "予約" at once (the default: Enter in the menu), the edit dialog for the rest.
  popup_->addAction(ui_->reserveAction);
  popup_->setDefaultAction(ui_->reserveAction);
  popup_->addAction(ui_->reserveByEventAction);
  popup_->addAction(ui_->reserveByTimeAction);
  // "視聴" of a programme on air, only while the capture serves its stream over HTTP.
  popup_->addAction(ui_->watchAction);
  if (make_rule_) {
    popup_->addSeparator();
    popup_->addAction(ui_->ruleFromProgrammeAction);
  }
  ui_->ruleFromSearchButton->setVisible(make_rule_ != nullptr);
  ui_->ruleFromSearchButton->setEnabled(false);

  connect(ui_->grid, &GuideGrid::currentChanged, this, &GuideWindow::ShowCurrent);
  connect(ui_->grid, &GuideGrid::menuRequested, this, &GuideWindow::ShowMenu);
  connect(ui_->grid, &GuideGrid::viewMoved, this, &GuideWindow::FollowView);
  connect(ui_->reserveAction, &QAction::triggered, this, &GuideWindow::Reserve);
  connect(ui_->reserveByEventAction, &QAction::triggered, this, &GuideWindow::ReserveByEvent);
  connect(ui_->reserveByTimeAction, &QAction::triggered, this, &GuideWindow::ReserveByTime);
  connect(ui_->ruleFromProgrammeAction, &QAction::triggered, this, &GuideWindow::RuleFromProgramme);
  // The desktop's player for the service's stream (xdg-open on a Linux desktop).
  connect(ui_->watchAction, &QAction::triggered, this, [this] {
    const QString url = ui_->watchAction->data().toString();
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
  });
  connect(ui_->ruleFromSearchButton, &QPushButton::clicked, this, &GuideWindow::RuleFromSearch);
  connect(ui_->nowButton, &QPushButton::clicked, this, [this] {
    ui_->grid->ScrollToTime(Now() - 1800);
    ui_->grid->setFocus();
  });
  connect(ui_->switchOnButton, &QPushButton::clicked, this, &GuideWindow::SwitchOn);
  search_delay_.setSingleShot(true);
  search_delay_.setInterval(kSearchDelayMs);
  connect(&search_delay_, &QTimer::timeout, this, &GuideWindow::Search);
  connect(ui_->searchEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
    ui_->ruleFromSearchButton->setEnabled(!text.trimmed().isEmpty());
    search_delay_.start();
  });
  connect(ui_->searchEdit, &QLineEdit::returnPressed, this, &GuideWindow::Search);
  ui_->searchEdit->installEventFilter(this);
  connect(ui_->resultsList, &QListWidget::currentRowChanged, this, &GuideWindow::ShowResult);
  connect(ui_->resultsList, &QListWidget::itemActivated, this, [this] {
    ShowResult();
    ui_->grid->setFocus();
  });
  refresh_.setObjectName(QStringLiteral("guideRefreshTimer"));
  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &GuideWindow::Refresh);
  UpdateSwitchNotice();
}

GuideWindow::~GuideWindow() = default;

GuideTime GuideWindow::Now() const {
  return DesktopNow(context_);
}

bool GuideWindow::OpenStore() {
  if (store_) return true;
  store_ = GuideStore::Open(context_.guide_path, GuideStore::Access::kRead, false, nullptr, &store_error_);
  data_version_ = 0;
  return store_ != nullptr;
}

void GuideWindow::showEvent(QShowEvent* event) {
  ToolWindow::showEvent(event);
  const bool first = origin_ < 0;
  UpdateSwitchNotice();
  Reload();
  if (first) {
    ui_->grid->ScrollToTime(Now() - 1800);
    ui_->grid->setFocus();
  }
  refresh_.start();
}

bool GuideWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->searchEdit && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !ui_->searchEdit->text().isEmpty()) {
    ui_->searchEdit->clear();
    return true;
  }
  return ToolWindow::eventFilter(watched, event);
}

void GuideWindow::Reload() {
  const GuideTime now = Now();
  const GuideTime origin = now / 86400 * 86400;
  if (OpenStore()) {
    data_version_ = store_->DataVersion();
    std::vector<GuideService> services = store_->Services();
    // The model puts each service's programmes in order itself.
    std::vector<GuideEvent> events =
        store_->Events(origin, origin + GuideTime{GuideGridModel::kDays} * 86400, false, false);
    if (store_->LastErrorCode() != 0) {
      // A file replaced under the reader: open it again at the next refresh.
      store_.reset();
      store_error_.clear();
    }
    auto model = std::make_unique<GuideGridModel>();
    model->Load(services, std::move(events));
    ui_->grid->SetModel(model.get(), origin);
    model_ = std::move(model);
  }
  UpdateStatusLabel();
  const bool moved_day = origin != origin_;
  origin_ = origin;
  if (ui_->grid->model() != model_.get()) ui_->grid->SetModel(model_.get(), origin);
  ui_->grid->SetNow(now);
  if (ui_->grid->SetReserved(ReservedNow())) UpdateResultMarks();
  if (moved_day) UpdateDayButtons();
  FollowView();
  // The detail pane shows a programme from the start: the one on air, when nothing is chosen yet.
  ui_->grid->SelectFirst();
  ShowCurrent();
}

ReservedProgrammes GuideWindow::ReservedNow() const {
  const RecordingScheduler::PlannedList planned = context_.schedule.scheduler().PlannedReservations();
  return ReservedProgrammes(planned.items, planned.lines);
}

void GuideWindow::Refresh() {
  if (!isVisible()) {
    refresh_.stop();
    return;
  }
  UpdateSwitchNotice();
  const GuideTime now = Now();
  ui_->grid->SetNow(now);
  // The search results' marks follow the reservations: written again only when those changed.
  if (ui_->grid->SetReserved(ReservedNow())) UpdateResultMarks();
  UpdateStatusLabel();
  const bool changed = !store_ || store_->DataVersion() != data_version_;
  if (changed || now / 86400 * 86400 != origin_) Reload();
}

void GuideWindow::UpdateStatusLabel() {
  // A file that cannot be read, else one the capture cannot write what it receives to.
  std::string text;
  if (!store_ && !store_error_.empty() && QFile::exists(QString::fromStdString(context_.guide_path))) {
    text = guide_text::kReadError;
  } else if (context_.guide_status) {
    text = context_.guide_status();
  }
  ui_->statusLabel->setText(FromSjis(text));
}

void GuideWindow::UpdateSwitchNotice() {
  const Settings& s = context_.app.settings();
  const std::string_view notice = guide_text::SwitchNotice(s.decode_psi != 0, s.proc_epg != 0, true);
  ui_->noticeLabel->setText(FromSjis(notice));
  ui_->noticeFrame->setVisible(!notice.empty());
}

void GuideWindow::SwitchOn() {
  context_.app.SwitchOnTableProcessing();
  UpdateSwitchNotice();
  Q_EMIT settingsChanged();
}

void GuideWindow::UpdateDayButtons() {
  for (int d = 0; d < GuideGridModel::kDays; ++d) {
    const QString text = FromSjis(guide_text::DayText(static_cast<uint32_t>(origin_ / 86400 + d)));
    day_buttons_[static_cast<size_t>(d)]->setText(text);
    day_buttons_[static_cast<size_t>(d)]->setAccessibleName(text);
  }
}

void GuideWindow::FollowView() {
  if (origin_ < 0) return;
  const GuideTime top = ui_->grid->TopTime();
  const int day =
      static_cast<int>(std::clamp<GuideTime>((top - origin_ + 3600) / 86400, 0, GuideGridModel::kDays - 1));
  day_buttons_[static_cast<size_t>(day)]->setChecked(true);
}

std::string GuideWindow::ServiceName(const GuideEventKey& key) const {
  const GuideGridModel* shown = ui_->grid->model();
  if (shown == nullptr) return {};
  for (const GuideGridModel::Column& c : shown->columns()) {
    const GuideService& s = c.service;
    if (s.service_id == key.service_id && s.transport_stream_id == key.transport_stream_id &&
        s.original_network_id == key.original_network_id)
      return s.name;
  }
  return {};
}

void GuideWindow::ShowCurrent() {
  const auto cell = ui_->grid->current();
  if (!cell) {
    ui_->detailText->clear();
    return;
  }
  GuideEvent e = ui_->grid->model()->event(*cell);
  if (store_) {
    if (auto whole = store_->Find(e.key)) e = std::move(*whole);
  }
  ui_->detailText->setPlainText(
      FromBroadcastSjis(guide_text::DetailText(e, ServiceName(e.key), ui_->grid->IsReserved(e))));
}

void GuideWindow::ShowMenu(const QPoint& global_pos) {
  const auto cell = ui_->grid->current();
  if (!cell) return;
  // A programme reserved already is not reserved twice; its details still open.
  const GuideEvent e = ui_->grid->model()->event(*cell);
  ui_->reserveAction->setEnabled(!ui_->grid->IsReserved(e));
  const QString watch = QString::fromStdString(ProgrammeWatchUrl(WatchBaseUrl(context_.app), e, Now()));
  ui_->watchAction->setData(watch);
  ui_->watchAction->setVisible(!watch.isEmpty());
  popup_->popup(global_pos);
}

void GuideWindow::Reserve() {
  const auto cell = ui_->grid->current();
  if (!cell) return;
  const GuideEvent e = ui_->grid->model()->event(*cell);
  if (ui_->grid->IsReserved(e)) return;
  // As "予約の詳細..." would store it untouched: the options' margins, the default folder, the
  // automatic name with the title and the default priority.
  RecordingScheduler& scheduler = context_.schedule.scheduler();
  const GuideEventKey& k = e.key;
  ScheduleItem item = MakeEventReservation(scheduler.DefaultDirectory(), k.original_network_id,
                                           k.transport_stream_id, k.service_id, k.event_id, e.title,
                                           UnpackMjdTime(LocalMjdTime()));
  std::tie(item.margin_before, item.margin_after) = scheduler.DefaultMargins();
  scheduler.StoreItem(item, -1);
  ShowReserved();
}

void GuideWindow::ShowReserved() {
  ui_->grid->SetReserved(ReservedNow());
  ShowCurrent();
  UpdateResultMarks();
}

void GuideWindow::UpdateResultMarks() {
  for (size_t i = 0; i < results_.size() && i < static_cast<size_t>(ui_->resultsList->count()); ++i) {
    const QString text = ResultText(results_[i]);
    QListWidgetItem* item = ui_->resultsList->item(static_cast<int>(i));
    if (item->text() != text) item->setText(text);
  }
}

QString GuideWindow::ResultText(const GuideEvent& e) const {
  const guide_text::SearchMark mark = !ui_->grid->IsReserved(e)       ? guide_text::SearchMark::kNone
                                      : ui_->grid->IsReservedByRule(e) ? guide_text::SearchMark::kByRule
                                                                       : guide_text::SearchMark::kByHand;
  return FromBroadcastSjis(guide_text::SearchResultText(e, ServiceName(e.key), mark));
}

void GuideWindow::ReserveByEvent() {
  const auto cell = ui_->grid->current();
  if (!cell || !by_event_) return;
  const GuideEvent e = ui_->grid->model()->event(*cell);
  const GuideEventKey& k = e.key;
  by_event_(k.original_network_id, k.transport_stream_id, k.service_id, k.event_id, e.title);
  ShowReserved();
}

void GuideWindow::ReserveByTime() {
  const auto cell = ui_->grid->current();
  if (!cell || !by_time_) return;
  const GuideEvent e = ui_->grid->model()->event(*cell);
  const MjdTime start{static_cast<uint32_t>(e.start / 86400), static_cast<uint32_t>(e.start % 86400)};
  by_time_(e.key.service_id, start, e.duration, e.title);
  ShowReserved();
}

void GuideWindow::RuleFromProgramme() {
  const auto cell = ui_->grid->current();
  if (!cell || !make_rule_) return;
  const GuideEvent e = ui_->grid->model()->event(*cell);
  make_rule_(pelkan::RuleFromProgramme(e), AiringOf(e));
  ShowReserved();
}

void GuideWindow::RuleFromSearch() {
  const std::string words = ui_->searchEdit->text().trimmed().toStdString();
  if (words.empty() || !make_rule_) return;
  make_rule_(pelkan::RuleFromSearch(words), std::nullopt);
  ShowReserved();
}

void GuideWindow::Search() {
  search_delay_.stop();
  ui_->resultsList->clear();
  results_.clear();
  const std::string words = ui_->searchEdit->text().toStdString();
  if (!OpenStore() || words.find_first_not_of(" \t") == std::string::npos) {
    ui_->resultsLabel->setText(FromSjis(guide_text::SearchResultsLabel(std::nullopt)));
    return;
  }
  results_ = store_->Search(words, kSearchLimit);
  for (const GuideEvent& e : results_) {
    ui_->resultsList->addItem(ResultText(e));
  }
  ui_->resultsLabel->setText(FromSjis(guide_text::SearchResultsLabel(results_.size())));
}

void GuideWindow::ShowResult() {
  const int row = ui_->resultsList->currentRow();
  if (row < 0 || static_cast<size_t>(row) >= results_.size()) return;
  if (const auto cell = model_->Find(results_[static_cast<size_t>(row)].key))
    ui_->grid->SetCurrent(cell, true);
}

}  // namespace pelkan::ui
