#include "hooks/command_line.h"

#include <gtest/gtest.h>

namespace pelkan::hooks {
namespace {

TEST(CommandLine, SplitsAsDocumented) {
  struct Case {
    const char* text;
    std::vector<std::string> argv;
    const char* error;
  } const cases[] = {
      {"", {}, ""},
      {"   \t ", {}, ""},
      {"/usr/bin/encode", {"/usr/bin/encode"}, ""},
      {"  mv -n\t\tdir ", {"mv", "-n", "dir"}, ""},
      {"cmd 'a b' \"c d\"", {"cmd", "a b", "c d"}, ""},
      {"cmd 'it\\'s", {"cmd", "it\\s"}, ""},  // no escape inside single quotes
      {"cmd 'open", {}, "a single quote is not closed"},
      {"cmd '$HOME \\n \"x\"'", {"cmd", "$HOME \\n \"x\""}, ""},
      {"cmd \"say \\\"hi\\\" \\\\ \\n\"", {"cmd", "say \"hi\" \\ \\n"}, ""},
      {"cmd a\\ b \\'q\\'", {"cmd", "a b", "'q'"}, ""},
      {"cmd \"a\"'b'c", {"cmd", "abc"}, ""},
      {"cmd \"\" ''", {"cmd", "", ""}, ""},
      {"cmd ~/x *.ts $PELKAN_FILE >log", {"cmd", "~/x", "*.ts", "$PELKAN_FILE", ">log"}, ""},
      {"cmd \"open", {}, "a double quote is not closed"},
      {"cmd end\\", {}, "a backslash ends the command"},
      {"録画後 \"番組 名\"", {"録画後", "番組 名"}, ""},
  };
  for (const Case& c : cases) {
    const CommandLine parsed = ParseCommandLine(c.text);
    EXPECT_EQ(parsed.argv, c.argv) << c.text;
    EXPECT_EQ(parsed.error, c.error) << c.text;
  }
}

}  // namespace
}  // namespace pelkan::hooks
