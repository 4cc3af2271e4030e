#include "ui/rule_edit_dialog.h"

#include <QCheckBox>
#include <QDate>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidgetItem>

#include "app/rule_desk.h"
#include "base/mjd_time.h"
#include "guide/guide_texts.h"
#include "ui/qt_text.h"
#include "ui_rule_edit_dialog.h"

namespace pelkan::ui {
namespace {

QString Q(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

// The genres of the list: the first levels with a name (0-11), one item each.
constexpr int kNamedGenres = 12;

// A genre as the list's item data: level 1 in the high byte, level 2 (0xFF: any) in the low one.
int GenreData(const RuleGenre& g) {
  return g.level1 << 8 | (g.level2 < 0 ? 0xFF : g.level2);
}
RuleGenre GenreOfData(int data) {
  const int level2 = data & 0xFF;
  return {data >> 8, level2 == 0xFF ? -1 : level2};
}

QDate DateOfMjd(uint32_t mjd) {
  int y = 0, m = 0, d = 0;
  MjdToDate(mjd, &y, &m, &d);
  return QDate(y, m, d);
}
uint32_t MjdOfDate(const QDate& date) {
  return MjdFromDate(date.year(), date.month(), date.day());
}

QCheckBox* WeekdayCheck(const Ui::RuleEditDialog& ui, int day) {
  QCheckBox* const checks[7] = {ui.weekdayCheck0, ui.weekdayCheck1, ui.weekdayCheck2, ui.weekdayCheck3,
                                ui.weekdayCheck4, ui.weekdayCheck5, ui.weekdayCheck6};
  return checks[day];
}

void AddCheckable(QListWidget* list, const QString& text, int data, bool checked) {
  auto* item = new QListWidgetItem(text, list);
  item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  item->setData(Qt::UserRole, data);
}

}  // namespace

RuleEditDialog::RuleEditDialog(const ReservationRule& rule, RuleDesk& desk, UserMessages& messages,
                               QWidget* parent, std::optional<RuleAiring> airing)
    : QDialog(parent),
      ui_(std::make_unique<Ui::RuleEditDialog>()),
      desk_(desk),
      messages_(messages),
      opened_(rule),
      airing_(airing),
      result_(rule) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("ruleEditDialog"));
  ui_->scopeCombo->addItem(U8("番組名"), static_cast<int>(RuleTextScope::kTitle));
  ui_->scopeCombo->addItem(U8("番組名と説明"), static_cast<int>(RuleTextScope::kDescription));
  ui_->scopeCombo->addItem(U8("番組名と説明と詳細"), static_cast<int>(RuleTextScope::kAll));
  ui_->dedupCombo->addItem(U8("同じ回は録画しない"), static_cast<int>(RuleDedup::kEpisode));
  ui_->dedupCombo->addItem(U8("同じ番組名は録画しない"), static_cast<int>(RuleDedup::kTitle));
  ui_->dedupCombo->addItem(U8("重複を判定しない"), static_cast<int>(RuleDedup::kOff));
  // Every column but the verdict as wide as its texts; the verdict takes the rest.
  for (int c = 0; c + 1 < ui_->matchList->columnCount(); ++c)
    ui_->matchList->header()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
  refresh_delay_.setObjectName(QStringLiteral("matchRefreshTimer"));
  refresh_delay_.setSingleShot(true);
  refresh_delay_.setInterval(kRefreshDelayMs);
  connect(&refresh_delay_, &QTimer::timeout, this, &RuleEditDialog::refreshMatches);

  desk_.Refresh();
  Show(FormFromRule(rule));

