#include "cli/cli_args.h"

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

std::optional<int> UsageExit(int parsed, void (*print_usage)(std::FILE*)) {
  if (parsed == 0) return std::nullopt;
  print_usage(parsed == -1 ? stdout : stderr);
  return parsed == -1 ? 0 : parsed;
}

}  // namespace pelkan::cli
