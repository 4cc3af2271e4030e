#include "ui/schedule_edit_dialog.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "guide/guide_texts.h"
#include "schedule/schedule_texts.h"
#include "ui/qt_text.h"
#include "ui_schedule_edit_dialog.h"

namespace pelkan::ui {
namespace {

QString Q(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

QTime TimeOfSeconds(uint32_t seconds) {
  return QTime(0, 0).addSecs(static_cast<int>(seconds % 86400));
}

uint32_t SecondsOf(const QTime& t) {
  return static_cast<uint32_t>(t.hour() * 3600 + t.minute() * 60 + t.second());
}

// The date range the reservation file holds: day numbers 1 to 65535.
const QDate kFirstDate(1858, 11, 18);
const QDate kLastDate(2038, 4, 22);

// Width range of the file name field, in pixels.
constexpr int kFileNameMinWidth = 240;
constexpr int kFileNameMaxWidth = 640;

}  // namespace

ScheduleEditDialog::ScheduleEditDialog(const ScheduleItem& item, DeviceChannels device,
                                       UserMessages& messages, QWidget* parent, MjdTime now)
    : QDialog(parent),
      ui_(std::make_unique<Ui::ScheduleEditDialog>()),
      opened_(item),
      result_(item),
      device_(std::move(device)),
      messages_(messages) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("scheduleEditDialog"));
  ui_->typeCombo->addItem(U8("日時指定"), kEditTypeTime);
  ui_->typeCombo->addItem(U8("イベント指定"), kEditTypeEvent);
  ui_->afterEndCombo->addItem(U8("予約削除"), kAfterEndDelete);
  ui_->afterEndCombo->addItem(U8("翌日の同じ時間帯に予約"), kAfterEndDaily);
  ui_->afterEndCombo->addItem(U8("翌週の同じ時間帯に予約"), kAfterEndWeekly);
  ui_->dateEdit->setDateRange(kFirstDate, kLastDate);
  connect(ui_->convertButton, &QPushButton::clicked, this, &ScheduleEditDialog::convert);
  Show(FormFromItem(item, device_, now));
  // The dialog opens on OK, not in the first field (for an event reservation, its hex id).
  ui_->okButton->setFocus(Qt::OtherFocusReason);
}

void ScheduleEditDialog::ShowProgramme(const GuideEvent& e, std::string_view service_name) {
  QFont bold = ui_->programmeTitleValue->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  ui_->programmeTitleValue->setFont(bold);
  ui_->programmeTitleValue->setText(FromBroadcastSjis(e.title));
  ui_->programmeLineValue->setText(FromBroadcastSjis(guide_text::HeadingLine(e, service_name)));
  ui_->programmeFrame->setAccessibleName(ui_->programmeTitleValue->text());
  ui_->programmeFrame->setAccessibleDescription(ui_->programmeLineValue->text());
  ui_->programmeFrame->setVisible(true);
}

ScheduleEditDialog::~ScheduleEditDialog() = default;

