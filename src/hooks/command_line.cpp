#include "hooks/command_line.h"

namespace pelkan::hooks {

CommandLine ParseCommandLine(std::string_view text) {
  CommandLine out;
  std::string word;
  bool in_word = false;
  size_t i = 0;
  const auto fail = [&out](std::string why) {
    out.argv.clear();
    out.error = std::move(why);
    return out;
  };
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (in_word) out.argv.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return fail("a single quote is not closed");
      word.append(text.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) return fail("a double quote is not closed");
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) ++i;
        word.push_back(text[i++]);
      }
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) return fail("a backslash ends the command");
      word.push_back(text[i + 1]);
      i += 2;
    } else {
      word.push_back(c);
      ++i;
    }
  }
  if (in_word) out.argv.push_back(std::move(word));
  return out;
}

}  // namespace pelkan::hooks
