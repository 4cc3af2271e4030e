#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/mjd_time.h"
#include "platform/broadcast_text.h"
#include "ts/ts_events.h"

// Human-readable texts of programmes, components and service rows. Every text is a Shift-JIS byte
// string (the program's internal encoding); the *Utf8 variants convert for the command-line tool,
// reading them as broadcast text (platform/broadcast_text.h).
// All functions are pure and safe from any thread.

namespace pelkan {

// Pieces of FormatProgrammeText, combinable with |.
enum ProgrammeTextFlags : uint32_t {
  PT_START_DATE = 1u << 0,    // start date "YYYY/MM/DD(曜) "
  PT_END_DATE = 1u << 1,      // end date, only inside the end part
  PT_START_TIME = 1u << 2,    // start time "HH:MM"; also switches the end part on
  PT_END_TIME = 1u << 3,      // end part " - HH:MM" (or "未定 " when the end is undetermined)
  PT_TITLE = 1u << 4,         // title
  PT_TEXT = 1u << 5,          // description
  PT_COMPONENTS = 1u << 29,   // " 映像(res,aspect)" and " 音声(kind)"
  PT_TITLE_MARKS = 1u << 30,  // title between "<< " and " >>"
  PT_NEWLINES = 1u << 31,     // title and description on lines of their own
};

// The one-line form of a service row's current programme: start time, end part and title.
constexpr uint32_t kProgrammeLineFlags = PT_START_TIME | PT_END_TIME | PT_TITLE;  // 0x1C
// The multi-line form of a row tool tip.
constexpr uint32_t kProgrammeToolTipFlags = PT_NEWLINES | PT_COMPONENTS | PT_TEXT | PT_TITLE | PT_END_TIME |
                                            PT_START_TIME | PT_START_DATE;  // 0xA000003D

// A one-line form with everything, for listings such as `pelkan-cli inspect`:
// "2008/05/01(木) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ) << title >> description".
constexpr uint32_t kProgrammeListFlags =
    PT_START_DATE | PT_START_TIME | PT_END_TIME | PT_COMPONENTS | PT_TITLE | PT_TITLE_MARKS | PT_TEXT;

// Weekday name of a Modified Julian Date ("水" for day 0, which was a Wednesday).
std::string_view WeekdayName(uint32_t mjd);
// Resolution text of a video component type (high nibble): "D1 480i", "D2 480p", "D3 1080i" or "?".
std::string_view VideoResolutionText(uint8_t video_type);
// Aspect text of a video component type (low nibble): "4:3", "16:9" or "?:?".
std::string_view VideoAspectText(uint8_t video_type);
// Text of an audio component type: "モノラル", "モノラルx2", "ステレオ", "5.1ch" or "?".
std::string_view AudioComponentText(uint8_t audio_type);
// Three-letter abbreviation of a PMT stream_type ("m2v", "aac", ... or "???").
std::string_view StreamTypeText(uint8_t stream_type);
// Header text of list column 0-4 of the filtering window; empty for any other column.
std::string_view ColumnHeaderText(int column);

// Builds the description of a programme from the pieces selected by `flags` (ProgrammeTextFlags),
// in the order date, start time, end part, components, title, description. An end second of
// kUndefinedDuration gives the marker "未定 " instead of the end time. Title and description are
// used up to their first NUL.
std::string FormatProgrammeText(uint32_t flags, const MjdTime& start, const MjdTime& end,
                                std::string_view title, std::string_view description, uint8_t video_type,
                                uint8_t audio_type);
// The same for a stored event (title and description read only within their fixed fields).
std::string FormatProgrammeText(uint32_t flags, const ProgrammeEvent& event);
// Buffer form: writes the text into `out`, cut at `capacity` - 1 bytes (never past the buffer) and
// NUL-terminated; capacity 0 writes nothing. Returns the full length the text would have.
size_t FormatProgrammeText(uint32_t flags, char* out, size_t capacity, const MjdTime& start,
                           const MjdTime& end, std::string_view title, std::string_view description,
                           uint8_t video_type, uint8_t audio_type);
// FormatProgrammeText of an event, converted to UTF-8 for the command-line tool, the broadcast's
// symbols in `form`.
std::string FormatProgrammeTextUtf8(uint32_t flags, const ProgrammeEvent& event,
                                    platform::SymbolForm form = platform::SymbolForm::kSymbols);

// Text of the service column: the service id in decimal.
std::string ServiceIdText(uint16_t service_id);
// Text of the PMT column: "0x%04X" of the PMT PID.
std::string PmtPidText(uint16_t pmt_pid);

// The component column of a service row, "0x%04X(%3s) " per entry. At most kComponentTextEntries
// entries are shown; when more exist, "..." follows the last one shown.
constexpr size_t kComponentTextEntries = 15;
std::string ComponentListText(std::span<const ComponentEntry> entries);

// The tool tip of a service row: "name(id)", then "\n\n現在の番組>> " with the current programme's
// text when it is not empty, then "\n\n次の番組>> " with the next programme's text, only when the
// current one was shown and the next one is not empty.
std::string RowToolTipText(std::string_view name, uint16_t service_id, std::string_view current_text,
                           std::string_view next_text);

// Titles of the filtering window's programme popup: "現在の番組", or "次の番組" for the next.
std::string_view ProgrammeMenuTitle(bool next);

// Length of a text held in a fixed field of `size` bytes: up to the first NUL or the field's end.
size_t FixedFieldLength(const char* field, size_t size);

}  // namespace pelkan
