#include "schedule/reservation_editor.h"

#include <tuple>

#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"

namespace pelkan {

ReservationEditor::ReservationEditor(RecordingScheduler& scheduler, ScheduleEditDialogRunner& runner,
                                     LocalClock local_now)
    : scheduler_(scheduler), runner_(runner), local_now_(std::move(local_now)) {}

MjdTime ReservationEditor::Now() const {
  return local_now_ ? local_now_() : UnpackMjdTime(LocalMjdTime());
}

ScheduleItem ReservationEditor::WithDefaultMargins(ScheduleItem item) {
  std::tie(item.margin_before, item.margin_after) = scheduler_.DefaultMargins();
  return item;
}

int ReservationEditor::Run(ScheduleItem* item) {
  if (open_) return 0;
  open_ = true;
  const bool ok = runner_.RunEditDialog(item);
  open_ = false;
  return ok ? 1 : 0;
}

int ReservationEditor::ReserveByTime(uint16_t service_id, const MjdTime* start, uint32_t duration,
                                     std::optional<std::string_view> title) {
  if (open_) return 0;
  ScheduleItem item = WithDefaultMargins(
      MakeTimeReservation(scheduler_.DefaultDirectory(), service_id, start, duration, title, Now()));
  if (!Run(&item)) return 0;
  scheduler_.StoreItem(item, -1);
  return 1;
}

int ReservationEditor::ReserveByEvent(uint16_t network_id, uint16_t stream_id, uint16_t service_id,
                                      uint16_t event_id, std::optional<std::string_view> title) {
  if (open_) return 0;
  ScheduleItem item = WithDefaultMargins(MakeEventReservation(scheduler_.DefaultDirectory(), network_id,
                                                              stream_id, service_id, event_id, title, Now()));
  if (!Run(&item)) return 0;
  scheduler_.StoreItem(item, -1);
  return 1;
}

int ReservationEditor::EditItem(ScheduleItem* item) {
  return Run(item);
}

ReservationEditor::Change ReservationEditor::ChangeReservation(const ScheduleItem& shown) {
  const int index = scheduler_.FindItem(shown);
  if (index < 0) return Change::kNotListed;
  if (scheduler_.IsActiveItem(index)) return Change::kActive;
  const ScheduleItem original = scheduler_.Reservations().at(static_cast<size_t>(index));
  ScheduleItem edited = original;
  if (!Run(&edited)) return Change::kCancelled;
  // Ticks went on while the dialog was open: the reservation may have moved in the list, been
  // prepared or retired. It is looked up again; never is another entry overwritten.
  switch (scheduler_.ReplaceItem(original, edited)) {
    case 1:
      return Change::kStored;
    case 0:
      return Change::kRefused;
    default:
      return Change::kActive;
  }
}

bool ReservationEditor::DeleteReservation(const ScheduleItem& shown) {
  const int index = scheduler_.FindItem(shown);
  return index >= 0 && scheduler_.DeleteItem(index, true) == 1;
}

}  // namespace pelkan
