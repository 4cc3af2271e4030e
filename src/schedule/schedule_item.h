#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/mjd_time.h"

namespace pelkan {

// Option bits, reservation type and flags of ScheduleItem::flags.
enum : uint32_t {
  SI_FILE_NAME = 1u << 0,       // file = directory + file name + extension
  SI_CHANNEL_VALUE = 1u << 1,   // select the channel value before recording
  SI_CHANNEL_STRING = 1u << 2,  // send the channel string before recording
  SI_SERVICE_LIMIT = 1u << 3,   // record only the service of the service-id text
  SI_BY_EVENT = 0x40000u,       // reservation by broadcast event id
  SI_BY_TIME = 0x80000u,        // reservation by date and time
  SI_DAILY = 0x100000u,         // repeat the next day after the end
  SI_WEEKLY = 0x200000u,        // repeat seven days later after the end
  SI_DELETED = 0x80000000u,     // retired by the user's delete command
};

// Mask keeping everything but the state bits 24-30.
constexpr uint32_t kItemStateClearMask = 0x80FFFFFFu;

// States (flags bits 24-30).
enum : uint32_t {
  ST_WAITING = 0,
  ST_PREPARING = 1,
  ST_RECORDING = 2,
  ST_FINISHED = 0x11,
  ST_ERROR = 0x12,
  ST_INVALID = 0x13,
  ST_CANCELLED = 0x14,
  ST_GONE = 0x15,  // its programme is gone from the broadcast's tables
};

// The longest recording, in seconds (24 hours): reservations asking for more are refused when
// loaded or added, and a programme of undetermined length is recorded at most this long.
constexpr uint32_t kMaxRecordSeconds = 24 * 3600;

// Margins around a reservation's programme, in seconds, and its priority. A reservation without
// them (a file of an older build) records as before: from 5 s ahead to its end, priority 3.
constexpr uint16_t kMaxMarginSeconds = 600;
constexpr uint16_t kDefaultMarginBefore = 5;
constexpr uint16_t kDefaultMarginAfter = 0;
constexpr uint8_t kMinPriority = 1;
constexpr uint8_t kMaxPriority = 5;
constexpr uint8_t kDefaultPriority = 3;

// Sizes of the text fields, NUL included.
constexpr size_t kTitleSize = 81;
constexpr size_t kPathSize = 260;
constexpr size_t kChannelStringSize = 80;
constexpr size_t kServiceIdTextSize = 100;

// One reservation: a plain record copied by value. A value-initialised record (`ScheduleItem{}`)
// is the empty reservation (with the default margins and priority). Texts are Shift-JIS, NUL-terminated within their arrays.
struct ScheduleItem {
  uint32_t flags;
  uint32_t start_day;     // MJD; 0 for an event reservation whose event is not known yet
  uint32_t start_second;  // 0-86399
  uint32_t duration;      // seconds
  uint16_t network_id;
  uint16_t stream_id;
  uint16_t service_id;
  uint16_t event_id;
  uint8_t programme_kind;     // kind of the programme event last taken over; 0 = none
  uint8_t programme_version;  // its version; 0 = none
  char title[kTitleSize];
  char directory[kPathSize];
  char file_name[kPathSize];
  char extension[kPathSize];
  uint8_t channel_value;
  char channel_string[kChannelStringSize];
  char service_id_text[kServiceIdTextSize];
  // Recorded from margin_before seconds before the programme to margin_after seconds after it
  // (0-kMaxMarginSeconds each); the tuner goes to the higher priority (1-5) when two collide.
  uint16_t margin_before = kDefaultMarginBefore;
  uint16_t margin_after = kDefaultMarginAfter;
  uint8_t priority = kDefaultPriority;
  // The automatic reservation rule that made it (its id in the rules file); 0 made by hand.
  uint32_t rule_id = 0;
};

// State of an item (flags bits 24-30).
constexpr uint32_t ItemState(const ScheduleItem& item) {
  return (item.flags >> 24) & 0x7F;
}
// Replaces the state bits, keeping every other bit.
inline void SetItemState(ScheduleItem* item, uint32_t state) {
  item->flags = (item->flags & kItemStateClearMask) | ((state & 0x7F) << 24);
}

// True for a date-time reservation, or an event reservation whose event has been found.
constexpr bool HasStart(const ScheduleItem& item) {
  return (item.flags & SI_BY_TIME) != 0 || ((item.flags & SI_BY_EVENT) != 0 && item.start_day != 0);
}
// True for an event reservation whose event was found with its length undetermined: it holds the
// longest recording as its length, and is followed until the broadcast tells its end.
constexpr bool HasUndeterminedLength(const ScheduleItem& item) {
  return (item.flags & SI_BY_TIME) == 0 && (item.flags & SI_BY_EVENT) != 0 && item.start_day != 0 &&
         item.duration >= kMaxRecordSeconds;
}
// Start and end instants as second counts (day * 86400 + second).
constexpr int64_t ItemStart(const ScheduleItem& item) {
  return int64_t{item.start_day} * 86400 + item.start_second;
}
constexpr int64_t ItemEnd(const ScheduleItem& item) {
  return ItemStart(item) + item.duration;
}
// Second count of an MJD time.
constexpr int64_t Instant(MjdTime t) {
  return int64_t{t.date} * 86400 + t.seconds;
}

// Why the scheduler could never record `item`, or nullptr when it can: it needs exactly one of
// SI_BY_TIME and SI_BY_EVENT, and a date-time reservation a start second below 86400, a start day
// above 0 and a duration of at most kMaxRecordSeconds. Such items are dropped when loaded and
// retired as ST_ERROR should one reach the head of the list, so they never hold the others up.
const char* ItemProblem(const ScheduleItem& item);

// Order of the reservation list: items with a start by start time, then unresolved event
// reservations by service id and event id.
bool CompareItems(const ScheduleItem& a, const ScheduleItem& b);

// True when z lies between x and y, bounds included, in either order. Each instant is a time
// plus a signed second offset.
bool TimeInSpan(MjdTime x, int32_t x_offset, MjdTime y, int32_t y_offset, MjdTime z, int32_t z_offset);

// The span recorded for `item`, margins included: [start - margin_before, end + margin_after].
constexpr int64_t ItemRecordStart(const ScheduleItem& item) {
  return ItemStart(item) - item.margin_before;
}
constexpr int64_t ItemRecordEnd(const ScheduleItem& item) {
  return ItemEnd(item) + item.margin_after;
}

// True when the closed spans [start, start + duration] of the two items intersect.
bool ItemsOverlap(const ScheduleItem& a, const ScheduleItem& b);

// Copies `text` into a fixed text field, cut to fit with its NUL.
template <size_t N>
void SetText(char (&field)[N], std::string_view text) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}
// The text of a field, up to its NUL or the end of the array.
template <size_t N>
std::string_view GetText(const char (&field)[N]) {
  return std::string_view(field, ::strnlen(field, N));
}

// The service a reservation records: an event reservation's, or that of the service-id text of
// one limited to a service; nullopt for the whole stream.
std::optional<uint16_t> RecordedServiceId(const ScheduleItem& item);

// The service id of the service-id text: leading decimal integer (blanks and sign allowed, 0 when
// there are no digits) truncated to 16 bits.
uint16_t ServiceIdOfText(std::string_view text);

}  // namespace pelkan
