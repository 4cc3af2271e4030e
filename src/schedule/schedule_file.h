#pragma once

#include <string>
#include <vector>

#include "schedule/schedule_item.h"

namespace pelkan {

// The reservation file schedule.ini: section [Pelkan_Schedule] with ScheduleNum, then one section
// [Schedule_i] of 19 CR LF lines per reservation, followed by MarginBefore, MarginAfter and
// Priority when they differ from the defaults (5, 0 and 3; a section without them reads with the
// defaults). Comment lines carry the start and duration in calendar form for a human reader. State bits, programme kind and version and the title are not
// stored; event reservations are stored with zero start and duration, so they are resolved anew.

// The file text for `items`, in list order. A `list_id` is written as "ListId=" in the header
// (after ScheduleNum): it names one reservation list for as long as its file lives, so that the
// automatic reservation rules can tell a reservation deleted by hand from one lost with a damaged,
// removed or replaced file. A file gets one when it first holds a rule's reservation (NewListId)
// and keeps it; a file without rule reservations keeps the three header lines.
std::string FormatSchedule(const std::vector<ScheduleItem>& items, std::string_view list_id = {});
// The ListId of a reservation file's text; empty when it has none.
std::string ScheduleListId(std::string_view text);
// A new ListId: 16 random hexadecimal digits.
std::string NewListId();
// Writes FormatSchedule(items) to `path` through a temporary file renamed over it. Returns false
// (and leaves an existing file as it was) when it cannot be written.
bool SaveScheduleFile(const std::string& path, const std::vector<ScheduleItem>& items);

// Reads the reservations of an INI text: sections Schedule_1 ... Schedule_ScheduleNum that exist
// (gaps allowed), skipping sections whose Flag is 0 or absent, and dropping reservations that could
// never be recorded (ItemProblem: no type, an impossible start or length), each skipped or dropped
// section with a line in *dropped (if given) such as "Schedule_3: neither a date-time nor an event
// reservation" or "Schedule_4: no reservation (its Flag is 0 or absent)". Only the
// sections present in the text are visited, however large ScheduleNum is. The result is not sorted.
std::vector<ScheduleItem> ParseSchedule(std::string_view text, std::vector<std::string>* dropped = nullptr);
// True when `text` can be a reservation file: it has the section [Pelkan_Schedule], or holds
// nothing but blanks and line breaks. Any other file (another program's, a binary, a text without
// that section) is no reservation file and must never be replaced by one.
bool IsScheduleText(std::string_view text);
// True when `text` has reservation sections and ParseSchedule drops every one of them: the file
// lists as empty, but it is no empty list (a hand-edited file) and must never be replaced by one.
bool EveryReservationDropped(std::string_view text);
// Reads the file at `path` as ParseSchedule; an empty list when it does not exist. The result is
// not sorted.
std::vector<ScheduleItem> LoadScheduleFile(const std::string& path,
                                           std::vector<std::string>* dropped = nullptr);

// Three-way merge of reservation lists, for two processes that change one file: `base` is the list
// as last read from (or written to) the file, `ours` the list with this process's changes since,
// `theirs` the list now in the file. Reservations count as the same when the file would give them
// back alike (state, programme kind, version and title are not stored; the blanks around a text
// are lost). A reservation that either
// side added is in the result, one that either side removed is not; when both did the same it
// happens once. Reservations that `ours` keeps come from `ours`, with their running state; the
// others from `theirs`. The result is in no particular order.
std::vector<ScheduleItem> MergeSchedule(const std::vector<ScheduleItem>& base,
                                        const std::vector<ScheduleItem>& ours,
                                        const std::vector<ScheduleItem>& theirs);

}  // namespace pelkan
