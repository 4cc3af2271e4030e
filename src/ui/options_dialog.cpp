#include "ui/options_dialog.h"

#include <QPushButton>
#include <QRegularExpressionValidator>

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
  ui_->autoFileNameCheck->setChecked(form.auto_file_name);
  ui_->autoPathEdit->setText(QString::fromStdString(form.auto_path));
  ui_->decodePsiCheck->setChecked(form.decode_psi);
  ui_->procEpgCheck->setChecked(form.proc_epg);
  ui_->systemTimeCheck->setChecked(form.schedule_system_time);
  ui_->marginBeforeSpin->setRange(0, kScheduleMarginMax);
  ui_->marginAfterSpin->setRange(0, kScheduleMarginMax);
  ui_->followLimitSpin->setRange(0, kScheduleFollowLimitMax);
  ui_->marginBeforeSpin->setValue(form.margin_before);
  ui_->marginAfterSpin->setValue(form.margin_after);
  ui_->followLimitSpin->setValue(form.follow_limit);
  ui_->httpEnabledCheck->setChecked(form.http_enabled);
  ui_->httpAddressEdit->setText(QString::fromStdString(form.http_address));
  ui_->httpPortSpin->setRange(1, kHttpPortMax);
  ui_->httpPortSpin->setValue(form.http_port);
  ui_->recEndCommandEdit->setText(QString::fromStdString(form.rec_end_command));
  ui_->notifyFinishedCheck->setChecked(form.notify_finished);
  ui_->wakeAlarmCheck->setChecked(form.wake_alarm);
  ui_->wakeLeadSpin->setRange(0, kWakeLeadMax);
  ui_->wakeLeadSpin->setValue(form.wake_lead);
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::accept() {
  OptionsForm form;
  form.timer_period = ui_->timerPeriodEdit->text().toStdString();
  form.priority_rec = ui_->requestPriorityCombo->currentIndex();
  form.priority_res = ui_->receivePriorityCombo->currentIndex();
  form.priority_proc = ui_->processPriorityCombo->currentIndex();
  form.auto_file_name = ui_->autoFileNameCheck->isChecked();
  form.auto_path = ui_->autoPathEdit->text().toStdString();
  form.decode_psi = ui_->decodePsiCheck->isChecked();
  form.proc_epg = ui_->procEpgCheck->isChecked();
  form.schedule_system_time = ui_->systemTimeCheck->isChecked();
  form.margin_before = ui_->marginBeforeSpin->value();
  form.margin_after = ui_->marginAfterSpin->value();
  form.follow_limit = ui_->followLimitSpin->value();
  form.http_enabled = ui_->httpEnabledCheck->isChecked();
  form.http_address = ui_->httpAddressEdit->text().toStdString();
  form.http_port = ui_->httpPortSpin->value();
  form.rec_end_command = ui_->recEndCommandEdit->text().toStdString();
  form.notify_finished = ui_->notifyFinishedCheck->isChecked();
  form.wake_alarm = ui_->wakeAlarmCheck->isChecked();
  form.wake_lead = ui_->wakeLeadSpin->value();
  const std::string refusal = ApplyOptionsForm(form, &settings_);
  if (!refusal.empty()) {
    messages_.Notify(refusal, status_text::kCaptionApp);
    return;
  }
  QDialog::accept();
}

}  // namespace pelkan::ui
