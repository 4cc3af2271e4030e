#include "ui/options_dialog.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>

#include "app/options_rules.h"
#include "core/status_text.h"
#include "platform/file_system.h"
#include "ui/qt_text.h"
#include "ui_options_dialog.h"

namespace pelkan::ui {

OptionsDialog::OptionsDialog(const Settings& settings, UserMessages& messages, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::OptionsDialog>()), settings_(settings), messages_(messages) {
  ui_->setupUi(this);
  setWindowModality(Qt::ApplicationModal);
  ui_->buttonBox->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
  ui_->buttonBox->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  ui_->buttonBox->button(QDialogButtonBox::Cancel)->setText(U8("キャンセル"));
  ui_->buttonBox->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
  connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  // Digits only; whether the number is in range is the OK button's check.
  ui_->timerPeriodEdit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), ui_->timerPeriodEdit));

  const OptionsForm form = OptionsFormFrom(settings_);
  ui_->timerPeriodEdit->setText(QString::fromStdString(form.timer_period));
  ui_->timerResolutionValue->setText(FromSjis(TimerResolutionText(platform::SystemTimerResolutionMs())));
  ui_->timerRangeValue->setText(
      FromSjis(TimerRangeText(platform::kTimerPeriodMin, platform::kTimerPeriodMax)));
  QComboBox* lists[] = {ui_->requestPriorityCombo, ui_->receivePriorityCombo, ui_->processPriorityCombo};
  const int chosen[] = {form.priority_rec, form.priority_res, form.priority_proc};
  for (int i = 0; i < 3; ++i) {
    for (const PriorityChoice& c : kPriorityChoices) lists[i]->addItem(FromSjis(c.name), c.value);
    lists[i]->setCurrentIndex(chosen[i]);
    lists[i]->setEnabled(false);  // stored, not applied
  }
  ui_->autoPathEdit->setText(QString::fromStdString(form.auto_path));
  ui_->httpAddressEdit->setText(QString::fromStdString(form.http_address));
  ui_->recEndCommandEdit->setText(QString::fromStdString(form.rec_end_command));
  ui_->playerCommandEdit->setText(QString::fromStdString(form.player_command));
  // The check boxes and spin boxes of the keys that name them, the spin boxes held to the keys' ranges.
  for (const SettingKey& k : SettingKeys()) {
    if (k.control == nullptr) continue;
    const int32_t value = form.values.at(k.name);
    if (k.type == SettingType::kFlag) {
      if (auto* box = findChild<QCheckBox*>(QString::fromLatin1(k.control))) box->setChecked(value != 0);
    } else if (auto* spin = findChild<QSpinBox*>(QString::fromLatin1(k.control))) {
      spin->setRange(k.min, k.max);
      spin->setValue(value);
    }
  }
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::accept() {
  OptionsForm form;
  form.timer_period = ui_->timerPeriodEdit->text().toStdString();
  form.priority_rec = ui_->requestPriorityCombo->currentIndex();
  form.priority_res = ui_->receivePriorityCombo->currentIndex();
  form.priority_proc = ui_->processPriorityCombo->currentIndex();
  form.auto_path = ui_->autoPathEdit->text().toStdString();
  form.http_address = ui_->httpAddressEdit->text().toStdString();
  form.rec_end_command = ui_->recEndCommandEdit->text().toStdString();
  form.player_command = ui_->playerCommandEdit->text().toStdString();
  for (const SettingKey& k : SettingKeys()) {
    if (k.control == nullptr) continue;
    if (k.type == SettingType::kFlag) {
      if (auto* box = findChild<QCheckBox*>(QString::fromLatin1(k.control)))
        form.values[k.name] = box->isChecked() ? 1 : 0;
    } else if (auto* spin = findChild<QSpinBox*>(QString::fromLatin1(k.control))) {
      form.values[k.name] = spin->value();
    }
  }
  const std::string refusal = ApplyOptionsForm(form, &settings_);
  if (!refusal.empty()) {
    messages_.Notify(refusal, status_text::kCaptionApp);
    return;
  }
  QDialog::accept();
}

}  // namespace pelkan::ui
