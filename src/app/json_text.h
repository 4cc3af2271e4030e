#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelkan {

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view utf8);
// JsonString(utf8) appended to `out`.
void AppendJsonString(std::string* out, std::string_view utf8);

// The literal of `utf8` exactly as nlohmann::json's dump writes it without ensure_ascii (\b and \f
// short, other control characters \u00XX) with a byte that is no UTF-8 replaced (U+FFFD), appended
// to `out`: the web page's API writes its long lists with it and its short answers with the library.
void AppendApiJsonString(std::string* out, std::string_view utf8);

// The decimal digits of `value` appended to `out`.
void AppendJsonInt(std::string* out, int64_t value);

// "2026-12-08T20:57:00+09:00" of a date and time of day (JST), appended to `out`; as the outputs'
// JSON writes times.
void AppendJapanIso(std::string* out, int year, int month, int day, int hour, int minute, int second);

}  // namespace pelkan
