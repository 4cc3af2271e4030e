#include "app/cli_args.h"

#include <cstdio>
#include <limits>

#include "platform/text_codec.h"

namespace pelkan::cli {

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::string> SjisPath(const char* command, const char* what, std::string_view utf8) {
  auto sjis = platform::Utf8ToSjisExact(utf8);
  if (!sjis) {
    std::fprintf(stderr,
                 "%s: %s '%.*s' has a character without a Shift-JIS form; recordings and reservations "
                 "keep names in Shift-JIS, so choose a name without it\n",
                 command, what, static_cast<int>(utf8.size()), utf8.data());
  }
  return sjis;
}

std::string JsonText(std::string_view utf8) {
  std::string out = "\"";
  for (const unsigned char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace pelkan::cli