  for (QLineEdit* e : {ui_->nameEdit, ui_->wordsEdit, ui_->excludeEdit, ui_->regexEdit, ui_->timeWindowEdit,
                       ui_->directoryEdit, ui_->fileTemplateEdit, ui_->memoEdit})
    connect(e, &QLineEdit::textChanged, this, &RuleEditDialog::fieldsChanged);
  for (QComboBox* c : {ui_->scopeCombo, ui_->dedupCombo})
    connect(c, &QComboBox::currentIndexChanged, this, &RuleEditDialog::fieldsChanged);
  for (QSpinBox* s : {ui_->minMinutesSpin, ui_->maxMinutesSpin, ui_->prioritySpin, ui_->marginBeforeSpin,
                      ui_->marginAfterSpin})
    connect(s, &QSpinBox::valueChanged, this, &RuleEditDialog::fieldsChanged);
  for (QCheckBox* c :
       {ui_->enabledCheck, ui_->genresExcludedCheck, ui_->fromCheck, ui_->untilCheck, ui_->freeOnlyCheck})
    connect(c, &QCheckBox::toggled, this, &RuleEditDialog::fieldsChanged);
  for (int d = 0; d < 7; ++d)
    connect(WeekdayCheck(*ui_, d), &QCheckBox::toggled, this, &RuleEditDialog::fieldsChanged);
  for (QDateEdit* e : {ui_->fromDateEdit, ui_->untilDateEdit})
    connect(e, &QDateEdit::dateChanged, this, &RuleEditDialog::fieldsChanged);
  connect(ui_->fromCheck, &QCheckBox::toggled, ui_->fromDateEdit, &QWidget::setEnabled);
  connect(ui_->untilCheck, &QCheckBox::toggled, ui_->untilDateEdit, &QWidget::setEnabled);
  for (QListWidget* l : {ui_->serviceList, ui_->genreList})
    connect(l, &QListWidget::itemChanged, this, &RuleEditDialog::fieldsChanged);
  connect(ui_->matchList, &QTreeWidget::itemSelectionChanged, this, &RuleEditDialog::updateButtons);
  connect(ui_->reserveAnywayButton, &QPushButton::clicked, this, &RuleEditDialog::reserveAnyway);
  ui_->airingCheck->setVisible(airing_.has_value());
  if (airing_) {
    // The airing itself beside the box: "月 20:30-21:30".
    RuleForm only;
    KeepFormToAiring(&only, *airing_, true);
    const QString when = Q(WeekdaysText(airing_->weekdays) + ' ' + only.time_window);
    ui_->airingCheck->setToolTip(when);
    ui_->airingCheck->setAccessibleDescription(when);
    ui_->airingCheck->setChecked(FormKeepsToAiring(Read(), *airing_));
    connect(ui_->airingCheck, &QCheckBox::clicked, this, &RuleEditDialog::keepToAiring);
  }
  ui_->buttonBox->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
  ui_->buttonBox->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  ui_->buttonBox->button(QDialogButtonBox::Cancel)->setText(U8("キャンセル"));
  ui_->buttonBox->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
  connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &RuleEditDialog::accept);
  connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &RuleEditDialog::reject);

  check_ = BuildRule(Read());
  ui_->errorLabel->setText(Q(check_.message));
  refreshMatches();
}

RuleEditDialog::~RuleEditDialog() = default;

