#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelkan::platform {

// The program keeps its texts in Shift-JIS (CP932). These two functions are the only place where
// text is converted: for display and input in the desktop front-end, for file-system calls and for
// the UTF-8 output of the command-line tool. Safe from any thread.

// Shift-JIS -> UTF-8. A byte sequence that does not convert becomes U+FFFD (one for a lead and trail
// byte pair that CP932 leaves empty); the rest still converts.
std::string SjisToUtf8(std::string_view sjis);
// UTF-8 -> Shift-JIS. A character without a Shift-JIS form (or an invalid UTF-8 sequence) becomes '?'.
std::string Utf8ToSjis(std::string_view utf8);
// A Japanese text written in UTF-8 in the source, in the program's Shift-JIS: Sjis("録画停止").
inline std::string Sjis(std::string_view utf8) {
  return Utf8ToSjis(utf8);
}
// UTF-8 -> Shift-JIS only when every character has a Shift-JIS form that converts back to the very
// same character; nullopt otherwise. A path kept in Shift-JIS must pass this test, or the program
// would later open a different name than the one the user gave (a '?' or a look-alike character).
std::optional<std::string> Utf8ToSjisExact(std::string_view utf8);

// Bytes of the Shift-JIS character at sjis[i] (i < size): 2 for a lead byte with a trail byte after
// it, whether or not CP932 has a character there; otherwise 1.
size_t SjisCharLength(std::string_view sjis, size_t i);

}  // namespace pelkan::platform
