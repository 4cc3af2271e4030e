#pragma once

#include <cstdint>

namespace pelkan {

// Converts ARIB 8-unit broadcast text (designations, locking and single shifts; kanji, alphanumeric,
// hiragana and katakana sets) into NUL-terminated Shift-JIS. Characters of other sets and control
// codes produce nothing. A character is written only while it leaves room for the terminator, so
// the text is at most dest_size - 3 bytes, an even count. A null `dest` (or dest_size 0) writes
// nothing. Never reads past src[src_length - 1]. Pure function, safe from any thread.
void DecodeAribString(const uint8_t* src, uint32_t src_length, char* dest, uint32_t dest_size);

}  // namespace pelkan