void RuleEditDialog::Show(const RuleForm& form) {
  const ReservationRule& r = form.rule;
  ui_->nameEdit->setText(Q(r.name));
  ui_->enabledCheck->setChecked(r.enabled);
  ui_->wordsEdit->setText(Q(form.words));
  ui_->excludeEdit->setText(Q(form.exclude));
  ui_->regexEdit->setText(Q(r.regex));
  ui_->scopeCombo->setCurrentIndex(std::max(0, ui_->scopeCombo->findData(static_cast<int>(r.scope))));

  // The guide's services, and those of the rule the guide does not know (by id).
  ui_->serviceList->clear();
  std::vector<uint16_t> listed;
  for (const GuideService& s : desk_.services()) {
    if (std::find(listed.begin(), listed.end(), s.service_id) != listed.end()) continue;
    listed.push_back(s.service_id);
    const std::string name = desk_.ServiceName(s.service_id);
    const bool checked = std::find(r.services.begin(), r.services.end(), s.service_id) != r.services.end();
    AddCheckable(ui_->serviceList, Q(name.empty() ? std::to_string(s.service_id) : name), s.service_id,
                 checked);
  }
  for (uint16_t id : r.services) {
    if (std::find(listed.begin(), listed.end(), id) == listed.end())
      AddCheckable(ui_->serviceList, Q(std::to_string(id)), id, true);
  }

  // The named genres, then any other genre of the rule ("ドラマ 7.1").
  ui_->genreList->clear();
  for (int g = 0; g < kNamedGenres; ++g) {
    const RuleGenre genre{g, -1};
    const bool checked = std::find(r.genres.begin(), r.genres.end(), genre) != r.genres.end();
    AddCheckable(ui_->genreList, FromSjis(guide_text::GenreGroupName(g)), GenreData(genre), checked);
  }
  for (const RuleGenre& g : r.genres) {
    if (g.level2 < 0 && g.level1 < kNamedGenres) continue;
    AddCheckable(ui_->genreList,
                 FromSjis(guide_text::GenreName(g.level1 << 4)) + QLatin1Char(' ') + Q(GenreText(g)),
                 GenreData(g), true);
  }
  ui_->genresExcludedCheck->setChecked(r.genres_excluded);

  for (int d = 0; d < 7; ++d) WeekdayCheck(*ui_, d)->setChecked((r.weekdays >> d) & 1);
  ui_->timeWindowEdit->setText(Q(form.time_window));
  ui_->minMinutesSpin->setValue(static_cast<int>(r.min_minutes));
  ui_->maxMinutesSpin->setValue(static_cast<int>(r.max_minutes));
  const QDate today = QDate::currentDate();
  ui_->fromCheck->setChecked(r.valid_from != 0);
  ui_->fromDateEdit->setDate(r.valid_from != 0 ? DateOfMjd(r.valid_from) : today);
  ui_->untilCheck->setChecked(r.valid_until != 0);
  ui_->untilDateEdit->setDate(r.valid_until != 0 ? DateOfMjd(r.valid_until) : today);
  ui_->fromDateEdit->setEnabled(r.valid_from != 0);
  ui_->untilDateEdit->setEnabled(r.valid_until != 0);
  ui_->freeOnlyCheck->setChecked(r.free_only);

  ui_->prioritySpin->setValue(r.priority);
  ui_->marginBeforeSpin->setValue(r.margin_before);
  ui_->marginAfterSpin->setValue(r.margin_after);
  ui_->dedupCombo->setCurrentIndex(std::max(0, ui_->dedupCombo->findData(static_cast<int>(r.dedup))));
  ui_->directoryEdit->setText(Q(r.directory));
  ui_->fileTemplateEdit->setText(Q(r.file_template));
  ui_->memoEdit->setText(Q(r.memo));
  updateButtons();
}

RuleForm RuleEditDialog::Read() const {
  RuleForm form;
  ReservationRule& r = form.rule;
  r.id = opened_.id;
  r.name = ui_->nameEdit->text().toStdString();
  r.enabled = ui_->enabledCheck->isChecked();
  form.words = ui_->wordsEdit->text().toStdString();
  form.exclude = ui_->excludeEdit->text().toStdString();
  r.regex = ui_->regexEdit->text().toStdString();
  r.scope = static_cast<RuleTextScope>(ui_->scopeCombo->currentData().toInt());
  for (int i = 0; i < ui_->serviceList->count(); ++i) {
    const QListWidgetItem* item = ui_->serviceList->item(i);
    if (item->checkState() == Qt::Checked)
      r.services.push_back(static_cast<uint16_t>(item->data(Qt::UserRole).toInt()));
  }
  for (int i = 0; i < ui_->genreList->count(); ++i) {
    const QListWidgetItem* item = ui_->genreList->item(i);
    if (item->checkState() == Qt::Checked) r.genres.push_back(GenreOfData(item->data(Qt::UserRole).toInt()));
  }
  r.genres_excluded = ui_->genresExcludedCheck->isChecked();
  r.weekdays = 0;
  for (int d = 0; d < 7; ++d) {
    if (WeekdayCheck(*ui_, d)->isChecked()) r.weekdays = static_cast<uint8_t>(r.weekdays | 1u << d);
  }
  form.time_window = ui_->timeWindowEdit->text().toStdString();
  r.min_minutes = static_cast<uint32_t>(ui_->minMinutesSpin->value());
  r.max_minutes = static_cast<uint32_t>(ui_->maxMinutesSpin->value());
  r.valid_from = ui_->fromCheck->isChecked() ? MjdOfDate(ui_->fromDateEdit->date()) : 0;
  r.valid_until = ui_->untilCheck->isChecked() ? MjdOfDate(ui_->untilDateEdit->date()) : 0;
  r.free_only = ui_->freeOnlyCheck->isChecked();
  r.priority = static_cast<uint8_t>(ui_->prioritySpin->value());
  r.margin_before = static_cast<uint16_t>(ui_->marginBeforeSpin->value());
  r.margin_after = static_cast<uint16_t>(ui_->marginAfterSpin->value());
  r.dedup = static_cast<RuleDedup>(ui_->dedupCombo->currentData().toInt());
  r.directory = ui_->directoryEdit->text().toStdString();
  r.file_template = ui_->fileTemplateEdit->text().toStdString();
  r.memo = ui_->memoEdit->text().toStdString();
  return form;
}

