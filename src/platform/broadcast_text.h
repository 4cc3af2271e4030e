#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelkan::platform {

// Texts from the broadcast (service, network and provider names, programme titles and
// descriptions) are kept in the Shift-JIS the ARIB decoder makes of them. Rows 85-94 of the
// broadcast kanji set (the additional kanji and the additional symbols such as [字], [デ], ☀, ①)
// come out of it with lead bytes 0xEB-0xEF, which CP932 reads as unrelated characters or as none.
// These functions read and write such text; the stored bytes never change. Text that does not come
// from the broadcast (paths, settings, device names) goes through text_codec instead, in which
// 0xED/0xEE are real characters. All functions are pure and safe from any thread.

// How a character of rows 85-94 is shown.
enum class SymbolForm {
  kSymbols,  // its Unicode character ("🈑")
  kPlain,    // its plain form, without pictographs where there is one ("[字]", "(株)", "[1]")
};

// Number of cells in rows 85-94.
constexpr int kAdditionalCells = 940;

// Broadcast Shift-JIS -> UTF-8. A character of rows 85-94 becomes its Unicode character (or its plain
// form); a cell without one becomes "〓" (U+3013). Everything else reads as SjisToUtf8 reads it.
std::string BroadcastToUtf8(std::string_view sjis, SymbolForm form = SymbolForm::kSymbols);

// UTF-8 -> broadcast Shift-JIS, the exact reverse of BroadcastToUtf8 (kSymbols). `shown_from` is the
// Shift-JIS the text was shown from, if any: the characters before and after the part the user
// changed keep its bytes, so an unchanged text comes back byte for byte (even bytes that read as
// U+FFFD). Every other character takes its CP932 form when that reads back as the same character,
// else the first cell of rows 85-94 that holds it. Nullopt when a character has neither.
std::optional<std::string> Utf8ToBroadcast(std::string_view utf8, std::string_view shown_from = {});

// Broadcast Shift-JIS with each character of rows 85-94 replaced by the Shift-JIS of its plain form
// ("[字]"), or by "〓" when the plain form has none (most additional kanji, pictographs such as ☀)
// or the cell has no character. The result reads alike as broadcast text and as plain CP932: for
// names of files made from programme titles.
std::string BroadcastToPlainSjis(std::string_view sjis);

// The Shift-JIS code (lead << 8 | trail) of the first cell of rows 85-94 that holds `code_point`;
// 0 when no cell does.
uint16_t AdditionalCellCode(char32_t code_point);

// The character at the start of `utf8` (not empty) and its length in bytes; nullopt with length 1
// when the first byte does not start a valid UTF-8 character.
std::optional<char32_t> NextUtf8Char(std::string_view utf8, size_t* length);

}  // namespace pelkan::platform
