#pragma once

#include <cstdint>

namespace pelkan {

// Converts ARIB 8-unit broadcast text (designations, locking and single shifts; kanji, alphanumeric,
// hiragana and katakana sets) into NUL-terminated Shift-JIS. Characters of other sets and control
// codes produce nothing. A two-byte character is written only while position + 3 < dest_size, so a
// destination of 30 keeps 28 bytes (14 characters) and the NUL; the count is always even. A null `dest` (or dest_size 0) writes
// nothing. Never reads past src[src_length - 1]. Pure function, safe from any thread.
void DecodeAribString(const uint8_t* src, uint32_t src_length, char* dest, uint32_t dest_size);

}  // namespace pelkan
