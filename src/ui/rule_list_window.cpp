#include "ui/rule_list_window.h"

#include <QHeaderView>
#include <QTableWidgetItem>
#include <algorithm>

#include "app/rule_window_rules.h"
#include "platform/text_codec.h"
#include "ui/qt_text.h"
#include "ui/rule_edit_dialog.h"
#include "ui_rule_list_window.h"

namespace pelkan::ui {
namespace {

// Columns 名前, キーワード, サービス, 次の予約, 予約数 and their least widths.
constexpr int kColumns = 5;
constexpr int kColumnWidths[kColumns] = {140, 160, 140, 260, 60};

std::string Sjis(std::string_view utf8) {
  return platform::Utf8ToSjis(utf8);
}

}  // namespace

RuleListWindow::RuleListWindow(RecordingScheduler& scheduler, RuleFiles& files, RuleDesk::NowFn now,
                               std::function<void()> run_rules, UserMessages& messages, QWidget* parent)
    : ToolWindow(parent),
      ui_(std::make_unique<Ui::RuleListWindow>()),
      desk_(scheduler, files, std::move(now)),
      run_rules_(std::move(run_rules)),
      messages_(messages) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("ruleListWindow"));
  QHeaderView* header = ui_->ruleList->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  for (int c = 0; c < kColumns; ++c) ui_->ruleList->setColumnWidth(c, kColumnWidths[c]);
  WidenToShowColumns(ui_->ruleList);
  refresh_.setObjectName(QStringLiteral("ruleRefreshTimer"));
  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &RuleListWindow::Refresh);

  connect(ui_->addButton, &QPushButton::clicked, this, &RuleListWindow::addRule);
  connect(ui_->changeButton, &QPushButton::clicked, this, &RuleListWindow::changeRule);
  connect(ui_->deleteButton, &QPushButton::clicked, this, &RuleListWindow::deleteRule);
  connect(ui_->enableButton, &QPushButton::clicked, this, &RuleListWindow::toggleRule);
  connect(ui_->ruleList, &QTableWidget::cellDoubleClicked, this, &RuleListWindow::changeRule);
  connect(ui_->ruleList, &QTableWidget::itemSelectionChanged, this, &RuleListWindow::updateButtons);
  updateButtons();
}

RuleListWindow::~RuleListWindow() = default;

void RuleListWindow::showEvent(QShowEvent* event) {
  ToolWindow::showEvent(event);
  desk_.Refresh(true);
  Rebuild();
  refresh_.start();
}

void RuleListWindow::Refresh() {
  if (!isVisible()) {
    refresh_.stop();
    return;
  }
  if (!editing_ && desk_.Refresh()) Rebuild();
}

void RuleListWindow::Rebuild() {
  const uint32_t selected = SelectedRule() != nullptr ? SelectedRule()->id : 0;
  shown_ = desk_.Rules();
  QTableWidget* list = ui_->ruleList;
  list->setRowCount(0);
  list->setRowCount(static_cast<int>(shown_.size()));
  const ServiceNameFn names = desk_.NameFn();
  for (size_t i = 0; i < shown_.size(); ++i) {
    const ReservationRule& rule = shown_[i];
    const std::vector<RuleMatch> matches = rule.enabled ? desk_.Test(rule) : std::vector<RuleMatch>{};
    const RuleRow row = RuleRowOf(rule, matches, desk_.ReservationsOf(rule.id), names);
    const std::string cells[kColumns] = {row.name, row.words, row.services, row.next, row.count};
    for (int c = 0; c < kColumns; ++c) {
      auto* cell = new QTableWidgetItem(QString::fromStdString(cells[c]));
      // A disabled rule is shown greyed.
      if (!rule.enabled) cell->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
      if (c == kColumns - 1) cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      list->setItem(static_cast<int>(i), c, cell);
    }
    if (rule.id == selected) list->selectRow(static_cast<int>(i));
  }
  for (int c = 0; c + 1 < kColumns; ++c) {
    list->resizeColumnToContents(c);
    list->setColumnWidth(c, std::max(list->columnWidth(c) + 8, kColumnWidths[c]));
  }
  updateButtons();
}

const ReservationRule* RuleListWindow::SelectedRule() const {
  const QList<QTableWidgetItem*> items = ui_->ruleList->selectedItems();
  if (items.isEmpty()) return nullptr;
  const int row = items.first()->row();
  if (row < 0 || static_cast<size_t>(row) >= shown_.size()) return nullptr;
  return &shown_[static_cast<size_t>(row)];
}

void RuleListWindow::updateButtons() {
  const bool selected = SelectedRule() != nullptr;
  ui_->changeButton->setEnabled(selected);
  ui_->deleteButton->setEnabled(selected);
  ui_->enableButton->setEnabled(selected);
}

bool RuleListWindow::RunDialog(ReservationRule* rule, std::optional<RuleAiring> airing) {
  editing_ = true;
  RuleEditDialog dialog(*rule, desk_, messages_, this, airing);
  const bool ok = dialog.exec() == QDialog::Accepted;
  editing_ = false;
  if (ok) *rule = dialog.rule();
  return ok;
}

void RuleListWindow::Store(const ReservationRule& rule) {
  const uint32_t id = desk_.Save(rule);
  if (id == 0) {
    messages_.Notify(Sjis(rule_text::kSaveFailed), Sjis(rule_text::kCaption));
    return;
  }
  if (run_rules_) run_rules_();
  Rebuild();
  for (size_t i = 0; i < shown_.size(); ++i) {
    if (shown_[i].id == id) ui_->ruleList->selectRow(static_cast<int>(i));
  }
}

bool RuleListWindow::AddRule(const ReservationRule& rule, std::optional<RuleAiring> airing) {
  show();
  raise();
  ReservationRule edited = rule;
  edited.id = 0;
  if (!RunDialog(&edited, airing)) return false;
  Store(edited);
  return true;
}

void RuleListWindow::addRule() {
  AddRule(ReservationRule{});
}

void RuleListWindow::changeRule() {
  const ReservationRule* shown = SelectedRule();
  if (shown == nullptr) return;
  ReservationRule rule = *shown;
  if (RunDialog(&rule)) Store(rule);
}

void RuleListWindow::toggleRule() {
  const ReservationRule* shown = SelectedRule();
  if (shown == nullptr) return;
  ReservationRule rule = *shown;
  rule.enabled = !rule.enabled;
  Store(rule);
}

void RuleListWindow::deleteRule() {
  const ReservationRule* shown = SelectedRule();
  if (shown == nullptr) return;
  const ReservationRule rule = *shown;
  const bool reservations =
      messages_.Ask(Sjis(rule_text::DeleteQuestion(rule.name)), Sjis(rule_text::kCaption));
  if (!desk_.Remove(rule.id, reservations))
    messages_.Notify(Sjis(rule_text::kLockFailed), Sjis(rule_text::kCaption));
  Rebuild();
}

}  // namespace pelkan::ui
