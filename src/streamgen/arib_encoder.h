#pragma once

#include <string>
#include <string_view>

namespace pelkan::streamgen {

// Encodes UTF-8 text into the ARIB 8-unit broadcast code, as a broadcaster writes service names and
// programme texts. The code starts from the standard initial state (G0 kanji, G1 alphanumeric,
// G2 hiragana, G3 katakana; GL = G0, GR = G2): kanji and symbols go through JIS X 0208 in GL,
// the additional kanji and symbols that only rows 85-94 of the kanji set hold ([字], ☀, ①, 﨑)
// through those rows, ASCII and the full-width forms of the alphanumeric set through G1 (LS1 / LS0),
// hiragana and katakana through GR (LS2R / LS3R for runs, SS2 / SS3 for a single character).
// An ASCII space becomes the SP control code; a character with neither form becomes '?'.
// Returns the broadcast bytes (no terminator). Pure function, safe from any thread.
std::string EncodeAribString(std::string_view utf8);

}  // namespace pelkan::streamgen