void RuleEditDialog::keepToAiring(bool only) {
  if (!airing_) return;
  RuleForm form = Read();
  KeepFormToAiring(&form, *airing_, only);
  for (int d = 0; d < 7; ++d) WeekdayCheck(*ui_, d)->setChecked((form.rule.weekdays >> d) & 1);
  ui_->timeWindowEdit->setText(Q(form.time_window));
  fieldsChanged();
}

void RuleEditDialog::fieldsChanged() {
  if (airing_) ui_->airingCheck->setChecked(FormKeepsToAiring(Read(), *airing_));
  check_ = BuildRule(Read());
  ui_->errorLabel->setText(Q(check_.message));
  updateButtons();
  refresh_delay_.start();
}

void RuleEditDialog::refreshMatches() {
  refresh_delay_.stop();
  // The previous rows point into the programmes a refresh may replace: they go first.
  ui_->matchList->clear();
  matches_.clear();
  desk_.Refresh();
  if (check_.rule) matches_ = desk_.Test(*check_.rule);
  const ServiceNameFn names = desk_.NameFn();
  const StaleFn stale = desk_.StaleNow();
  int reserved = 0;
  for (size_t i = 0; i < matches_.size(); ++i) {
    const RuleMatchRow row = RuleMatchRowOf(matches_[i], names, stale);
    auto* item = new QTreeWidgetItem({Q(row.when), Q(row.service), Q(row.title), Q(row.verdict)});
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    if (row.suppressed) {
      // Not reserved: struck through, the reason in the verdict column.
      QFont font = item->font(0);
      font.setStrikeOut(true);
      for (int c = 0; c < ui_->matchList->columnCount(); ++c) {
        item->setFont(c, font);
        item->setForeground(c, palette().brush(QPalette::Disabled, QPalette::Text));
      }
    } else {
      ++reserved;
    }
    ui_->matchList->addTopLevelItem(item);
  }
  ui_->matchCountLabel->setText(check_.rule ? U8("%1件 (予約 %2件)").arg(matches_.size()).arg(reserved)
                                            : QString());
  updateButtons();
}

const RuleMatch* RuleEditDialog::SelectedMatch() const {
  const QList<QTreeWidgetItem*> items = ui_->matchList->selectedItems();
  if (items.isEmpty()) return nullptr;
  const int i = items.first()->data(0, Qt::UserRole).toInt();
  if (i < 0 || static_cast<size_t>(i) >= matches_.size()) return nullptr;
  return &matches_[static_cast<size_t>(i)];
}

void RuleEditDialog::updateButtons() {
  ui_->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(check_.rule.has_value());
  // "この回も録画" marks the programme for a stored rule: a new rule has no id yet.
  const RuleMatch* m = SelectedMatch();
  ui_->reserveAnywayButton->setEnabled(m != nullptr && IsSuppressed(m->verdict) && opened_.id != 0 &&
                                       check_.rule.has_value() && !refresh_delay_.isActive());
}

void RuleEditDialog::reserveAnyway() {
  const RuleMatch* m = SelectedMatch();
  if (m == nullptr || !check_.rule || opened_.id == 0) return;
  const GuideEvent event = *m->event;
  if (!desk_.ReserveAnyway(*check_.rule, event))
    messages_.Notify(platform::Utf8ToSjis(rule_text::kReserveFailed),
                     platform::Utf8ToSjis(rule_text::kCaption));
  refreshMatches();
}

void RuleEditDialog::accept() {
  check_ = BuildRule(Read());
  if (!check_.rule) {
    ui_->errorLabel->setText(Q(check_.message));
    return;
  }
  result_ = *check_.rule;
  QDialog::accept();
}

}  // namespace pelkan::ui
