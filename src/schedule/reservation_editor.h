#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "base/mjd_time.h"
#include "schedule/schedule_item.h"

namespace pelkan {

class RecordingScheduler;

// Shows the reservation edit dialog. The desktop program opens its modal dialog; tests answer
// with a fake.
class ScheduleEditDialogRunner {
 public:
  virtual ~ScheduleEditDialogRunner() = default;
  // Lets the user edit `*item`; true (and the edited record in `*item`) when the dialog ended
  // with OK, false (and `*item` unchanged) when it was cancelled. UI thread.
  virtual bool RunEditDialog(ScheduleItem* item) = 0;
};

// The three ways into the edit dialog and what happens with its result: a new date-time
// reservation, a new event reservation, the change of a listed one. Only one dialog is open at a
// time. No lock of the scheduler is held while the dialog is open, so packets keep flowing to a
// running recording. UI thread only.
class ReservationEditor {
 public:
  // Local time "now" (packed as LocalMjdTime); the machine's clock when null.
  using LocalClock = std::function<MjdTime()>;

  // `scheduler` and `runner` are not owned and must outlive the editor.
  ReservationEditor(RecordingScheduler& scheduler, ScheduleEditDialogRunner& runner,
                    LocalClock local_now = nullptr);

  // New date-time reservation. With `start` (a programme of the filtering window): limited to
  // `service_id`, from `start` for `duration` seconds; without (the list window's 追加): from the
  // local time now for 30 minutes. It has the scheduler's DefaultMargins. A `title` (Shift-JIS; present even when empty) fixes the file
  // name "YYYYMMDD-HHMM-title". Opens the dialog; on OK stores the reservation (StoreItem, with
  // the overlap question). Returns 1 when the dialog ended with OK (also when the user then
  // refused the overlap), 0 when it was cancelled or a dialog is already open.
  int ReserveByTime(uint16_t service_id, const MjdTime* start, uint32_t duration,
                    std::optional<std::string_view> title);
  // New event reservation of (network id, stream id, service id, event id), limited to that
  // service; its time comes from the programme information once the event is found. `title`
  // (Shift-JIS) gives the file name offered if it is converted into a date-time one. Returns as
  // ReserveByTime.
  int ReserveByEvent(uint16_t network_id, uint16_t stream_id, uint16_t service_id, uint16_t event_id,
                     std::optional<std::string_view> title);
  // Opens the dialog on `*item`; 1 and the edited record in `*item` on OK, 0 otherwise (also when
  // a dialog is already open).
  int EditItem(ScheduleItem* item);

  enum class Change {
    kNotListed,  // `shown` is not in the reservation list (any more): nothing done
    kActive,     // being prepared or recorded, or it left the list (recorded, expired) while the
                 // dialog was open: refused, nothing changed
    kCancelled,  // the dialog was cancelled, or one is already open
    kRefused,    // the user refused the overlap: nothing changed
    kStored,
  };
  // 変更: edits the reservation `shown` (a copy from the list) and stores the result over that
  // same reservation, wherever it stands in the list once the dialog has ended.
  Change ChangeReservation(const ScheduleItem& shown);
  // 削除: the reservation `shown` is deleted (its recording ended, its preparation cancelled; a
  // daily or weekly one continues with its next occurrence). False when it is no longer listed.
  bool DeleteReservation(const ScheduleItem& shown);

  // True while the edit dialog is open.
  bool IsOpen() const { return open_; }

 private:
  int Run(ScheduleItem* item);
  MjdTime Now() const;
  // `item` with the scheduler's margins for new reservations (the options'); a changed reservation
  // keeps its own.
  ScheduleItem WithDefaultMargins(ScheduleItem item);

  RecordingScheduler& scheduler_;
  ScheduleEditDialogRunner& runner_;
  LocalClock local_now_;
  bool open_ = false;
};

}  // namespace pelkan
