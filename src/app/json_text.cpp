#include "app/json_text.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdio>

namespace pelkan {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// True for a byte a JSON string literal cannot hold as it is.
bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\';
}

// Appends `text` escaped; `short_forms` writes \b and \f as such.
void AppendEscaped(std::string* out, std::string_view text, bool short_forms) {
  out->push_back('"');
  size_t plain = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!NeedsEscape(c)) continue;
    out->append(text.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\b':
      case '\f':
        if (short_forms) {
          out->append(c == '\b' ? "\\b" : "\\f");
          break;
        }
        [[fallthrough]];
      default: {
        const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out->append(u, sizeof u);
      }
    }
  }
  out->append(text.data() + plain, text.size() - plain);
  out->push_back('"');
}

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n || p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= n; ++k) {
      if (p[k] < 0x80 || p[k] > 0xBF) return false;
    }
    p += n + 1;
  }
  return true;
}

void AppendTwo(std::string* out, int value) {
  out->push_back(static_cast<char>('0' + value / 10 % 10));
  out->push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out;
  AppendJsonString(&out, utf8);
  return out;
}

void AppendJsonString(std::string* out, std::string_view utf8) {
  AppendEscaped(out, utf8, false);
}

void AppendApiJsonString(std::string* out, std::string_view utf8) {
  if (IsUtf8(utf8)) {
    AppendEscaped(out, utf8, true);
    return;
  }
  // A damaged text: the library's own replacement, byte for byte.
  out->append(nlohmann::json(std::string(utf8)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void AppendJsonInt(std::string* out, int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, result.ptr);
}

void AppendJapanIso(std::string* out, int year, int month, int day, int hour, int minute, int second) {
  const auto two = [](int v) { return v >= 0 && v <= 99; };
  if (year < 0 || year > 9999 || !two(month) || !two(day) || !two(hour) || !two(minute) || !two(second)) {
    // Out of the fields' widths (a damaged time): as printf writes it.
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d+09:00", year, month, day, hour,
                                minute, second);
    out->append(text, static_cast<size_t>(n > 0 ? n : 0));
    return;
  }
  AppendTwo(out, year / 100);
  AppendTwo(out, year % 100);
  out->push_back('-');
  AppendTwo(out, month);
  out->push_back('-');
  AppendTwo(out, day);
  out->push_back('T');
  AppendTwo(out, hour);
  out->push_back(':');
  AppendTwo(out, minute);
  out->push_back(':');
  AppendTwo(out, second);
  out->append("+09:00");
}

}  // namespace pelkan
