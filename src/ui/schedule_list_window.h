#pragma once

#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/rule_names.h"
#include "base/mjd_time.h"
#include "core/user_messages.h"
#include "guide/programme_resolver.h"
#include "output/recording_report.h"
#include "schedule/recording_plan.h"
#include "schedule/reservation_editor.h"
#include "schedule/schedule_edit_form.h"
#include "schedule/schedule_item.h"
#include "ui/tool_window.h"

namespace Ui {
class ScheduleListWindow;
}

namespace pelkan {
class RuleFiles;
class ScheduledCapture;
}

namespace pelkan::ui {

class MessageBoxMessages;

// The reservation list window "録画予約": the reservations or the finished recordings of the
// scheduler, one row each, with 追加, 変更, 削除 and 終了クリア. Each row names its programme and
// service as the guide has them (ProgrammeResolver), with or without a capture; an event
// reservation shows its time from the guide until the broadcast tells it. The reservation view has the column
// "録画予定": what the plan records of each reservation (PlanText); a row that will lose time is
// yellow (part) or red (nothing), with the reservations that take the tuner in its tool tip
// (PlanToolTip). The finished view has instead the column "録画結果" (each recording's drops, errors
// and scrambled packets); "レポートを開く" or a double click opens the selected recording's report. It owns the entry points into the edit dialog
// (ReservationEditor), asks the overlap question for the scheduler and is rebuilt whenever the
// scheduler's lists change. Closing hides it. UI thread only.
class ScheduleListWindow : public ToolWindow, private ScheduleEditDialogRunner {
  Q_OBJECT

 public:
  // What the capture device offers for a reservation, read each time the dialog opens.
  using ChannelSource = std::function<DeviceChannels()>;

  // `capture` (which must outlive the window) drives the scheduler; the window installs itself as
  // its list-change listener and overlap question. Message boxes go to `messages` when given
  // (tests), otherwise to message boxes over this window.
  ScheduleListWindow(ScheduledCapture& capture, ChannelSource channels, UserMessages* messages = nullptr,
                     QWidget* parent = nullptr);
  ~ScheduleListWindow() override;

  // The entry points of the filtering window's programme popup, in the form of its reservation
  // callbacks: a reservation of that programme by time (limited to `service_id`, the name
  // "YYYYMMDD-HHMM-title") or by event id, through the edit dialog. True when the dialog ended
  // with OK; false when cancelled or when a dialog is already open. `title` is Shift-JIS.
  bool ReserveProgrammeByTime(uint16_t service_id, const MjdTime& start, uint32_t duration,
                              std::string_view title);
  bool ReserveProgrammeByEvent(uint16_t network_id, uint16_t stream_id, uint16_t service_id,
                               uint16_t event_id, std::string_view title);
  // The entry points themselves (ReserveByTime, ReserveByEvent, EditItem).
  ReservationEditor& editor() { return editor_; }

  // The overlap question ("録画予約", Yes/No); true for yes. Answered yes at once when the user has
  // just agreed to the reservations an edit makes lose time.
  bool ConfirmOverlap();
  // Reads the programmes of the reservations from the guide `guide_path` (epg.sqlite) and the names
  // of their rules from `rules_path`, also while no capture runs.
  void ReadProgrammesFrom(const std::string& guide_path, const std::string& rules_path);
  // Likewise, the guide read through the program's shared connection in `files` (which outlives
  // the window).
  void ReadProgrammesFrom(RuleFiles& files, const std::string& rules_path);

 public Q_SLOTS:
  // Shows the lists as they are now: both counts in the view buttons, the rows of the chosen list.
  void Rebuild();

 Q_SIGNALS:
  // "録画済み一覧" of the finished view: the recordings window is asked for.
  void recordingsRequested();

 private Q_SLOTS:
  void addReservation();
  void changeReservation();
  void deleteReservation();
  void clearFinished();
  void openReport();
  void viewChanged();
  void updateButtons();
  // Brings the 録画予定 column and the rows' marks up to date with the scheduler's plan (at every
  // rebuild and every few seconds while shown, as followed times move); nothing when it did not
  // change.
  void UpdatePlan();

 private:
  bool RunEditDialog(ScheduleItem* item) override;
  void showEvent(QShowEvent* event) override;
  bool ShowingReservations() const;
  // The shown reservation of the selected row, if one is selected in the reservation view.
  const ScheduleItem* SelectedReservation() const;
  // The tool tip of a length shown as "未定" (how long it is followed); empty for other lengths.
  QString LengthToolTip(const ScheduleItem& item) const;
  // The report of the selected row of the finished view ("" when none).
  std::string SelectedReport() const;
  // The reservations that the edit of `opened` into `edited` makes lose time, named in the overlap
  // question; true when there are none or the user agreed.
  bool AgreeToLosers(const ScheduleItem& opened, const ScheduleItem& edited);

  std::unique_ptr<Ui::ScheduleListWindow> ui_;
  ScheduledCapture& capture_;
  ChannelSource channels_;
  std::unique_ptr<MessageBoxMessages> own_messages_;
  UserMessages* messages_;
  ReservationEditor editor_;
  std::vector<ScheduleItem> shown_;  // the rows, as the lists were at the last rebuild
  std::vector<std::optional<RecordingSummary>> shown_summaries_;  // their recordings' totals
  std::vector<PlanLine> shown_plan_;  // the plan the reservation rows show
  std::vector<bool> shown_stale_;     // the rows whose guide is old ("番組情報が古い")
  std::unique_ptr<ProgrammeResolver> guide_;
  std::unique_ptr<RuleNames> rules_;
  bool agreed_ = false;  // the user agreed to what the edit being stored takes from others
  QTimer plan_refresh_{this};  // a child, so that it can be found by its name
};

}  // namespace pelkan::ui
