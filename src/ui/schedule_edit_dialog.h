#pragma once

#include <QDialog>
#include <QTime>
#include <memory>
#include <string_view>

#include "base/mjd_time.h"
#include "guide/guide_event.h"
#include "core/user_messages.h"
#include "schedule/schedule_edit_form.h"
#include "schedule/schedule_item.h"

namespace Ui {
class ScheduleEditDialog;
}

namespace pelkan::ui {

// The reservation edit dialog "録画予約編集": shows one reservation, lets the user change it and on
// OK hands back the record built from the controls, or refuses with the reason's message box and
// stays open. The rules and texts are those of schedule/schedule_edit_form.h; this class only binds
// widgets to them. Modal (application-wide); UI thread.
class ScheduleEditDialog : public QDialog {
  Q_OBJECT

 public:
  // `item` is the reservation shown; `device` what the capture device offers; refusals go to
  // `messages` (which must outlive the dialog); `now` is the local time.
  ScheduleEditDialog(const ScheduleItem& item, DeviceChannels device, UserMessages& messages,
                     QWidget* parent = nullptr, MjdTime now = UnpackMjdTime(LocalMjdTime()));
  ~ScheduleEditDialog() override;

  // The tool tip of the duration while it shows "未定" (how long the event is followed).
  void SetLengthToolTip(const QString& tip);
  // Shows the programme the reservation is for above the controls: its title with the broadcast's
  // symbols, then its service, start - end and genre (texts Shift-JIS, as the guide keeps them).
  void ShowProgramme(const GuideEvent& e, std::string_view service_name);

  // The record built at OK; the opened one before.
  const ScheduleItem& item() const { return result_; }

 public Q_SLOTS:
  // OK: builds the record; refused input shows its message and keeps the dialog open.
  void accept() override;

 private Q_SLOTS:
  // "日付指定タイプに変換".
  void convert();

 private:
  void Show(const ScheduleEditForm& form);
  ScheduleEditForm Read() const;

  std::unique_ptr<Ui::ScheduleEditDialog> ui_;
  ScheduleItem opened_;
  ScheduleItem result_;
  DeviceChannels device_;
  UserMessages& messages_;
  ScheduleEditForm form_;  // what Show last put on screen
  QTime shown_duration_;   // the duration picker's value as shown
  QString length_tip_;
};

}  // namespace pelkan::ui
