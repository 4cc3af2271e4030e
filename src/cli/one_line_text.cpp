#include "cli/one_line_text.h"

namespace pelkan::cli {

std::string OneLineText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char* escape = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
    if (escape != nullptr) {
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace pelkan::cli
