#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mjd_time.h"
#include "core/settings.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// A new reservation as `pelkan-cli schedule add` and the web page ask for it: a date-time one
// (`start` and `minutes`) or one of a broadcast event (`event`: service and event id), with what
// else the edit dialog would set.
struct ReservationRequest {
  std::optional<MjdTime> start;
  std::optional<long> minutes;
  std::optional<std::pair<uint16_t, uint16_t>> event;
  std::optional<long> service;
  std::optional<std::string> dir;   // Shift-JIS
  std::optional<std::string> file;  // UTF-8, the broadcast's symbols allowed
  std::optional<long> channel;
  std::optional<std::string> channel_string;
  std::optional<long> margin_before, margin_after, priority;
  bool daily = false, weekly = false;
};

// The output directory of a new reservation (Shift-JIS): `dir`, else REC_AUTOPATH of `settings`.
// nullopt, with *error (English) saying why, when there is none or it is no directory.
std::optional<std::string> ReservationDirectory(const ReservationRequest& request, const Settings& settings,
                                                std::string* error);

// The reservation the edit dialog's OK step (BuildScheduleItem) makes of `request` opened as the
// list window's 追加 opens it, with an event's time and title from the home's guide when it has
// the event. nullopt, with *error (English or the dialog's UTF-8 text), when it refuses (a
// `directory` too long for the file included).
// `guide_path` empty: the home's guide.
std::optional<ScheduleItem> BuildReservation(const ReservationRequest& request, const std::string& directory,
                                             const Settings& settings, std::string* error,
                                             const std::string& guide_path = "");

// The index of the reservation of `items` that is for the event `item` reserves (a second would
// record it twice into one name); nullopt when there is none or `item` is no event reservation.
std::optional<size_t> SameEventReservation(const std::vector<ScheduleItem>& items, const ScheduleItem& item);

}  // namespace pelkan