void ScheduleEditDialog::Show(const ScheduleEditForm& form) {
  form_ = form;
  ui_->typeCombo->setCurrentIndex(ui_->typeCombo->findData(form.type));

  ui_->dateEdit->setDisplayFormat(U8("yyyy年MM月dd日"));
  ui_->timeEdit->setDisplayFormat(U8("HH時mm分ss秒"));
  ui_->durationEdit->setDisplayFormat(U8("HH時間mm分ss秒"));
  shown_duration_ = TimeOfSeconds(ShownDuration(form));
  const QString unknown = form.start_known ? QString() : U8("指定なし");
  for (QDateTimeEdit* e :
       {static_cast<QDateTimeEdit*>(ui_->dateEdit), static_cast<QDateTimeEdit*>(ui_->timeEdit),
        static_cast<QDateTimeEdit*>(ui_->durationEdit)}) {
    // A picker at its minimum shows the special text instead of the value.
    e->setSpecialValueText(unknown);
  }
  if (form.start_known) {
    ui_->dateEdit->setDate(QDate(form.year, form.month, form.day));
    ui_->timeEdit->setTime(TimeOfSeconds(form.start_second));
    ui_->durationEdit->setTime(shown_duration_);
    if (form.length_undetermined) {
      ui_->durationEdit->setSpecialValueText(FromSjis(UndeterminedLengthText()));
      ui_->durationEdit->setTime(ui_->durationEdit->minimumTime());
      shown_duration_ = ui_->durationEdit->time();
    }
  } else {
    ui_->dateEdit->setDate(ui_->dateEdit->minimumDate());
    ui_->timeEdit->setTime(ui_->timeEdit->minimumTime());
    ui_->durationEdit->setTime(ui_->durationEdit->minimumTime());
    shown_duration_ = ui_->durationEdit->time();
  }

  ui_->durationEdit->setToolTip(form.length_undetermined ? length_tip_ : QString());

  ui_->channelCombo->clear();
  for (const ChannelChoice& c : form.channel_entries) ui_->channelCombo->addItem(Q(c.name), c.value);
  ui_->channelCombo->setCurrentIndex(std::max(0, ui_->channelCombo->findData(form.channel)));
  ui_->channelStringEdit->setText(Q(form.channel_string));
  ui_->serviceLimitCheck->setChecked(form.service_limit);
  ui_->serviceIdEdit->setText(Q(form.service_id_text));
  ui_->afterEndCombo->setCurrentIndex(std::max(0, ui_->afterEndCombo->findData(form.after_end)));
  ui_->networkIdsEdit->setText(Q(form.network_ids));
  ui_->eventIdEdit->setText(Q(form.event_id));
  ui_->directoryEdit->setText(Q(form.directory));
  ui_->fileNameCheck->setChecked(form.file_name_flag);
  ui_->fileNameEdit->setText(Q(form.file_name));
  // Wide enough for the name it opens with (one made from a long programme title), within reason.
  const QFontMetrics metrics(ui_->fileNameEdit->font());
  const int name_width =
      metrics.horizontalAdvance(ui_->fileNameEdit->text()) + 2 * metrics.horizontalAdvance('M');
  ui_->fileNameEdit->setMinimumWidth(std::clamp(name_width, kFileNameMinWidth, kFileNameMaxWidth));
  ui_->extensionEdit->setText(Q(form.extension));
  ui_->marginBeforeSpin->setRange(0, kMaxMarginSeconds);
  ui_->marginAfterSpin->setRange(0, kMaxMarginSeconds);
  ui_->prioritySpin->setRange(kMinPriority, kMaxPriority);
  ui_->marginBeforeSpin->setValue(form.margin_before);
  ui_->marginAfterSpin->setValue(form.margin_after);
  ui_->prioritySpin->setValue(form.priority);

  const ScheduleEditEnabled& e = form.enabled;
  ui_->dateEdit->setEnabled(e.start);
  ui_->timeEdit->setEnabled(e.start);
  ui_->durationEdit->setEnabled(e.duration);
  ui_->channelCombo->setEnabled(e.channel);
  ui_->channelStringEdit->setEnabled(e.channel_string);
  ui_->serviceLimitCheck->setEnabled(e.service_limit);
  ui_->serviceIdEdit->setEnabled(e.service_limit);
  ui_->afterEndCombo->setEnabled(e.after_end);
  ui_->eventIdEdit->setEnabled(e.event_id);
  ui_->convertButton->setEnabled(e.convert);
  ui_->directoryEdit->setEnabled(e.output);
  ui_->fileNameCheck->setEnabled(e.output);
  ui_->fileNameEdit->setEnabled(e.output);
  ui_->extensionEdit->setEnabled(e.output);
  ui_->marginGroup->setEnabled(e.margins);
  ui_->prioritySpin->setEnabled(e.margins);
}

ScheduleEditForm ScheduleEditDialog::Read() const {
  ScheduleEditForm f = form_;
  f.type = ui_->typeCombo->currentIndex() < 0 ? kEditTypeNone : ui_->typeCombo->currentData().toInt();
  const QDate date = ui_->dateEdit->date();
  f.year = date.year();
  f.month = date.month();
  f.day = date.day();
  f.start_second = SecondsOf(ui_->timeEdit->time());
  // A duration longer than the picker can show stays as it was unless the user changes it.
  if (ui_->durationEdit->time() != shown_duration_) f.duration = SecondsOf(ui_->durationEdit->time());
  f.channel = ui_->channelCombo->currentIndex() < 0 ? -1 : ui_->channelCombo->currentData().toInt();
  f.channel_string = ui_->channelStringEdit->text().toStdString();
  f.service_limit = ui_->serviceLimitCheck->isChecked();
  f.service_id_text = ui_->serviceIdEdit->text().toStdString();
  f.after_end = ui_->afterEndCombo->currentData().toInt();
  f.event_id = ui_->eventIdEdit->text().toStdString();
  f.directory = ui_->directoryEdit->text().toStdString();
  f.file_name_flag = ui_->fileNameCheck->isChecked();
  f.file_name = ui_->fileNameEdit->text().toStdString();
  f.extension = ui_->extensionEdit->text().toStdString();
  f.margin_before = ui_->marginBeforeSpin->value();
  f.margin_after = ui_->marginAfterSpin->value();
  f.priority = ui_->prioritySpin->value();
  return f;
}

void ScheduleEditDialog::SetLengthToolTip(const QString& tip) {
  length_tip_ = tip;
  ui_->durationEdit->setToolTip(form_.length_undetermined ? length_tip_ : QString());
}

void ScheduleEditDialog::convert() {
  ScheduleEditForm form = Read();
  if (ConvertToTimeReservation(&form, device_)) Show(form);
}

void ScheduleEditDialog::accept() {
  const ScheduleEditResult r = BuildScheduleItem(Read(), opened_, device_);
  if (!r.item) {
    if (!r.message.empty()) messages_.Notify(r.message, std::string());
    QLineEdit* field = nullptr;
    switch (r.field) {
      case EditField::kDirectory:
        field = ui_->directoryEdit;
        break;
      case EditField::kFileName:
        field = ui_->fileNameEdit;
        break;
      case EditField::kExtension:
        field = ui_->extensionEdit;
        break;
      case EditField::kEventId:
        field = ui_->eventIdEdit;
        break;
      case EditField::kNone:
        break;
    }
    if (field != nullptr && field->isEnabled()) {
      field->setFocus();
      field->selectAll();
    }
    return;
  }
  result_ = *r.item;
  QDialog::accept();
}

}  // namespace pelkan::ui
