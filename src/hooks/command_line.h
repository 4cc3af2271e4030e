#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelkan::hooks {

// A program and its arguments as the option REC_END_COMMAND writes them, split without a shell:
//   - blanks (spaces, tabs) separate the words; several in a row count as one;
//   - '...' keeps everything between the single quotes as it is (no escapes inside);
//   - "..." keeps everything between the double quotes, where \" and \\ stand for " and \ (a
//     backslash before any other character stays a backslash);
//   - outside quotes a backslash takes the next character as it is (a blank, a quote);
//   - quoted parts and plain parts next to each other make one word ("a"'b'c is abc), and ""
//     alone is an empty word.
// Nothing else is special: no variables, no ~, no wildcards, no redirections.
struct CommandLine {
  std::vector<std::string> argv;  // empty: no command
  std::string error;              // why the text cannot be split (English); empty when it can
};
CommandLine ParseCommandLine(std::string_view text);

}  // namespace pelkan::hooks
