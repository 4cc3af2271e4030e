// The manual page pelkan-cli(1) keeps up with the program: every command of `pelkan-cli --help`
// has its section, and every option and subcommand that a command's --help names has an entry
// of its own there.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace pelkan {
namespace {

const std::string kCli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";
const std::string kPage = std::string(PELKAN_TEST_DATA_DIR) + "/../../packaging/man/pelkan-cli.1";

std::string Output(const std::string& args) {
  std::string out;
  FILE* p = ::popen((kCli + " " + args + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

// The troff source with "\-" as "-", fonts and quotes dropped.
std::string Plain(std::string text) {
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
  return std::regex_replace(text, std::regex("\""), "");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

// The entry terms (the line after each .TP, without its macro) of the section of `command`;
// nullopt when the page has no such section.
std::optional<std::vector<std::string>> Terms(const std::vector<std::string>& page,
                                              const std::string& command) {
  std::optional<std::vector<std::string>> terms;
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i].rfind(".SS pelkan-cli " + command, 0) == 0 &&
        (page[i].size() == 15 + command.size() || page[i][15 + command.size()] == ' ')) {
      terms.emplace();
      for (size_t k = i + 1; k < page.size() && page[k].rfind(".SS", 0) != 0 && page[k].rfind(".SH", 0) != 0;
           ++k) {
        if (page[k] == ".TP" && k + 1 < page.size()) {
          const std::string& term = page[k + 1];
          const size_t space = term.find(' ');
          terms->push_back(term[0] == '.' ? (space == std::string::npos ? "" : term.substr(space + 1))
                                          : term);
        }
      }
    }
  }
  return terms;
}

std::set<std::string> Matches(const std::string& text, const std::regex& re) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
    found.insert((*it)[1]);
  }
  return found;
}

TEST(CliManualPage, DescribesEveryCommandOptionAndSubcommand) {
  std::ifstream in(kPage);
  ASSERT_TRUE(in) << kPage;
  const std::vector<std::string> page = Lines(Plain(std::string(std::istreambuf_iterator<char>(in), {})));

  const std::string usage = Output("--help");
  const std::set<std::string> commands = Matches(usage, std::regex(R"(\n  ([a-z][a-z-]*) )"));
  ASSERT_GE(commands.size(), 5u) << usage;
  const std::regex option(R"((?:^|[\s\[(|/,'])(--?[a-z][a-z0-9-]*))");
  for (const std::string& command : commands) {
    const auto terms = Terms(page, command);
    if (!terms) {
      ADD_FAILURE() << "packaging/man/pelkan-cli.1 has no section .SS \"pelkan\\-cli " << command << " ...\"";
      continue;
    }
    // A quoted call of another command ('pelkan-cli schedule add --event') names that command's
    // options, described in its own section.
    const std::string help = std::regex_replace(
        Output(command + " --help"), std::regex("'pelkan-cli (?!" + command + "[ '])[^']*'"), "''");
    std::set<std::string> wanted = Matches(help, option);
    wanted.erase("--help");
    wanted.erase("-h");
    for (const std::string& sub : Matches(help, std::regex("pelkan-cli " + command + " ([a-z]+)"))) {
      wanted.insert(sub);
    }
    for (const std::string& word : wanted) {
      const std::regex in_term("(^|[\\s,])" + word + "($|[\\s,])");
      bool described = false;
      for (const std::string& term : *terms) described = described || std::regex_search(term, in_term);
      EXPECT_TRUE(described) << "'" << word << "' of 'pelkan-cli " << command
                             << " --help' has no .TP entry in its section of packaging/man/pelkan-cli.1";
    }
  }
}

// The options of the program itself (`pelkan-cli --help` names them after the commands) have their
// entries in the page's OPTIONS section.
TEST(CliManualPage, DescribesTheProgramsOwnOptions) {
  std::ifstream in(kPage);
  ASSERT_TRUE(in) << kPage;
  const std::vector<std::string> page = Lines(Plain(std::string(std::istreambuf_iterator<char>(in), {})));
  std::set<std::string> described;
  bool in_options = false;
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i].rfind(".SH", 0) == 0) in_options = page[i] == ".SH OPTIONS";
    if (in_options && page[i] == ".TP" && i + 1 < page.size()) {
      described.insert(page[i + 1].substr(page[i + 1].find(' ') + 1));
    }
  }
  const std::set<std::string> options = Matches(Output("--help"), std::regex(R"(\n  (--[a-z][a-z-]*) )"));
  ASSERT_FALSE(options.empty());
  for (const std::string& option : options) {
    EXPECT_EQ(described.count(option), 1u) << option << " of 'pelkan-cli --help' has no .TP entry under .SH OPTIONS";
  }
}

}  // namespace
}  // namespace pelkan
